#include "app/CommandLine.h"

#include "settings/Ansi.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midi/AudioRender.h"
#include "midiout/SystemMidiOut.h"
#include "midiout/VirtualMidiOut.h"
#include "midiout/AudioFileWriter.h"
#include "settings/SafeFile.h"
#include "settings/SettingsStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <unistd.h>

namespace {

// Qt's own options of a window program, passed on to its application
// object untouched; true for those that take a value.
const std::pair<const char*, bool> kQtWindowOptions[] = {
    {"-platform", true}, {"-platformpluginpath", true}, {"-platformtheme", true}, {"-plugin", true},
    {"-display", true},  {"-geometry", true},           {"-qwindowgeometry", true}, {"-qwindowicon", true},
    {"-qwindowtitle", true}, {"-style", true},          {"-stylesheet", true},    {"-session", true},
    {"-reverse", false}, {"-nograb", false},            {"-dograb", false},       {"-sync", false},
};

QStringList WithoutQtWindowOptions(const QStringList& args)
{
    QStringList kept;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--")) {
            kept += args.mid(i);
            break;
        }
        bool bQt = false;
        for (const auto& [name, bValue] : kQtWindowOptions) {
            if (args[i] == QLatin1String(name)) {
                bQt = true;
                if (bValue) ++i;
                break;
            }
            if (bValue && args[i].startsWith(QLatin1String(name) + u'=')) {
                bQt = true;
                break;
            }
        }
        if (!bQt) kept.append(args[i]);
    }
    return kept;
}

void SetUpParser(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Rondo: a drum-loop editor for MIDI composers.\n\n"
        "  rondo [LOOP.rlf]                  open the editor window (with that loop)\n"
        "  rondo --export LOOP.rlf OUT.mid   write the loop as a Standard MIDI File\n"
        "  rondo --info LOOP.rlf             print the loop as JSON\n"
        "  rondo --render LOOP.rlf OUT.wav   play the loop into an audio file\n"
        "        [--loops N] [--tempo BPM] [--format wav16|wav24|flac] [--loop-ready] [--soundfont FILE]\n"
        "  rondo --play LOOP.rlf             play the loop in real time until Ctrl+C\n"
        "        [--loops N] [--tempo BPM] [--device ID] [--soundfont FILE]\n"
        "  rondo --list-devices              list the MIDI output devices"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("export"), QStringLiteral("Export LOOP.rlf as the Standard MIDI File OUT.mid.")},
        {QStringLiteral("info"), QStringLiteral("Print LOOP.rlf as one JSON object.")},
        {QStringLiteral("render"),
         QStringLiteral("Play LOOP.rlf through the built-in synthesizer into OUT.wav (44.1 kHz, stereo), faster "
                        "than real time.")},
        {QStringLiteral("format"),
         QStringLiteral("With --render: wav16, wav24 or flac (24-bit) (default: flac for a .flac file, else wav16)."),
         QStringLiteral("FORMAT")},
        {QStringLiteral("loop-ready"),
         QStringLiteral("With --render: exactly the passes, with the release of the last one mixed into the start, so "
                        "that the file loops seamlessly.")},
        {QStringLiteral("play"),
         QStringLiteral("Play LOOP.rlf in real time on the device Start would open (or --device), as Start does, "
                        "until SIGINT or SIGTERM, or for --loops passes and the release.")},
        {QStringLiteral("loops"),
         QStringLiteral("Passes of the loop to render (default 4) or to play (default: until stopped)."),
         QStringLiteral("N")},
        {QStringLiteral("tempo"), QStringLiteral("Tempo to play at, 40 to 200 (default: the loop's)."),
         QStringLiteral("BPM")},
        {QStringLiteral("device"),
         QStringLiteral("Device to play on: its id or its full name, as --list-devices prints them."),
         QStringLiteral("ID")},
        {QStringLiteral("soundfont"), QStringLiteral("Sound font of the built-in synthesizer (default: the setting)."),
         QStringLiteral("FILE")},
        {QStringLiteral("list-devices"), QStringLiteral("List the MIDI output devices with their ids.")},
    });
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("LOOP.rlf, then OUT.mid or OUT.wav."),
                                 QStringLiteral("[LOOP.rlf [OUT]]"));
}

QString QtWindowOptionsHelp()
{
    QString text = QStringLiteral("\nQt options of the editor window:\n ");
    for (const auto& [name, bValue] : kQtWindowOptions)
        text += u' ' + QLatin1String(name) + (bValue ? QStringLiteral(" <value>") : QString());
    return text + u'\n';
}

