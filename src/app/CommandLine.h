#pragma once

// Exit codes of the command line.
enum RondoExit : int {
    kExitOk = 0,
    kExitFileError = 1,    // a file could not be read or written
    kExitInvalidLoop = 2,  // not a loop file
    kExitUsage = 64,       // wrong options or arguments
};

// Organisation, application name and version, for the settings location
// and --version.
void SetApplicationIdentity();

// True when the arguments ask for a headless command (or for help or the
// version) rather than the editor window.
bool WantsCommandLine(int argc, char** argv);

// Runs the headless commands (--export, --info, --render, --list-devices);
// needs no display and no sound card.
int RunCommandLine(int argc, char** argv);
