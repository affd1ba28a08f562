// Writes the example loops that ship with Rondo, through the program's own
// document and loop-file code:
//   rondo_example_loops OUT_DIR
// scripts/example-loops regenerates res/loops with it.

#include "doc/RondoDoc.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/SettingsStore.h"

#include <QDir>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

struct Voice
{
    const char* name;
    int pitch;     // General MIDI percussion key
    int velocity;
    const char* beats;  // sixteen steps, 'x' on, '.' off
};

struct Loop
{
    const char* title;  // also the file's name
    int bpm;
    std::initializer_list<Voice> voices;
};

const Loop kLoops[] = {
    {"Rock Beat", 112,
     {
         {"Kick", 36, 110, "x......xx.x....."},
         {"Snare", 38, 110, "....x.......x..."},
         {"Closed Hat", 42, 80, "x.x.x.x.x.x.x..."},
         {"Open Hat", 46, 85, "..............x."},
         {"Crash", 49, 100, "x..............."},
     }},
    {"Funk Groove", 96,
     {
         {"Kick", 36, 115, "x.x.......x..x.."},
         {"Snare", 38, 115, "....x.......x..."},
         {"Ghost Snare", 38, 40, ".......x.x.....x"},
         {"Closed Hat", 42, 75, "xxxxxxxxxxxxxx.x"},
         {"Open Hat", 46, 90, "..............x."},
         {"Tambourine", 54, 70, "....x.......x..."},
     }},
    {"Bossa Nova", 130,
     {
         {"Bass Drum", 35, 90, "x..xx..xx..xx..x"},
         {"Side Stick", 37, 85, "x..x..x...x..x.."},
         {"Ride", 51, 65, "x.x.x.x.x.x.x.x."},
         {"Pedal Hat", 44, 70, "....x.......x..."},
         {"Cabasa", 69, 50, "xxxxxxxxxxxxxxxx"},
     }},
    {"Hip-Hop Beat", 90,
     {
         {"Kick", 36, 120, "x......x..x....."},
         {"Snare", 40, 115, "....x.......x..."},
         {"Clap", 39, 90, "....x.......x..."},
         {"Closed Hat", 42, 75, "x.x.x.x.x.x.x..x"},
         {"Open Hat", 46, 70, "..............x."},
     }},
    // All twelve rows: a son clave (2-3) with the conga tumbao, cascara,
    // martillo on the bongos and the bass on the and of two and on four.
    {"Latin Groove", 104,
     {
         {"Clave", 75, 100, "..x.x...x..x..x."},
         {"Cowbell", 56, 90, "x...x...x...x..."},
         {"Conga Slap", 62, 110, "....x..........."},
         {"Conga Mute", 62, 60, "x.x...x.x.x....."},
         {"Conga Open", 63, 95, "............x..."},
         {"Tumba", 64, 95, "..............x."},
         {"High Timbale", 65, 80, "x.x.xx.x.x.xx.x."},
         {"Low Timbale", 66, 90, "...............x"},
         {"High Bongo", 60, 80, "x.x.x...x.x.x..."},
         {"Low Bongo", 61, 85, "......x.......x."},
         {"Maracas", 70, 55, "xxxxxxxxxxxxxxxx"},
         {"Bass Drum", 35, 105, "......x.....x..."},
     }},
};

bool WriteLoop(const Loop& loop, const QString& dir)
{
    CSettingsStore noSettings;  // never opened: the program's defaults, nothing of the user's
    CVirtualMidiOut noDevices;
    CRondoDoc doc(noSettings, noDevices);
    doc.ResetLoop();
    doc.m_strComposer = "Quillon Software";
    doc.m_strCompany = "Quillon Software";
    doc.m_strLoopTitle = loop.title;
    doc.m_nBPM = loop.bpm;
    doc.SetChannel(9);  // channel 10, General MIDI percussion
    doc.m_nInstrument = 0;
    int v = 0;
    for (const Voice& voice : loop.voices) {
        CRondoDoc::VoiceRecord& record = doc.m_voices[v];
        std::memset(record.szName, 0, sizeof record.szName);
        std::strncpy(record.szName, voice.name, CRondoDoc::kNameMax);
        record.byPitch = static_cast<uint8_t>(voice.pitch);
        record.byVelocity = static_cast<uint8_t>(voice.velocity);
        for (int b = 0; b < CRondoDoc::kBeats; ++b) doc.m_cells[v][b] = voice.beats[b] == 'x' ? 1 : 0;
        ++v;
    }
    const QString path = QDir(dir).filePath(QString::fromLatin1(loop.title) + QStringLiteral(".rlf"));
    if (!doc.SaveLoopTo(path)) {
        std::fprintf(stderr, "rondo_example_loops: %s\n", qPrintable(doc.LastError()));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: rondo_example_loops OUT_DIR\n");
        return 64;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "rondo_example_loops: cannot create %s\n", argv[1]);
        return 1;
    }
    bool bOk = true;
    for (const Loop& loop : kLoops) bOk = WriteLoop(loop, dir) && bOk;
    return bOk ? 0 : 1;
}