// A message of the document as one line, naming path when it does not.
QString DocumentError(const QString& path, const QString& text)
{
    const QString shown = QDir::toNativeSeparators(path);
    return text.contains(shown) ? QStringLiteral("rondo: %1").arg(text)
                                : QStringLiteral("rondo: %1: %2").arg(shown, text);
}

// Everything the command prints goes out in one write, which is checked
// (a full disk, a closed or broken pipe, a closed descriptor).
int WriteStandardOutput(QByteArrayView bytes)
{
    files::CSafeFile out;
    if (out.OpenStandardOutput() && out.Write(bytes) && out.Commit()) return kExitOk;
    PrintError(QStringLiteral("rondo: standard output could not be written: %1").arg(out.ErrorString()));
    return kExitFileError;
}

QJsonObject LoopAsJson(const CRondoDoc& doc, const CHeadlessView& view)
{
    QJsonArray voices;
    for (int v = 0; v < CRondoDoc::kVoices; ++v) {
        const CRondoDoc::VoiceRecord& voice = doc.m_voices[v];
        QJsonArray cellsOn, levels;
        for (int b = 0; b < CRondoDoc::kBeats; ++b) {
            cellsOn.append(doc.IsCellOn(v, b) ? 1 : 0);
            levels.append(QLatin1String(cells::LevelName(doc.LevelAt(v, b))));
        }
        voices.append(QJsonObject{
            {"name", doc.VoiceName(v)},
            {"pitch", voice.byPitch},
            {"velocity", voice.byVelocity},
            {"cells", cellsOn},
            {"levels", levels},
        });
    }
    return QJsonObject{
        {"tempo", doc.m_nBPM},
        {"swing", doc.m_nSwing},
        {"rows", view.VoicesShown()},
        {"channel", doc.m_nChannel + 1},
        {"instrument", doc.m_nInstrument + 1},
        {"composer", ansi::ToUnicode(doc.m_strComposer)},
        {"company", ansi::ToUnicode(doc.m_strCompany)},
        {"title", ansi::ToUnicode(doc.m_strLoopTitle)},
        {"voices", voices},
    };
}

int LoadExitCode(CRondoDoc::LoadResult result)
{
    switch (result) {
    case CRondoDoc::LoadResult::Loaded: return kExitOk;
    case CRondoDoc::LoadResult::Invalid: return kExitInvalidLoop;
    case CRondoDoc::LoadResult::OpenFailed: return kExitFileError;
    }
    return kExitFileError;
}

// Loads path into a document reset to a new loop. kExitOk or the exit code,
// the reason printed.
int LoadForCommand(CRondoDoc& doc, const QString& path)
{
    doc.ResetLoop();
    const int code = LoadExitCode(doc.LoadLoopFrom(QFileInfo(path).absoluteFilePath()));
    if (code != kExitOk) PrintError(DocumentError(path, doc.LastError()));
    return code;
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
    QByteArray out;
    for (const CRondoDoc::DeviceSlot& slot : doc.m_devices) {
        if (!slot.bValid) continue;
        const bool bChosen = slot.nDeviceId == static_cast<int>(doc.m_uDeviceID);
        out += QStringLiteral("%1 %2  %3\n")
                   .arg(QChar(bChosen ? u'*' : u' '))
                   .arg(slot.nDeviceId, 3)
                   .arg(QString::fromStdString(slot.caps.szPname))
                   .toLocal8Bit();
    }
    return WriteStandardOutput(out);
}

// Plays the loop on the offline clock into the built-in synthesizer, through
// the same Play, refill and Stop as the editor, and writes what it sounds.
// The loop and the sound font are checked before the target is touched;
// the WAV file takes the target's place only once it is complete.
int Render(CSettingsStore& settings, const CommandLineRequest& request)
{
    const QString& loop = request.files[0];
    const QString& target = request.files[1];
    SynthOptions options = SynthOptions::FromSettings(settings);
    if (!request.soundFont.isEmpty()) options.soundFont = request.soundFont;
    CLoopRenderer renderer(settings, options);
    if (const int code = LoadExitCode(renderer.Load(loop))) {
        PrintError(DocumentError(loop, renderer.Doc().LastError()));
        return code;
    }
    AudioFileJob job;
    job.render.nPasses = request.nPasses;
    job.render.nTempo = request.nTempo;
    job.render.bLoopReady = request.bLoopReady;
    job.format = request.format;
    job.target = target;
    QString error;
    switch (renderer.RenderToFile(job, error)) {
    case RenderFailure::None:
    case RenderFailure::Cancelled: break;
    case RenderFailure::SoundFont: PrintError(DocumentError(options.soundFont, error)); return kExitFileError;
    case RenderFailure::Rendering:
        PrintError(QStringLiteral("rondo: rendering into %1 failed: %2").arg(QDir::toNativeSeparators(target), error));
        return kExitFileError;
    case RenderFailure::Target:
        PrintError(QStringLiteral("rondo: %1 could not be written: %2").arg(QDir::toNativeSeparators(target), error));
        return kExitFileError;
    }
    return kExitOk;
}

