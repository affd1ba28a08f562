#pragma once

#include "midiout/AudioFileWriter.h"

#include <QString>
#include <QStringList>

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

// What the arguments ask for.
struct CommandLineRequest
{
    enum class Mode { Window, Export, Info, Render, Play, ListDevices, Help, HelpAll, Version };
    Mode mode = Mode::Window;
    // The loop (the window's is optional), then OUT.mid or OUT.wav.
    QStringList files;
    QString soundFont;
    QString device;  // --play: an id or a name, as --list-devices prints them
    int nPasses = 4;  // --play: 0 until stopped
    int nTempo = 0;  // 0: the loop's own
    AudioFormat format = AudioFormat::Wav16;  // --render
    bool bLoopReady = false;
};

// Reads the arguments as the bytes they are, before any application object
// exists (so that no option error needs a display). Returns -1 with the
// request filled in, or the exit code once the error is on standard error.
int ParseCommandLine(int argc, char** argv, CommandLineRequest& request);

// Runs a request other than the window (--export, --info, --render, --play,
// --list-devices, help and version); needs no display (and but for --play
// no sound card).
int RunCommandLine(int argc, char** argv, const CommandLineRequest& request);

// A message on standard error as every command-line error is written:
// "rondo: " first, no blank lines.
void PrintError(const QString& text);
