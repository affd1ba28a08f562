#include "app/CommandLine.h"
#include "app/RondoApp.h"

int main(int argc, char** argv)
{
    // The headless commands need no display.
    if (WantsCommandLine(argc, argv)) return RunCommandLine(argc, argv);
    return RunEditor(argc, argv);
}