volatile std::sig_atomic_t g_nStopSignal = 0;

void OnStopSignal(int nSignal)
{
    g_nStopSignal = nSignal;
}

// Plays the loop in real time through the same Play, refill and Stop as the
// Start button, on the device Start would open or the one asked for.
int Play(CSettingsStore& settings, const CommandLineRequest& request)
{
    const QString& loop = request.files[0];
    SynthOptions options = SynthOptions::FromSettings(settings);
    if (!request.soundFont.isEmpty()) options.soundFont = request.soundFont;
    CSystemMidiOut midiOut(options, &settings);
    midiOut.PreloadSynth();
    CRondoDoc doc(settings, midiOut);
    CHeadlessView view(doc);
    doc.SetView(&view);
    if (const int code = LoadForCommand(doc, loop)) return code;
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
        PrintError(QStringLiteral("rondo: cannot play %1: %2").arg(QDir::toNativeSeparators(loop), doc.PlayError()));
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

int Usage(const QString& text)
{
    PrintError(QStringLiteral("rondo: %1 (see rondo --help)").arg(text));
    return kExitUsage;
}

} // namespace

void PrintError(const QString& text)
{
    // One message, however many paragraphs its reason has.
    QString lines = text.trimmed();
    while (lines.contains(QStringLiteral("\n\n"))) lines.replace(QStringLiteral("\n\n"), QStringLiteral("\n"));
    std::fprintf(stderr, "%s\n", lines.toLocal8Bit().constData());
    std::fflush(stderr);
}

void SetApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Quillon Software"));
    QCoreApplication::setApplicationName(QStringLiteral("Rondo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RONDO_PACKAGE_VERSION));
}

int ParseCommandLine(int argc, char** argv, CommandLineRequest& request)
{
    request = CommandLineRequest{};
    QStringList args{QStringLiteral("rondo")};
    for (int i = 1; i < argc; ++i) {
        // A name whose bytes no text spells would reach another file.
        QString arg;
        if (!files::NameFromBytes(QByteArray(argv[i]), arg)) {
            PrintError(QStringLiteral("rondo: %1: this name is not valid UTF-8, so it cannot be used")
                           .arg(files::PrintableName(argv[i])));
            return kExitFileError;
        }
        args.append(arg);
    }

    QCommandLineParser parser;
    SetUpParser(parser);
    if (!parser.parse(WithoutQtWindowOptions(args))) return Usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help-all"))) {
        request.mode = CommandLineRequest::Mode::HelpAll;
        return -1;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        request.mode = CommandLineRequest::Mode::Help;
        return -1;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        request.mode = CommandLineRequest::Mode::Version;
        return -1;
    }

    using Mode = CommandLineRequest::Mode;
    const std::pair<const char*, Mode> modes[] = {{"export", Mode::Export},
                                                  {"info", Mode::Info},
                                                  {"render", Mode::Render},
                                                  {"play", Mode::Play},
                                                  {"list-devices", Mode::ListDevices}};
    int nModes = 0;
    for (const auto& [name, mode] : modes) {
        if (!parser.isSet(QLatin1String(name))) continue;
        request.mode = mode;
        ++nModes;
    }
    if (nModes > 1)
        return Usage(QStringLiteral("choose one of --export, --info, --render, --play and --list-devices."));
    const bool bPlayOptions = parser.isSet(QStringLiteral("loops")) || parser.isSet(QStringLiteral("tempo")) ||
                              parser.isSet(QStringLiteral("soundfont"));
    if (request.mode != Mode::Render && request.mode != Mode::Play && bPlayOptions)
        return Usage(QStringLiteral("--loops, --tempo and --soundfont go with --render or --play."));
    if (request.mode != Mode::Play && parser.isSet(QStringLiteral("device")))
        return Usage(QStringLiteral("--device goes with --play."));
    if (request.mode != Mode::Render && (parser.isSet(QStringLiteral("format")) || parser.isSet(QStringLiteral("loop-ready"))))
        return Usage(QStringLiteral("--format and --loop-ready go with --render."));

    request.files = parser.positionalArguments();
    const qsizetype nFiles = request.files.size();
    switch (request.mode) {
    case Mode::Window:
        if (nFiles > 1) return Usage(QStringLiteral("the window opens at most one loop file."));
        break;
    case Mode::ListDevices:
        if (nFiles != 0) return Usage(QStringLiteral("--list-devices takes no file."));
        break;
    case Mode::Info:
        if (nFiles != 1) return Usage(QStringLiteral("--info needs LOOP.rlf."));
        break;
    case Mode::Play:
        if (nFiles != 1) return Usage(QStringLiteral("--play needs LOOP.rlf."));
        break;
    case Mode::Export:
        if (nFiles != 2) return Usage(QStringLiteral("--export needs LOOP.rlf and OUT.mid."));
        break;
    case Mode::Render:
        if (nFiles != 2) return Usage(QStringLiteral("--render needs LOOP.rlf and OUT.wav."));
        break;
    default:
        break;
    }

    bool bOk = true;
    // Played without --loops, the loop goes round until it is stopped.
    if (request.mode == Mode::Play) request.nPasses = 0;
    if (parser.isSet(QStringLiteral("loops"))) {
        request.nPasses = parser.value(QStringLiteral("loops")).toInt(&bOk);
        if (!bOk || request.nPasses < 1 || request.nPasses > AudioRenderOptions::kMaxPasses)
            return Usage(QStringLiteral("--loops takes a number from 1 to %1.").arg(AudioRenderOptions::kMaxPasses));
    }
    if (parser.isSet(QStringLiteral("tempo"))) {
        request.nTempo = parser.value(QStringLiteral("tempo")).toInt(&bOk);
        if (!bOk || request.nTempo < CRondoDoc::kMinBPM || request.nTempo > CRondoDoc::kMaxBPM)
            return Usage(QStringLiteral("--tempo takes a number from 40 to 200."));
    }
    request.soundFont = parser.value(QStringLiteral("soundfont"));
    request.device = parser.value(QStringLiteral("device"));
    request.bLoopReady = parser.isSet(QStringLiteral("loop-ready"));
    if (parser.isSet(QStringLiteral("format"))) {
        const std::optional<AudioFormat> format = CAudioFileWriter::FormatFromName(parser.value(QStringLiteral("format")));
        if (!format) return Usage(QStringLiteral("--format takes wav16, wav24 or flac."));
        request.format = *format;
    } else if (request.mode == Mode::Render) {
        request.format = CAudioFileWriter::FormatForPath(request.files[1]);
    }

    // Relative names are made absolute from the current folder, whose name
    // must then be text too.
    QStringList named = request.files;
    if (!request.soundFont.isEmpty()) named.append(request.soundFont);
    const auto relative = std::find_if(named.begin(), named.end(), [](const QString& f) { return !QDir::isAbsolutePath(f); });
    if (relative != named.end()) {
        char* cwd = ::getcwd(nullptr, 0);
        const QByteArray bytes(cwd ? cwd : "");
        std::free(cwd);
        QString folder;
        if (bytes.isEmpty() || !files::NameFromBytes(bytes, folder)) {
            PrintError(QStringLiteral("rondo: %1: the current folder's name is not valid UTF-8, so names in it cannot "
                                      "be used")
                           .arg(*relative));
            return kExitFileError;
        }
    }
    return -1;
}

int RunCommandLine(int argc, char** argv, const CommandLineRequest& request)
{
    using Mode = CommandLineRequest::Mode;
    QCoreApplication app(argc, argv);
    SetApplicationIdentity();

    switch (request.mode) {
    case Mode::Help:
    case Mode::HelpAll: {
        QCommandLineParser parser;
        SetUpParser(parser);
        QString text = parser.helpText();
        if (request.mode == Mode::HelpAll) text += QtWindowOptionsHelp();
        return WriteStandardOutput(text.toLocal8Bit());
    }
    case Mode::Version:
        return WriteStandardOutput(QStringLiteral("Rondo %1\n").arg(QCoreApplication::applicationVersion()).toLocal8Bit());
    default:
        break;
    }

    // Reading the preferences creates nothing; the command line writes none.
    CSettingsStore settings;
    settings.PlaceForApplication();
    if (request.mode == Mode::ListDevices) return ListDevices(settings);
    if (request.mode == Mode::Render) return Render(settings, request);
    if (request.mode == Mode::Play) return Play(settings, request);

    // Export and info need no device at all.
    CVirtualMidiOut noDevices;
    CRondoDoc doc(settings, noDevices);
    CHeadlessView view(doc);
    doc.SetView(&view);
    if (const int code = LoadForCommand(doc, request.files[0])) return code;

    if (request.mode == Mode::Info)
        return WriteStandardOutput(QJsonDocument(LoopAsJson(doc, view)).toJson(QJsonDocument::Indented));

    doc.BuildMidiFile(false);
    if (!doc.WriteMidiImage(request.files[1])) {
        PrintError(DocumentError(request.files[1], doc.LastError()));
        return kExitFileError;
    }
    return kExitOk;
}
