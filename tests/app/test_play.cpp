// rondo --play as a user runs it: the real binary on the real audio paths of
// a machine without a sound card. ALSA's default device is a private
// configuration that writes what it is given into a file; JACK is a dummy
// server of the test's own, paced in real time.
#include "AudioAnalysis.h"
#include "JackRig.h"
#include "TestSupport.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midiout/SynthDriver.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/SettingsStore.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <thread>

using namespace rondo_test;
using rondo_test::JackMidiRecorder;

namespace {

const QString kSmallFont = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");
constexpr size_t kBeatFrames = 22050;  // a quarter at 120 BPM

struct Outcome
{
    int exitCode = -1;
    QByteArray out, err;
    qint64 ms = 0;
};

class PlayTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(settings.Open(QString(), QStringLiteral("Quillon Software/Rondo")));
        // Claves on every beat at 120 BPM, loud on beats 1 and 3 and soft
        // on 2 and 4: each hit can be told from its neighbours.
        CVirtualMidiOut noDevices;
        CRondoDoc doc(settings, noDevices);
        CHeadlessView view(doc);
        doc.SetView(&view);
        doc.ResetLoop();
        doc.m_nBPM = 120;
        doc.m_voices[0].byPitch = doc.m_voices[1].byPitch = 75;
        doc.m_voices[0].byVelocity = 127;
        doc.m_voices[1].byVelocity = 45;
        doc.m_cells[0][0] = doc.m_cells[0][8] = 1;
        doc.m_cells[1][4] = doc.m_cells[1][12] = 1;
        ASSERT_TRUE(doc.SaveLoopTo(Path("claves.rlf")));
        env = QProcessEnvironment::systemEnvironment();
        // Nothing of the machine's own sound servers: no PulseAudio, and
        // no JACK server unless a test starts one.
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + Path("no-pulse"));
        env.insert(QStringLiteral("JACK_DEFAULT_SERVER"), QStringLiteral("rondo-test-none"));
        env.insert(QStringLiteral("JACK_NO_START_SERVER"), QStringLiteral("1"));
    }

    QString Path(const QString& name) const { return files.path() + "/" + name; }

    // A home whose ALSA default device is `pcm`.
    void UseAlsaDefault(const QString& pcm)
    {
        ASSERT_TRUE(WriteFile(Path(".asoundrc"), ("pcm.!default " + pcm + "\n").toUtf8()));
        env.insert(QStringLiteral("HOME"), files.path());
    }
    void CaptureAlsaDefault()
    {
        UseAlsaDefault(QStringLiteral("{ type file; slave.pcm \"null\"; file \"%1\"; format \"wav\" }")
                           .arg(Path("alsa.wav")));
    }
    void NoAlsaDevice() { UseAlsaDefault(QStringLiteral("{ type hw; card 31 }")); }

    Outcome Rondo(const QStringList& args, int timeoutMs = 30000, int signalAfterMs = -1, int nSignal = SIGTERM)
    {
        QProcess p;
        p.setProcessEnvironment(env);
        QElapsedTimer timer;
        timer.start();
        p.start(RONDO_BINARY, args);
        Outcome r;
        if (!p.waitForStarted(5000)) return r;
        if (signalAfterMs >= 0) {
            p.waitForFinished(signalAfterMs);
            if (p.state() == QProcess::Running) kill(pid_t(p.processId()), nSignal);
        }
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.ms = timer.elapsed();
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

    ScopedConfigDirs dirs;  // inherited by the child process
    QTemporaryDir files;
    CSettingsStore settings;
    QProcessEnvironment env;
};

// The claves' onsets with their loudness, every hit at least minGap after
// the last; the loud hits are ten times the soft ones.
struct Hits
{
    std::vector<size_t> at;
    std::vector<bool> loud;
};

Hits FindHits(const std::vector<float>& mono)
{
    Hits hits;
    const float peak = Peak(mono);
    if (peak <= 0.0f) return hits;
    hits.at = Onsets(mono, peak / 40, 4000);
    for (size_t onset : hits.at) hits.loud.push_back(Peak(mono, onset, onset + 2000) > peak / 3);
    return hits;
}

} // namespace

