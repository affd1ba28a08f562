#include "app/CommandLine.h"
#include "app/RondoApp.h"
#include "midiout/JackServer.h"

int main(int argc, char** argv)
{
    // Before any thread: no library may start a JACK server for us.
    midiout::NeverStartJackServer();
    // The headless commands need no display.
    if (WantsCommandLine(argc, argv)) return RunCommandLine(argc, argv);
    return RunEditor(argc, argv);
}
