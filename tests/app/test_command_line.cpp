#include "TestSupport.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midi/AudioRender.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/SettingsStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QProcess>
#include <QtEndian>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

using rondo_test::ReadFile;
using rondo_test::WriteFile;

namespace {

struct Outcome
{
    int exitCode = -1;
    QByteArray out, err;
};

} // namespace

// The command line as a user runs it: the real binary, its own settings.
class CommandLineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A loop made and saved by the program itself.
        settings.Open(QString(), "Quillon Software/Rondo");
        CVirtualMidiOut midiOut;
        CRondoDoc doc(settings, midiOut);
        CHeadlessView view(doc);
        doc.SetView(&view);
        doc.ResetLoop();
        doc.m_strLoopTitle = "Bossa \xE0 trois";
        doc.m_nBPM = 132;
        doc.SetChannel(4);
        doc.m_nInstrument = 17;
        doc.m_cells[0][0] = 1;
        doc.SetLevel(0, 6, CellLevel::Accent);
        doc.SetLevel(6, 3, CellLevel::Ghost);
        doc.SetSwing(58);
        std::strcpy(doc.m_voices[6].szName, "Cowbell");
        ASSERT_TRUE(doc.SaveLoopTo(Path("bossa.rlf")));
        doc.BuildMidiFile(false);
        expectedMidi = QByteArray(reinterpret_cast<const char*>(doc.m_midiFile), doc.m_nDocSize);
    }

    Outcome Rondo(const QStringList& args)
    {
        QProcess p;
        p.start(RONDO_BINARY, args);
        Outcome r;
        if (!p.waitForFinished(20000)) return r;
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    QString Path(const QString& name) const { return files.path() + "/" + name; }

    rondo_test::ScopedConfigDirs dirs;  // inherited by the child process
    QTemporaryDir files;
    CSettingsStore settings;
    QByteArray expectedMidi;
};