TEST_F(PlayTest, DefaultPreferencesSoundEveryHitThroughTheDefaultAlsaDevice)
{
    CaptureAlsaDefault();
    const Outcome r = Rondo({"--play", Path("claves.rlf"), "--loops", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();

    const Hits hits = FindHits(WavMono(ReadFile(Path("alsa.wav"))));
    // Two passes of four beats, in their order: loud, soft, loud, soft.
    ASSERT_EQ(hits.at.size(), 8u);
    for (size_t k = 0; k < hits.at.size(); ++k) {
        EXPECT_EQ(hits.loud[k], k % 2 == 0) << "hit " << k;
        // ALSA's null device takes audio as fast as it comes, so a refill
        // may come late; a hit is never early.
        if (k > 0) {
            EXPECT_GE(hits.at[k] - hits.at[k - 1] + 64, kBeatFrames) << "hit " << k;
        }
    }
}

TEST_F(PlayTest, ADeviceIsChosenByIdOrFullNameAndAnUnknownOneIsAnError)
{
    CaptureAlsaDefault();
    for (const char* device : {"-1", "Built-in Synthesizer"}) {
        QFile::remove(Path("alsa.wav"));
        const Outcome r = Rondo({"--play", Path("claves.rlf"), "--loops", "1", "--device", device});
        ASSERT_EQ(r.exitCode, 0) << device << ": " << r.err.toStdString();
        EXPECT_EQ(FindHits(WavMono(ReadFile(Path("alsa.wav")))).at.size(), 4u) << device;
    }
    const Outcome r = Rondo({"--play", Path("claves.rlf"), "--device", "Studio Monitor"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.startsWith("rondo: there is no MIDI output device \"Studio Monitor\"")) << r.err.toStdString();
    EXPECT_EQ(Rondo({"--export", Path("claves.rlf"), Path("x.mid"), "--device", "0"}).exitCode, 64);
    EXPECT_EQ(Rondo({"--play"}).exitCode, 64);
}

TEST_F(PlayTest, WithoutAnyAudioOutputEveryDriverTriedIsNamedWithItsReason)
{
    NoAlsaDevice();
    settings.SetString("Synth", "SoundFont", kSmallFont);
    const Outcome r = Rondo({"--play", Path("claves.rlf"), "--loops", "1"});
    EXPECT_EQ(r.exitCode, 1);
    const QString err = QString::fromLocal8Bit(r.err);
    EXPECT_TRUE(err.startsWith(QStringLiteral("rondo: cannot play %1: The built-in synthesizer could not open an "
                                              "audio output.\nTried:\n")
                                   .arg(Path("claves.rlf"))))
        << r.err.toStdString();
    // Every driver that can play our callback, each on a line of its own.
    for (const QString& driver : SynthOptions::AudioDrivers()) {
        if (driver == QLatin1String("file")) continue;
        EXPECT_TRUE(err.contains(QLatin1Char('\n') + driver + QStringLiteral(": "))) << driver.toStdString();
    }
    EXPECT_TRUE(err.contains(QStringLiteral("\nalsa: Failed to open the \"default\" audio device\n"))) << r.err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("\njack: no JACK server is running.\n")));
    EXPECT_TRUE(err.contains(QStringLiteral("set AudioDriver in section [Synth]")));
    EXPECT_FALSE(err.contains(QStringLiteral("\n\n"))) << "one message, no blank lines";

    // A driver chosen by name says that it was that one.
    settings.SetString("Synth", "AudioDriver", "oss");
    const Outcome chosen = Rondo({"--play", Path("claves.rlf"), "--loops", "1"});
    EXPECT_EQ(chosen.exitCode, 1);
    EXPECT_TRUE(chosen.err.contains("could not open the audio output \"oss\": Device </dev/dsp> could not be opened"))
        << chosen.err.toStdString();
}

TEST_F(PlayTest, SigtermAndSigintStopAnEndlessPlayCleanly)
{
    // Paced in real time into a file, so that the play lasts.
    settings.SetString("Synth", "SoundFont", kSmallFont);
    settings.SetString("Synth", "AudioDriver", "file");
    settings.SetString("Synth", "AudioFile", Path("endless.wav"));
    for (const int nSignal : {SIGTERM, SIGINT}) {
        const Outcome r = Rondo({"--play", Path("claves.rlf")}, 10000, 2500, nSignal);
        ASSERT_EQ(r.exitCode, 0) << nSignal << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
        const Hits hits = FindHits(WavMono(ReadFile(Path("endless.wav"))));
        // A beat each half second for what is left of 2.5 s once the sound
        // font has loaded.
        EXPECT_GE(hits.at.size(), 2u);
        EXPECT_LE(hits.at.size(), 7u);
    }
}

TEST_F(PlayTest, TheJackDriverPlaysAsClientRondoOnTheGridInRealTime)
{
    JackServer server;
    ASSERT_TRUE(server.IsRunning()) << server.Error().toStdString();
    env = server.ClientEnvironment(env);
    settings.SetString("Synth", "SoundFont", kSmallFont);
    settings.SetString("Synth", "AudioDriver", "jack");
    JackAudioRecorder recorder(server);
    ASSERT_TRUE(recorder.IsOpen());

    bool bConnected = false, bAutoconnected = false;
    std::thread connect([&] {
        bConnected = recorder.ConnectWhenThere("Rondo:left", "Rondo:right", 10000);
        // Rondo connects its outputs right after its client becomes active.
        for (int i = 0; i < 300 && !bAutoconnected; ++i) {
            bAutoconnected = server.Connected("Rondo:left", "system:playback_1") &&
                             server.Connected("Rondo:right", "system:playback_2");
            if (!bAutoconnected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const Outcome r = Rondo({"--play", Path("claves.rlf"), "--loops", "3"});
    connect.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    ASSERT_TRUE(bConnected);
    EXPECT_TRUE(bAutoconnected) << "the outputs go to the system playback ports";
    EXPECT_GE(r.ms, 6000) << "three passes of two seconds, in real time";
    EXPECT_LT(r.ms, 6000 + 4000 + 3000);

    // The recording began a moment before Rondo's first hit, or just after.
    const Hits hits = FindHits(recorder.Mono());
    ASSERT_GE(hits.at.size(), 11u);
    ASSERT_LE(hits.at.size(), 12u);
    const size_t first = hits.at.size() == 12 ? 0 : 1;  // grid index of the first hit heard
    for (size_t k = 0; k < hits.at.size(); ++k) {
        const size_t beat = k + first;
        const long offset = long(hits.at[k] - hits.at[0]) - long((beat - first) * kBeatFrames);
        EXPECT_LE(std::labs(offset), 64) << "hit " << beat << " lies within one 64-frame block of the grid";
        EXPECT_EQ(hits.loud[k], beat % 2 == 0) << "hit " << beat;
    }
}

TEST_F(PlayTest, AutomaticFallsBackToARunningJackServerWhenAlsaCannotOpen)
{
    JackServer server;
    ASSERT_TRUE(server.IsRunning()) << server.Error().toStdString();
    env = server.ClientEnvironment(env);
    NoAlsaDevice();
    settings.SetString("Synth", "SoundFont", kSmallFont);
    JackAudioRecorder recorder(server);
    ASSERT_TRUE(recorder.IsOpen());
    bool bConnected = false;
    std::thread connect([&] { bConnected = recorder.ConnectWhenThere("Rondo:left", "Rondo:right", 10000); });
    const Outcome r = Rondo({"--play", Path("claves.rlf"), "--loops", "1"});
    connect.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_TRUE(bConnected);
    EXPECT_GE(FindHits(recorder.Mono()).at.size(), 3u);
}

TEST_F(PlayTest, AtAJackServersOwnRateTheGridKeepsItsTime)
{
    // A 48 kHz server: the synthesizer renders at its rate, and the beat
    // is 24000 of its frames.
    JackServer server(48000, 512);
    ASSERT_TRUE(server.IsRunning()) << server.Error().toStdString();
    env = server.ClientEnvironment(env);
    settings.SetString("Synth", "SoundFont", kSmallFont);
    settings.SetString("Synth", "AudioDriver", "jack");
    JackAudioRecorder recorder(server);
    ASSERT_TRUE(recorder.IsOpen());
    ASSERT_EQ(recorder.SampleRate(), 48000);
    bool bConnected = false;
    std::thread connect([&] { bConnected = recorder.ConnectWhenThere("Rondo:left", "Rondo:right", 10000); });
    const Outcome r = Rondo({"--play", Path("claves.rlf"), "--loops", "2"});
    connect.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_TRUE(bConnected);
    const Hits hits = FindHits(recorder.Mono());
    ASSERT_GE(hits.at.size(), 7u);
    for (size_t k = 1; k < hits.at.size(); ++k)
        EXPECT_LE(std::labs(long(hits.at[k] - hits.at[k - 1]) - 24000), 64) << "hit " << k;
}

TEST_F(PlayTest, PlaysIntoAJackMidiInputWithEveryNoteAtItsExactFrame)
{
    JackServer server(44100, 1024);
    ASSERT_TRUE(server.IsRunning()) << server.Error().toStdString();
    env = server.ClientEnvironment(env);
    const Outcome listed = Rondo({"--list-devices"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    EXPECT_EQ(listed.out, QByteArray("*  -1  Built-in Synthesizer\n    0  JACK MIDI\n"));

    JackMidiRecorder recorder(server);
    ASSERT_TRUE(recorder.IsOpen());
    bool bConnected = false;
    std::thread connect([&] { bConnected = recorder.ConnectFrom("Rondo:midi_out", 10000); });
    const Outcome r = Rondo({"--play", Path("claves.rlf"), "--device", "JACK MIDI", "--loops", "2"});
    connect.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_TRUE(bConnected);
    // The client opens its port before the first Start: every beat arrives,
    // each on the quarter-note grid of the exact frames.
    const std::vector<JackMidiRecorder::Event> ons = recorder.NoteOns();
    ASSERT_EQ(ons.size(), 8u);
    for (size_t k = 0; k < ons.size(); ++k) {
        EXPECT_EQ(ons[k].frame - ons[0].frame, int64_t(k * kBeatFrames)) << "beat " << k;
        EXPECT_EQ(ons[k].bytes[2], k % 2 == 0 ? 127 : 45) << "beat " << k;
    }
}
