// Writes the seed corpus of the fuzz targets: loop files saved by the
// document itself (and the older, shorter forms of one), and preferences
// written by the store and by hand. Usage: fuzz_make_seeds DIR

#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRect>
#include <QSettings>
#include <QSize>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

namespace {

bool WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray ReadBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void SetName(CRondoDoc::VoiceRecord& voice, const char* name)
{
    std::memset(voice.szName, 0, sizeof voice.szName);
    std::strncpy(voice.szName, name, CRondoDoc::kNameMax);
}

bool WriteLoopSeeds(const QString& dir, CSettingsStore& settings)
{
    CVirtualMidiOut midiOut;
    CRondoDoc doc(settings, midiOut);
    CHeadlessView view(doc);
    doc.SetView(&view);
    bool bOk = true;
    auto save = [&](const char* name) { bOk = doc.SaveLoopTo(dir + u'/' + QLatin1String(name)) && bOk; };

    doc.ResetLoop();
    save("new.rlf");

    // A groove on eight rows in the fields' own Windows-1252 text.
    doc.ResetLoop();
    while (view.VoicesShown() < 8) view.AddVoice();
    for (int b = 0; b < CRondoDoc::kBeats; ++b) {
        doc.m_cells[0][b] = b % 4 == 0;
        doc.m_cells[1][b] = b % 8 == 4;
        doc.m_cells[2][b] = b % 2 == 0;
        doc.m_cells[7][b] = b == 15;
    }
    doc.m_nBPM = 132;
    doc.SetChannel(2);
    doc.m_nInstrument = 25;
    doc.m_strComposer = "Zo\xEB \x93Jo\x94";
    doc.m_strLoopTitle = "Caf\xE9 \x80 5";
    SetName(doc.m_voices[0], "Kick");
    SetName(doc.m_voices[1], "Snare \xB7");
    save("groove.rlf");
    const QByteArray groove = ReadBytes(dir + QStringLiteral("/groove.rlf"));
    bOk = groove.size() == 1472 && bOk;
    bOk = WriteBytes(dir + QStringLiteral("/groove-older.rlf"), groove.left(1468)) && bOk;
    bOk = WriteBytes(dir + QStringLiteral("/groove-oldest.rlf"), groove.left(1464)) && bOk;

    // The same groove with accents, ghosts and swing: the swing block follows the record.
    doc.SetLevel(0, 0, CellLevel::Accent);
    doc.SetLevel(2, 6, CellLevel::Ghost);
    doc.SetSwing(66);
    save("groove-swung.rlf");
    bOk = ReadBytes(dir + QStringLiteral("/groove-swung.rlf")).size() == 1472 + 12 && bOk;

    // Every field at the top of its range.
    doc.ResetLoop();
    while (view.VoicesShown() < CRondoDoc::kMaxRows) view.AddVoice();
    for (auto& row : doc.m_cells)
        for (int& cell : row) cell = 1;
    for (CRondoDoc::VoiceRecord& voice : doc.m_voices) {
        voice.byPitch = 127;
        voice.byVelocity = 127;
        SetName(voice, "\xFFSixteen bytes!!");
    }
    doc.m_nBPM = CRondoDoc::kMaxBPM;
    doc.SetChannel(15);
    doc.m_nInstrument = 127;
    doc.m_strComposer = std::string(CRondoDoc::kTextMax, '\xE9');
    doc.m_strCompany = std::string(CRondoDoc::kTextMax, 'c');
    doc.m_strLoopTitle = std::string(CRondoDoc::kTextMax, '\x80');
    save("full.rlf");

    // The slowest loop, one hit on the last row, no texts.
    doc.ResetLoop();
    while (view.VoicesShown() < CRondoDoc::kMaxRows) view.AddVoice();
    doc.m_cells[CRondoDoc::kVoices - 1][CRondoDoc::kBeats - 1] = 1;
    doc.m_nBPM = CRondoDoc::kMinBPM;
    doc.SetChannel(0);
    doc.m_strComposer.clear();
    doc.m_strCompany.clear();
    doc.m_strLoopTitle.clear();
    save("slow.rlf");
    return bOk;
}

bool WriteSettingsSeeds(const QString& dir)
{
    CSettingsStore store;
    if (!store.Open(dir, QStringLiteral("store"))) return false;
    bool bOk = store.SetInt("Device", "ID", 0);
    bOk = store.SetInt("Doc", "Channel", 9) && bOk;
    bOk = store.SetInt("Doc", "Instrument", -1) && bOk;
    bOk = store.SetInt("Doc", "ProgChgStream", 0) && bOk;
    bOk = store.SetString("Prefs", "Composer", QString::fromUtf8("Zoë \"Jo\", Café")) && bOk;
    bOk = store.SetString("Prefs", "LoopTitle", QString(259, u'x')) && bOk;
    bOk = store.SetString("Synth", "Gain", QStringLiteral(" 0.5 ")) && bOk;
    bOk = store.SetString("Export", "DirPath", QStringLiteral("/home/jo/My Loops")) && bOk;

    // Values of other types, as QSettings writes them (@ByteArray(...),
    // @Variant(...) and the like): a hand-edited file may hold any of them.
    {
        QSettings typed(dir + QStringLiteral("/typed.ini"), QSettings::IniFormat);
        typed.beginGroup(QStringLiteral("Prefs"));
        typed.setValue(QStringLiteral("Composer"), QByteArray("Jo\0\xE9", 4));
        typed.setValue(QStringLiteral("Company"), QStringList{QStringLiteral("a"), QStringLiteral("b, c")});
        typed.setValue(QStringLiteral("LoopTitle"), QVariant(QDateTime(QDate(2026, 12, 8), QTime(7, 0))));
        typed.endGroup();
        typed.beginGroup(QStringLiteral("Doc"));
        typed.setValue(QStringLiteral("Channel"), QVariant(QSize(3, 4)));
        typed.setValue(QStringLiteral("Instrument"), QVariant(qint64(1) << 40));
        typed.setValue(QStringLiteral("Save"), QVariant(true));
        typed.setValue(QStringLiteral("ProgChgStream"), QVariant(QRect(1, 2, 3, 4)));
        typed.endGroup();
        typed.setValue(QStringLiteral("Synth/Gain"), QVariantMap{{QStringLiteral("gain"), 0.5}});
        typed.sync();
        bOk = typed.status() == QSettings::NoError && bOk;
    }

    // What a Windows tool left behind: CRLF, the ANSI code page, an
    // over-long line, a NUL, blanks and stray lines.
    QByteArray legacy = "Early=dropped\r\n[Prefs]\r\nComposer = Jo Caf\xE9\r\nCompany=\x80 5\r\n; note\r\n"
                        "[Doc]\r\nChannel= 10x\r\nInstrument=-2147483649\r\nSave=1\r\n[ Synth ]\r\nGain=1e1\r\n";
    static const char kTail[] = "\n[]\nTop=t\0rest\n";
    legacy += "LoopTitle=" + QByteArray(600, 'y') + QByteArray(kTail, sizeof kTail - 1);
    bOk = WriteBytes(dir + QStringLiteral("/legacy.ini"), legacy) && bOk;
    return bOk;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds DIR\n");
        return 64;
    }
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qputenv("XDG_CONFIG_DIRS", config.path().toLocal8Bit());
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString loops = out + QStringLiteral("/fuzz_loop_file"), settings = out + QStringLiteral("/fuzz_settings");
    if (!QDir().mkpath(loops) || !QDir().mkpath(settings)) return 1;
    CSettingsStore store;
    if (!store.Open(QString(), QStringLiteral("Quillon Software/Rondo"))) return 1;
    if (!WriteLoopSeeds(loops, store) || !WriteSettingsSeeds(settings)) {
        std::fprintf(stderr, "fuzz_make_seeds: could not write the seeds to %s\n", argv[1]);
        return 1;
    }
    return 0;
}
