#include "app/CommandLine.h"

#include "settings/Ansi.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midi/AudioRender.h"
#include "midiout/SystemMidiOut.h"
#include "midiout/VirtualMidiOut.h"
#include "midiout/WavWriter.h"
#include "settings/SettingsStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

void PrintError(const QString& text)
{
    // One message, however many paragraphs its reason has.
    QString lines = text;
    while (lines.contains(QStringLiteral("\n\n"))) lines.replace(QStringLiteral("\n\n"), QStringLiteral("\n"));
    std::fprintf(stderr, "%s\n", lines.toLocal8Bit().constData());
}

QJsonObject LoopAsJson(const CRondoDoc& doc, const CHeadlessView& view)
{
    QJsonArray voices;
    for (int v = 0; v < CRondoDoc::kVoices; ++v) {
        const CRondoDoc::VoiceRecord& voice = doc.m_voices[v];
        QJsonArray cells;
        for (int b = 0; b < CRondoDoc::kBeats; ++b) cells.append(doc.IsCellOn(v, b) ? 1 : 0);
        voices.append(QJsonObject{
            {"name", doc.VoiceName(v)},
            {"pitch", voice.byPitch},
            {"velocity", voice.byVelocity},
            {"cells", cells},
        });
    }
    return QJsonObject{
        {"tempo", doc.m_nBPM},
        {"rows", view.VoicesShown()},
        {"channel", doc.m_nChannel + 1},
        {"instrument", doc.m_nInstrument + 1},
        {"composer", ansi::ToUnicode(doc.m_strComposer)},
        {"company", ansi::ToUnicode(doc.m_strCompany)},
        {"title", ansi::ToUnicode(doc.m_strLoopTitle)},
        {"voices", voices},
    };
}

// Loads path into a document reset to a new loop. kExitOk or the exit code.
int LoadForCommand(CRondoDoc& doc, const QString& path)
{
    doc.ResetLoop();
    switch (doc.LoadLoopFrom(QFileInfo(path).absoluteFilePath())) {
    case CRondoDoc::LoadResult::Loaded: return kExitOk;
    case CRondoDoc::LoadResult::Invalid: return kExitInvalidLoop;
    case CRondoDoc::LoadResult::OpenFailed: return kExitFileError;
    }
    return kExitFileError;
}

int ListDevices(CSettingsStore& settings)
{
    // Without the settings, listing holds no port open and remembers nothing.
    CSystemMidiOut midiOut(SynthOptions::FromSettings(settings));
    CRondoDoc doc(settings, midiOut);
    CHeadlessView view(doc);
    doc.SetView(&view);
    doc.ResetLoop();
    // The MIDI page's list: the synthesizer first, then each port; the
    // device the next Start opens is marked.
    for (const CRondoDoc::DeviceSlot& slot : doc.m_devices) {
        if (!slot.bValid) continue;
        const bool bChosen = slot.nDeviceId == static_cast<int>(doc.m_uDeviceID);
        std::printf("%c %3d  %s\n", bChosen ? '*' : ' ', slot.nDeviceId, slot.caps.szPname.c_str());
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFileError;
}

struct RenderRequest
{
    QString loop, wav, soundFont;
    AudioRenderOptions options;
};

// Plays the loop on the offline clock into the built-in synthesizer, through
// the same Play, refill and Stop as the editor, and writes what it sounds.
int Render(CSettingsStore& settings, const RenderRequest& request)
{
    SynthOptions options = SynthOptions::FromSettings(settings);
    if (!request.soundFont.isEmpty()) options.soundFont = request.soundFont;
    CLoopRenderer renderer(settings, options);
    renderer.View().m_pErrorStream = stderr;
    switch (renderer.Load(request.loop)) {
    case CRondoDoc::LoadResult::Loaded: break;
    case CRondoDoc::LoadResult::Invalid: return kExitInvalidLoop;
    case CRondoDoc::LoadResult::OpenFailed: return kExitFileError;
    }

    CWavWriter wav;
    if (!wav.Open(request.wav, options.sampleRate)) {
        PrintError(QStringLiteral("rondo: cannot write %1: %2").arg(request.wav, wav.ErrorString()));
        return kExitFileError;
    }
    QString error;
    const bool bRendered = renderer.Render(
        request.options, [&wav](const float* left, const float* right, int n) { return wav.Append(left, right, n); },
        error);
    if (!wav.Close() || !bRendered) {
        PrintError(QStringLiteral("rondo: rendering %1 failed: %2").arg(request.wav, error.isEmpty() ? wav.ErrorString() : error));
        return kExitFileError;
    }
    return kExitOk;
}

struct PlayRequest
{
    QString loop, device, soundFont;
    int nPasses = 0;  // 0: until a signal
    int nTempo = 0;
};

volatile std::sig_atomic_t g_nStopSignal = 0;

void OnStopSignal(int nSignal)
{
    g_nStopSignal = nSignal;
}

// Plays the loop in real time through the same Play, refill and Stop as the
// Start button, on the device Start would open or the one asked for.
int Play(CSettingsStore& settings, const PlayRequest& request)
{
    SynthOptions options = SynthOptions::FromSettings(settings);
    if (!request.soundFont.isEmpty()) options.soundFont = request.soundFont;
    CSystemMidiOut midiOut(options, &settings);
    midiOut.PreloadSynth();
    CRondoDoc doc(settings, midiOut);
    CHeadlessView view(doc);
    view.m_pErrorStream = stderr;
    doc.SetView(&view);
    if (const int code = LoadForCommand(doc, request.loop)) return code;
    if (!request.device.isEmpty() && !doc.SelectDevice(request.device)) {
        PrintError(QStringLiteral("rondo: there is no MIDI output device \"%1\" (rondo --list-devices lists them).")
                       .arg(request.device));
        return kExitFileError;
    }
    view.SetTempoPos(request.nTempo ? request.nTempo : doc.m_nBPM);
    doc.SetPassLimit(request.nPasses);

    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (!doc.Play()) {
        PrintError(QStringLiteral("rondo: cannot play %1: %2").arg(request.loop, doc.PlayError()));
        return kExitFileError;
    }
    using namespace std::chrono;
    bool bFailed = false;
    while (g_nStopSignal == 0 && !doc.IsDrained()) {
        std::this_thread::sleep_for(milliseconds(10));
        if (view.RunPosted() > 0) {
            bFailed = true;
            break;
        }
    }
    // After the last pass, the release: until the synthesizer has been quiet
    // for a tenth of a second (a port's device rings out on its own).
    if (doc.IsDrained() && doc.m_uDeviceID == MIDI_MAPPER) {
        const CSynthEngine& synth = midiOut.Synth();
        const steady_clock::time_point deadline = steady_clock::now() + seconds(CLoopRenderer::kMaxTailSeconds);
        while (g_nStopSignal == 0 && steady_clock::now() < deadline &&
               synth.FramesRendered() - synth.LastLoudFrame() < synth.SampleRate() / 10)
            std::this_thread::sleep_for(milliseconds(10));
    }
    if (!doc.Stop() && !bFailed) {
        PrintError(QStringLiteral("rondo: the MIDI output device did not stop cleanly."));
        return kExitFileError;
    }
    if (bFailed) {
        PrintError(QStringLiteral("rondo: %1").arg(doc.PlayError()));
        return kExitFileError;
    }
    return kExitOk;
}

} // namespace