TEST_F(CommandLineTest, ExportWritesTheSameImageAsTheEditor)
{
    const Outcome r = Rondo({"--export", Path("bossa.rlf"), Path("bossa.mid")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(ReadFile(Path("bossa.mid")), expectedMidi);

    // The program change is a preference, not part of the loop file.
    settings.SetInt("Doc", "ProgChgExport", 0);
    ASSERT_EQ(Rondo({"--export", Path("bossa.rlf"), Path("plain.mid")}).exitCode, 0);
    EXPECT_EQ(ReadFile(Path("plain.mid")).size(), expectedMidi.size() - 3);
}

TEST_F(CommandLineTest, InfoPrintsTheLoopAsJson)
{
    const Outcome r = Rondo({"--info", Path("bossa.rlf")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(r.out, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
    EXPECT_EQ(o["tempo"].toInt(), 132);
    EXPECT_EQ(o["rows"].toInt(), 7);
    EXPECT_EQ(o["channel"].toInt(), 5);
    EXPECT_EQ(o["instrument"].toInt(), 18);
    EXPECT_EQ(o["title"].toString(), QString::fromUtf8("Bossa à trois"));
    EXPECT_EQ(o["composer"].toString(), "Your Name");
    EXPECT_EQ(o["company"].toString(), "Your Company");
    const QJsonArray voices = o["voices"].toArray();
    ASSERT_EQ(voices.size(), 12);
    EXPECT_EQ(voices[6].toObject()["name"].toString(), "Cowbell");
    EXPECT_EQ(voices[6].toObject()["pitch"].toInt(), 62);
    EXPECT_EQ(voices[6].toObject()["velocity"].toInt(), 100);
    EXPECT_EQ(o["swing"].toInt(), 58);
    // "cells" stays on or off, whatever the level; "levels" names them.
    EXPECT_EQ(voices[0].toObject()["cells"].toArray(),
              QJsonArray({1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(voices[11].toObject()["cells"].toArray(), QJsonArray({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(voices[0].toObject()["levels"].toArray(),
              QJsonArray({"on", "off", "off", "off", "off", "off", "accent", "off", "off", "off", "off", "off", "off",
                          "off", "off", "off"}));
    EXPECT_EQ(voices[6].toObject()["levels"].toArray()[3].toString(), "ghost");
    EXPECT_EQ(voices[6].toObject()["cells"].toArray()[3].toInt(), 1);
}

TEST_F(CommandLineTest, FailuresHaveTheirOwnExitCodes)
{
    ASSERT_TRUE(WriteFile(Path("junk.rlf"), QByteArray(1472, 'x')));
    Outcome r = Rondo({"--info", Path("junk.rlf")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("The file you chose is not a valid Rondo file.")) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());

    r = Rondo({"--export", Path("absent.rlf"), Path("x.mid")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("absent.rlf")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(Path("x.mid")));

    r = Rondo({"--export", Path("bossa.rlf"), Path("no/such/dir/x.mid")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("could not be written")) << r.err.toStdString();

    EXPECT_EQ(Rondo({"--export", Path("bossa.rlf")}).exitCode, 64);
    EXPECT_EQ(Rondo({"--info", "--export", Path("bossa.rlf")}).exitCode, 64);
}

TEST_F(CommandLineTest, HelpAndVersion)
{
    Outcome r = Rondo({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("2.4")) << r.out.toStdString();
    r = Rondo({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("--export")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("--info"));
    EXPECT_TRUE(r.out.contains("--render"));
}

namespace {

const char* const kSmallSoundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";

// The left channel of a 16-bit stereo WAV, after checking its header.
std::vector<int> LeftChannel(const QByteArray& wav)
{
    auto u32 = [&](int at) { return qFromLittleEndian<quint32>(wav.constData() + at); };
    auto u16 = [&](int at) { return qFromLittleEndian<quint16>(wav.constData() + at); };
    std::vector<int> left;
    if (wav.size() < 44 || !wav.startsWith("RIFF") || wav.mid(8, 8) != "WAVEfmt ") return left;
    EXPECT_EQ(u32(4), quint32(wav.size() - 8));
    EXPECT_EQ(u16(20), 1u);  // PCM
    EXPECT_EQ(u16(22), 2u);
    EXPECT_EQ(u32(24), 44100u);
    EXPECT_EQ(u16(34), 16u);
    EXPECT_EQ(wav.mid(36, 4), "data");
    EXPECT_EQ(u32(40), quint32(wav.size() - 44));
    for (qsizetype at = 44; at + 4 <= wav.size(); at += 4) left.push_back(qFromLittleEndian<qint16>(wav.constData() + at));
    return left;
}

} // namespace

TEST_F(CommandLineTest, RenderPlaysTheHitsWhereTheGridSays)
{
    // Claves on every beat at 120 BPM: a hit each 22050 frames.
    {
        CVirtualMidiOut midiOut;
        CRondoDoc doc(settings, midiOut);
        CHeadlessView view(doc);
        doc.SetView(&view);
        doc.ResetLoop();
        doc.m_voices[0].byPitch = 75;
        for (int b = 0; b < 16; b += 4) doc.m_cells[0][b] = 1;
        doc.m_nBPM = 120;
        ASSERT_TRUE(doc.SaveLoopTo(Path("claves.rlf")));
    }
    const Outcome r = Rondo({"--render", Path("claves.rlf"), Path("claves.wav"), "--loops", "3", "--soundfont",
                             kSmallSoundFont});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    const std::vector<int> left = LeftChannel(ReadFile(Path("claves.wav")));
    ASSERT_GE(left.size(), 3u * 88200u);
    EXPECT_LT(left.size(), 3u * 88200u + 5u * 44100u) << "the tail ends when it fades out";

    // An onset: the first sample above a tenth of the peak, well after the last.
    int peak = 0;
    for (int v : left) peak = std::max(peak, std::abs(v));
    ASSERT_GT(peak, 1000) << "the claves sound";
    std::vector<long> onsets;
    for (size_t i = 0; i < left.size(); ++i) {
        if (std::abs(left[i]) > peak / 10 && (onsets.empty() || long(i) - onsets.back() > 11025)) onsets.push_back(long(i));
    }
    ASSERT_EQ(onsets.size(), 12u);
    EXPECT_LT(onsets[0], 64 + 441) << "the first hit at the start, after the attack";
    // Whatever the attack, every hit lies within one 64-frame block of the
    // grid relative to the first, in every pass.
    for (size_t k = 1; k < onsets.size(); ++k) EXPECT_NEAR(onsets[k] - onsets[0], long(k) * 22050, 64) << k;
}

TEST_F(CommandLineTest, RenderAndListDevicesCheckTheirArguments)
{
    EXPECT_EQ(Rondo({"--render", Path("bossa.rlf")}).exitCode, 64);
    EXPECT_EQ(Rondo({"--render", Path("bossa.rlf"), Path("x.wav"), "--tempo", "300"}).exitCode, 64);
    EXPECT_EQ(Rondo({"--render", Path("bossa.rlf"), Path("x.wav"), "--loops", "0"}).exitCode, 64);
    EXPECT_EQ(Rondo({"--export", Path("bossa.rlf"), Path("x.mid"), "--loops", "2"}).exitCode, 64);
    EXPECT_EQ(Rondo({"--render", Path("bossa.rlf"), Path("x.wav"), "--format", "ogg"}).exitCode, 64);
    EXPECT_EQ(Rondo({"--export", Path("bossa.rlf"), Path("x.mid"), "--loop-ready"}).exitCode, 64);
    EXPECT_FALSE(QFileInfo::exists(Path("x.wav")));
    Outcome r = Rondo({"--render", Path("bossa.rlf"), Path("x.wav"), "--soundfont", Path("none.sf2")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("none.sf2")) << r.err.toStdString();

    r = Rondo({"--list-devices"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith("*  -1  Built-in Synthesizer\n")) << r.out.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << "no console noise from the sound libraries: " << r.err.toStdString();
}

TEST_F(CommandLineTest, RenderWritesTheFormatAskedForOrThatOfTheExtension)
{
    struct Case
    {
        QStringList extra;
        QString name;
        int format;
    };
    const sf_count_t passes = PassFrames(4, 132, 44100);
    for (const Case& c : {Case{{}, "a.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
                          Case{{"--format", "wav24"}, "b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                          Case{{"--format", "FLAC"}, "c.audio", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
                          Case{{"--loop-ready"}, "d.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16}}) {
        const Outcome r = Rondo(QStringList{"--render", Path("bossa.rlf"), Path(c.name), "--soundfont", kSmallSoundFont} +
                                c.extra);
        ASSERT_EQ(r.exitCode, 0) << c.name.toStdString() << ": " << r.err.toStdString();
        SF_INFO info{};
        SNDFILE* file = sf_open(Path(c.name).toUtf8().constData(), SFM_READ, &info);
        ASSERT_NE(file, nullptr) << c.name.toStdString() << ": " << sf_strerror(nullptr);
        EXPECT_EQ(info.format, c.format) << c.name.toStdString();
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.samplerate, 44100);
        if (c.extra.contains("--loop-ready"))
            EXPECT_EQ(info.frames, passes) << "exactly the passes";
        else
            EXPECT_GT(info.frames, passes) << c.name.toStdString() << ": the passes and their tail";
        sf_close(file);
    }
}
