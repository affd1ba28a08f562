#pragma once

// Screen readers learn each voice button, beat cell and mute or solo switch
// by a name that says what it is and what state it is in ("Kick, step 5,
// accent"), asked of the view whenever they look. Installed once per run.
void InstallGridAccessibility();
