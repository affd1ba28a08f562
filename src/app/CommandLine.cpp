#include "app/CommandLine.h"

#include "settings/Ansi.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "settings/SettingsStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

void PrintError(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

QJsonObject LoopAsJson(const CRondoDoc& doc, const CHeadlessView& view)
{
    QJsonArray voices;
    for (int v = 0; v < CRondoDoc::kVoices; ++v) {
        const CRondoDoc::VoiceRecord& voice = doc.m_voices[v];
        QJsonArray cells;
        for (int b = 0; b < CRondoDoc::kBeats; ++b) cells.append(doc.IsCellOn(v, b) ? 1 : 0);
        voices.append(QJsonObject{
            {"name", ansi::ToUnicode(ansi::FromField(reinterpret_cast<const unsigned char*>(voice.szName),
                                                      sizeof voice.szName, CRondoDoc::kNameMax))},
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

} // namespace

int RunCommandLine(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Quillon Software"));
    QCoreApplication::setApplicationName(QStringLiteral("Rondo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RONDO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Rondo: a drum-loop editor for MIDI composers.\n\n"
        "  rondo --export LOOP.rlf OUT.mid   write the loop as a Standard MIDI File\n"
        "  rondo --info LOOP.rlf             print the loop as JSON"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption exportOption(QStringLiteral("export"),
                                          QStringLiteral("Export LOOP.rlf as the Standard MIDI File OUT.mid."));
    const QCommandLineOption infoOption(QStringLiteral("info"), QStringLiteral("Print LOOP.rlf as one JSON object."));
    parser.addOption(exportOption);
    parser.addOption(infoOption);
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("LOOP.rlf, and OUT.mid for --export."),
                                 QStringLiteral("[LOOP.rlf [OUT.mid]]"));
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    const bool bExport = parser.isSet(exportOption);
    const bool bInfo = parser.isSet(infoOption);
    if (bExport == bInfo) {
        PrintError(bExport ? QStringLiteral("rondo: choose one of --export and --info.")
                           : QStringLiteral("rondo: the editor window is not part of this build; "
                                            "use --export or --info (see rondo --help)."));
        return kExitUsage;
    }
    if (args.size() != (bExport ? 2 : 1)) {
        PrintError(bExport ? QStringLiteral("rondo: --export needs LOOP.rlf and OUT.mid.")
                           : QStringLiteral("rondo: --info needs LOOP.rlf."));
        return kExitUsage;
    }

    // The same start-up as the window: the first run imports the legacy INI.
    CSettingsStore settings;
    bool bCreated = false;
    if (settings.Open(QString(), QStringLiteral("Quillon Software/Rondo"), &bCreated) && bCreated)
        settings.ImportIniFile();

    CRondoDoc doc(settings);
    CHeadlessView view(doc);
    view.m_pErrorStream = stderr;
    doc.SetView(&view);
    doc.ResetLoop();

    switch (doc.LoadLoopFrom(QFileInfo(args[0]).absoluteFilePath())) {
    case CRondoDoc::LoadResult::Loaded: break;
    case CRondoDoc::LoadResult::Invalid: return kExitInvalidLoop;
    case CRondoDoc::LoadResult::OpenFailed: return kExitFileError;
    }

    if (bInfo) {
        const QByteArray json = QJsonDocument(LoopAsJson(doc, view)).toJson(QJsonDocument::Indented);
        std::fwrite(json.constData(), 1, static_cast<size_t>(json.size()), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFileError;
    }

    doc.BuildMidiFile(false);
    return doc.WriteMidiImage(args[1]) ? kExitOk : kExitFileError;
}