bool WantsCommandLine(int argc, char** argv)
{
    static const char* const kOptions[] = {"--export", "--info",      "--render", "--play",     "--list-devices",
                                           "--loops",  "--tempo",     "--device", "--soundfont", "--help",
                                           "--help-all", "-h",        "-?",       "--version",  "-v"};
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--") break;
        for (const char* option : kOptions) {
            if (arg == option || arg.startsWith(QByteArray(option) + '=')) return true;
        }
    }
    return false;
}

void SetApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Quillon Software"));
    QCoreApplication::setApplicationName(QStringLiteral("Rondo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RONDO_VERSION));
}

int RunCommandLine(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    SetApplicationIdentity();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Rondo: a drum-loop editor for MIDI composers.\n\n"
        "  rondo [LOOP.rlf]                  open the editor window (with that loop)\n"
        "  rondo --export LOOP.rlf OUT.mid   write the loop as a Standard MIDI File\n"
        "  rondo --info LOOP.rlf             print the loop as JSON\n"
        "  rondo --render LOOP.rlf OUT.wav   play the loop into a WAV file\n"
        "        [--loops N] [--tempo BPM] [--soundfont FILE]\n"
        "  rondo --play LOOP.rlf             play the loop in real time until Ctrl+C\n"
        "        [--loops N] [--tempo BPM] [--device ID] [--soundfont FILE]\n"
        "  rondo --list-devices              list the MIDI output devices"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption exportOption(QStringLiteral("export"),
                                          QStringLiteral("Export LOOP.rlf as the Standard MIDI File OUT.mid."));
    const QCommandLineOption infoOption(QStringLiteral("info"), QStringLiteral("Print LOOP.rlf as one JSON object."));
    const QCommandLineOption renderOption(
        QStringLiteral("render"),
        QStringLiteral("Play LOOP.rlf through the built-in synthesizer into OUT.wav (44.1 kHz, stereo, 16-bit), "
                       "faster than real time."));
    const QCommandLineOption playOption(
        QStringLiteral("play"),
        QStringLiteral("Play LOOP.rlf in real time on the device Start would open (or --device), as Start does, "
                       "until SIGINT or SIGTERM, or for --loops passes and the release."));
    const QCommandLineOption loopsOption(
        QStringLiteral("loops"),
        QStringLiteral("Passes of the loop to render (default 4) or to play (default: until stopped)."),
        QStringLiteral("N"), QStringLiteral("4"));
    const QCommandLineOption tempoOption(QStringLiteral("tempo"),
                                         QStringLiteral("Tempo to play at, 40 to 200 (default: the loop's)."),
                                         QStringLiteral("BPM"));
    const QCommandLineOption deviceOption(
        QStringLiteral("device"),
        QStringLiteral("Device to play on: its id or its full name, as --list-devices prints them."),
        QStringLiteral("ID"));
    const QCommandLineOption soundFontOption(
        QStringLiteral("soundfont"),
        QStringLiteral("Sound font of the built-in synthesizer (default: the setting)."), QStringLiteral("FILE"));
    const QCommandLineOption listOption(QStringLiteral("list-devices"),
                                        QStringLiteral("List the MIDI output devices with their ids."));
    for (const QCommandLineOption* option : {&exportOption, &infoOption, &renderOption, &playOption, &loopsOption,
                                             &tempoOption, &deviceOption, &soundFontOption, &listOption})
        parser.addOption(*option);
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("LOOP.rlf, then OUT.mid or OUT.wav."),
                                 QStringLiteral("[LOOP.rlf [OUT]]"));
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    const bool bExport = parser.isSet(exportOption);
    const bool bInfo = parser.isSet(infoOption);
    const bool bRender = parser.isSet(renderOption);
    const bool bPlay = parser.isSet(playOption);
    const bool bList = parser.isSet(listOption);
    const int nModes = int(bExport) + int(bInfo) + int(bRender) + int(bPlay) + int(bList);
    if (nModes != 1) {
        PrintError(nModes ? QStringLiteral("rondo: choose one of --export, --info, --render, --play and --list-devices.")
                          : QStringLiteral("rondo: --loops, --tempo and --soundfont go with --render or --play."));
        return kExitUsage;
    }
    if (!bRender && !bPlay && (parser.isSet(loopsOption) || parser.isSet(tempoOption) || parser.isSet(soundFontOption))) {
        PrintError(QStringLiteral("rondo: --loops, --tempo and --soundfont go with --render or --play."));
        return kExitUsage;
    }
    if (!bPlay && parser.isSet(deviceOption)) {
        PrintError(QStringLiteral("rondo: --device goes with --play."));
        return kExitUsage;
    }
    const qsizetype nFiles = bList ? 0 : bInfo || bPlay ? 1 : 2;
    if (args.size() != nFiles) {
        PrintError(bList     ? QStringLiteral("rondo: --list-devices takes no file.")
                   : bInfo   ? QStringLiteral("rondo: --info needs LOOP.rlf.")
                   : bPlay   ? QStringLiteral("rondo: --play needs LOOP.rlf.")
                   : bExport ? QStringLiteral("rondo: --export needs LOOP.rlf and OUT.mid.")
                             : QStringLiteral("rondo: --render needs LOOP.rlf and OUT.wav."));
        return kExitUsage;
    }
    int nPasses = 0;
    int nTempo = 0;
    bool bOk = true;
    if (bRender || parser.isSet(loopsOption)) {
        nPasses = parser.value(loopsOption).toInt(&bOk);
        if (!bOk || nPasses < 1 || nPasses > 1000) {
            PrintError(QStringLiteral("rondo: --loops takes a number from 1 to 1000."));
            return kExitUsage;
        }
    }
    if (parser.isSet(tempoOption)) {
        nTempo = parser.value(tempoOption).toInt(&bOk);
        if (!bOk || nTempo < CRondoDoc::kMinBPM || nTempo > CRondoDoc::kMaxBPM) {
            PrintError(QStringLiteral("rondo: --tempo takes a number from 40 to 200."));
            return kExitUsage;
        }
    }

    CSettingsStore settings;
    settings.OpenForApplication();
    if (bList) return ListDevices(settings);

    if (bRender) {
        RenderRequest request;
        request.loop = args[0];
        request.wav = args[1];
        request.soundFont = parser.value(soundFontOption);
        request.options.nPasses = nPasses;
        request.options.nTempo = nTempo;
        return Render(settings, request);
    }
    if (bPlay) {
        PlayRequest request;
        request.loop = args[0];
        request.device = parser.value(deviceOption);
        request.soundFont = parser.value(soundFontOption);
        request.nPasses = nPasses;
        request.nTempo = nTempo;
        return Play(settings, request);
    }

    // Export and info need no device at all.
    CVirtualMidiOut noDevices;
    CRondoDoc doc(settings, noDevices);
    CHeadlessView view(doc);
    view.m_pErrorStream = stderr;
    doc.SetView(&view);
    if (const int code = LoadForCommand(doc, args[0])) return code;

    if (bInfo) {
        const QByteArray json = QJsonDocument(LoopAsJson(doc, view)).toJson(QJsonDocument::Indented);
        std::fwrite(json.constData(), 1, static_cast<size_t>(json.size()), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFileError;
    }

    doc.BuildMidiFile(false);
    return doc.WriteMidiImage(args[1]) ? kExitOk : kExitFileError;
}
