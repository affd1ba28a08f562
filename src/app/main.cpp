#include "app/CommandLine.h"
#include "app/RondoApp.h"
#include "midiout/JackServer.h"
#include "settings/SafeFile.h"

#include <csignal>

int main(int argc, char** argv)
{
    // Before any thread: no library may start a JACK server for us.
    midiout::NeverStartJackServer();
    // No file the program opens may land on a closed standard stream.
    files::GuardStandardStreams();
    // A reader gone or a file-size limit is a failed write, reported as
    // such: never the end of the program with the work unsaved.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    // Options are read before any application object exists: a wrong one
    // needs no display to be reported.
    CommandLineRequest request;
    if (const int code = ParseCommandLine(argc, argv, request); code >= 0) return code;
    if (request.mode == CommandLineRequest::Mode::Window) return RunEditor(argc, argv, request.files.value(0));
    return RunCommandLine(argc, argv, request);
}
