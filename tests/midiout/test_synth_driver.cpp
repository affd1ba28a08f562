// The built-in synthesizer: what the drivers render and where, the errors of
// a missing sound font or audio device, and the WAV files they write.
#include "AudioAnalysis.h"
#include "TestSupport.h"

#include "midiout/MidiStream.h"
#include "midiout/SynthDriver.h"
#include "midiout/SystemMidiOut.h"
#include "midiout/AudioFileWriter.h"
#include <sndfile.h>
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <unistd.h>
#include <vector>

using rondo_test::Onsets;
using rondo_test::Peak;

namespace {

const QString kSmallFont = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");
constexpr int kRate = 44100;
constexpr uint32_t kHiHat = 0x99u | 42u << 8 | 100u << 16;  // closed hi-hat, channel 10
constexpr uint32_t kHiHatOff = 0x99u | 42u << 8;            // as a velocity-0 note-on

// Hands out the engine's offline or real-time driver as device MIDI_MAPPER.
class CSynthService final : public IMidiOutService
{
public:
    CSynthService(CSynthEngine& engine, bool bRealtime) : m_engine(engine), m_bRealtime(bRealtime) {}
    unsigned GetNumDevs() const override { return 0; }
    int GetDevCaps(unsigned, MidiOutCaps&) const override { return MMSYSERR_BADDEVICEID; }
    int OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver) override
    {
        if (uDeviceID != MIDI_MAPPER) return MMSYSERR_BADDEVICEID;
        return m_bRealtime ? m_engine.OpenRealtimeDriver(driver) : m_engine.OpenOfflineDriver(driver, &m_pOffline);
    }
    COfflineSynthDriver* m_pOffline = nullptr;

private:
    CSynthEngine& m_engine;
    bool m_bRealtime;
};

void AddRecord(std::vector<uint8_t>& buf, uint32_t delta, uint32_t event)
{
    for (uint32_t word : {delta, 0u, event})
        for (int i = 0; i < 4; ++i) buf.push_back(uint8_t(word >> (8 * i)));
}

// An open stream on the offline driver whose buffers, once played, go
// straight back into the queue, as a looping player refills them.
struct OfflineLoop
{
    CSynthService service;
    HMidiStream h = nullptr;
    std::vector<uint8_t> data[2];
    MidiHdr hdr[2];
    std::atomic<bool> bLooping{true};

    explicit OfflineLoop(CSynthEngine& engine) : service(engine, false) {}
    ~OfflineLoop() { Close(); }

    static void Callback(HMidiStream h, unsigned uMsg, void* pInstance, uintptr_t dwParam1, uintptr_t)
    {
        auto* self = static_cast<OfflineLoop*>(pInstance);
        if (uMsg == MOM_DONE && self->bLooping.load())
            midiout::StreamOut(h, reinterpret_cast<MidiHdr*>(dwParam1), sizeof(MidiHdr));
    }

    int Open()
    {
        uint32_t device = MIDI_MAPPER;
        return midiout::StreamOpen(service, &h, &device, 1, &OfflineLoop::Callback, this);
    }

    // Queues the bar twice (double buffering) and starts.
    void Play(const std::vector<uint8_t>& bar, uint32_t division, uint32_t tempo)
    {
        MidiPropTimeDiv div;
        div.dwTimeDiv = division;
        ASSERT_EQ(midiout::StreamProperty(h, &div, MIDIPROP_SET | MIDIPROP_TIMEDIV), MMSYSERR_NOERROR);
        MidiPropTempo tem;
        tem.dwTempo = tempo;
        ASSERT_EQ(midiout::StreamProperty(h, &tem, MIDIPROP_SET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
        for (int i = 0; i < 2; ++i) {
            data[i] = bar;
            hdr[i].lpData = data[i].data();
            hdr[i].dwBufferLength = hdr[i].dwBytesRecorded = uint32_t(bar.size());
            ASSERT_EQ(midiout::PrepareHeader(h, &hdr[i], sizeof(MidiHdr)), MMSYSERR_NOERROR);
            ASSERT_EQ(midiout::StreamOut(h, &hdr[i], sizeof(MidiHdr)), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(midiout::StreamRestart(h), MMSYSERR_NOERROR);
    }

    void Close()
    {
        if (h == nullptr) return;
        bLooping.store(false);
        midiout::StreamStop(h);
        for (MidiHdr& header : hdr)
            if (header.lpData) midiout::UnprepareHeader(h, &header, sizeof(MidiHdr));
        EXPECT_EQ(midiout::StreamClose(h), MMSYSERR_NOERROR);
        h = nullptr;
    }

    // Renders in blocks of varying size; returns the louder channel's
    // magnitude per frame.
    std::vector<float> Render(int total)
    {
        static constexpr int kBlocks[] = {64, 200, 512, 333, 97, 256};
        std::vector<float> mono;
        float left[512], right[512];
        for (int i = 0; int(mono.size()) < total; ++i) {
            const int n = std::min(kBlocks[i % std::size(kBlocks)], total - int(mono.size()));
            EXPECT_EQ(service.m_pOffline->Render(n, left, right), MMSYSERR_NOERROR);
            for (int k = 0; k < n; ++k) mono.push_back(std::max(std::fabs(left[k]), std::fabs(right[k])));
        }
        return mono;
    }
};

class SynthDriverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFileInfo(kSmallFont).isFile()) GTEST_SKIP() << "no " << kSmallFont.toStdString();
        m_options.soundFont = kSmallFont;
        m_options.gain = SynthOptions::kDefaultGain;
    }
    SynthOptions m_options;
};

TEST_F(SynthDriverTest, LoopedHitsLandWithin64FramesOfTheirGridTime)
{
    CSynthEngine engine(m_options);
    engine.PreloadAsync();
    ASSERT_EQ(engine.WaitReady(), MMSYSERR_NOERROR);

    // The hit alone: its attack up to the threshold. A voice's first note
    // starts a little later than the rest, so the second hit is measured;
    // it is sent at the start of FluidSynth's 139th block. The odd length
    // of the render leaves the next driver to realign.
    constexpr int kWarmUp = 64 * 138;
    float threshold = 0.0f;
    int64_t attack = 0;
    {
        OfflineLoop single(engine);
        ASSERT_EQ(single.Open(), MMSYSERR_NOERROR);
        ASSERT_EQ(midiout::ShortMsg(single.h, kHiHat), MMSYSERR_NOERROR);
        single.Render(kWarmUp);
        ASSERT_EQ(midiout::ShortMsg(single.h, kHiHat), MMSYSERR_NOERROR);
        const std::vector<float> mono = single.Render(kWarmUp + 100);
        threshold = 0.2f * Peak(mono, 0, mono.size());
        ASSERT_GT(threshold, 0.001f);
        const std::vector<size_t> onsets = Onsets(mono, threshold, 2000);
        ASSERT_EQ(onsets.size(), 1u);
        attack = int64_t(onsets[0]);
        EXPECT_LT(attack, 1000);
    }

    // The next driver starts on FluidSynth's block grid, whatever the last
    // one rendered: a hit at its frame 0 sounds exactly as early.
    {
        OfflineLoop next(engine);
        ASSERT_EQ(next.Open(), MMSYSERR_NOERROR);
        ASSERT_EQ(midiout::ShortMsg(next.h, kHiHat), MMSYSERR_NOERROR);
        const std::vector<size_t> onsets = Onsets(next.Render(kWarmUp + 100), threshold, 2000);
        ASSERT_EQ(onsets.size(), 1u);
        EXPECT_EQ(int64_t(onsets[0]), attack);
    }

    // One bar of eighths at about 130 BPM: 169.6 frames a tick, so the grid
    // falls between frames and between FluidSynth's 64-frame steps.
    constexpr uint32_t kDivision = 120;
    constexpr uint32_t kTempo = 461538;
    std::vector<uint8_t> bar;
    for (int i = 0; i < 8; ++i) {
        AddRecord(bar, i == 0 ? 0 : 30, kHiHat);
        AddRecord(bar, 30, kHiHatOff);
    }
    AddRecord(bar, 30, MEVT_NOP << 24);

    OfflineLoop loop(engine);
    ASSERT_EQ(loop.Open(), MMSYSERR_NOERROR);
    loop.Play(bar, kDivision, kTempo);
    constexpr int kBars = 6;
    const double barSeconds = 4.0 * kTempo / 1e6;
    const std::vector<float> mono = loop.Render(int((kBars * barSeconds + 0.1) * kRate));

    const std::vector<size_t> onsets = Onsets(mono, threshold, 2000);
    ASSERT_EQ(onsets.size(), size_t(kBars * 8 + 1));  // and the first hit of the next bar
    for (size_t k = 0; k < onsets.size(); ++k) {
        const int64_t grid = int64_t(k) * 60 * kTempo * kRate / (int64_t(kDivision) * 1000000);
        const int64_t late = int64_t(onsets[k]) - attack - grid;
        EXPECT_GE(late, -1) << "hit " << k;
        EXPECT_LE(late, 64) << "hit " << k;
    }
    EXPECT_EQ(loop.h->Underruns(), 0u);
}

TEST_F(SynthDriverTest, NotesStopOnVelocityZeroResetAndBeforeTheNextOpen)
{
    CSynthEngine engine(m_options);
    // A church organ sustains as long as its key is down.
    constexpr uint32_t kOrganProgram = 0xC0u | 19u << 8;
    constexpr uint32_t kOrganOn = 0x90u | 60u << 8 | 100u << 16;
    constexpr uint32_t kOrganZero = 0x90u | 60u << 8;
    auto sounding = [](const std::vector<float>& mono) { return Peak(mono, mono.size() - 4410, mono.size()); };
    {
        OfflineLoop loop(engine);
        ASSERT_EQ(loop.Open(), MMSYSERR_NOERROR);

        midiout::ShortMsg(loop.h, kOrganProgram);
        midiout::ShortMsg(loop.h, kOrganOn);
        EXPECT_GT(sounding(loop.Render(22050)), 0.01f);
        midiout::ShortMsg(loop.h, kOrganZero);
        EXPECT_LT(sounding(loop.Render(66150)), 0.001f) << "velocity 0 is a note-off";

        midiout::ShortMsg(loop.h, kOrganOn);
        EXPECT_GT(sounding(loop.Render(22050)), 0.01f);
        midiout::Reset(loop.h);
        EXPECT_LT(sounding(loop.Render(66150)), 0.001f) << "a reset turns off the sounding note";

        midiout::ShortMsg(loop.h, kOrganOn);
        EXPECT_GT(sounding(loop.Render(22050)), 0.01f);

        // One driver at a time.
        std::unique_ptr<CMidiDriver> other;
        COfflineSynthDriver* pOther = nullptr;
        EXPECT_EQ(engine.OpenOfflineDriver(other, &pOther), MMSYSERR_ALLOCATED);
        EXPECT_EQ(engine.OpenRealtimeDriver(other), MMSYSERR_ALLOCATED);
        EXPECT_EQ(other, nullptr);
        float tail[64];
        EXPECT_EQ(engine.RenderTail(64, tail, tail), MMSYSERR_ALLOCATED);
    }
    // Closed with the organ still held: it rings out after the close...
    std::vector<float> left(4410), right(4410);
    ASSERT_EQ(engine.RenderTail(4410, left.data(), right.data()), MMSYSERR_NOERROR);
    float ringing = 0.0f;
    for (float sample : left) ringing = std::max(ringing, std::fabs(sample));
    EXPECT_GT(ringing, 0.005f);
    // ...but the next open starts from silence.
    OfflineLoop next(engine);
    ASSERT_EQ(next.Open(), MMSYSERR_NOERROR);
    const std::vector<float> mono = next.Render(4410);
    EXPECT_LT(Peak(mono, 0, mono.size()), 0.001f) << "neither the organ nor its reverb";
}

TEST_F(SynthDriverTest, AKitChosenAtStartIsLoadedBeforeThePlayNeverWhileItPlays)
{
    CSynthEngine engine(m_options);
    OfflineLoop loop(engine);
    ASSERT_EQ(loop.Open(), MMSYSERR_NOERROR);
    // As Start queues it: a program change to the TR 808 kit first, then
    // its kick. Only the presets channels select hold samples, so the kit
    // is not in memory yet.
    std::vector<uint8_t> bar;
    AddRecord(bar, 0, 0xC9u | 25u << 8);
    AddRecord(bar, 0, 0x99u | 36u << 8 | 110u << 16);
    AddRecord(bar, 240, 0x99u | 36u << 8);
    AddRecord(bar, 240, MEVT_NOP << 24);
    const int64_t before = CSynthEngine::SoundFontReadsWhileRendering();
    loop.Play(bar, 120, 500000);
    const std::vector<float> mono = loop.Render(2 * kRate);
    EXPECT_EQ(CSynthEngine::SoundFontReadsWhileRendering(), before) << "the kit was loaded before the stream started";
    EXPECT_GT(Peak(mono, 0, mono.size()), 0.01f) << "and it sounds";

    // A program change nobody prepared loads its kit in the clock, at the
    // moment it plays: what the preparation spares the audio thread.
    ASSERT_EQ(midiout::ShortMsg(loop.h, 0xC9u | 48u << 8), MMSYSERR_NOERROR);
    ASSERT_EQ(midiout::ShortMsg(loop.h, 0x99u | 36u << 8 | 100u << 16), MMSYSERR_NOERROR);
    loop.Render(4410);
    EXPECT_GT(CSynthEngine::SoundFontReadsWhileRendering(), before);
}

TEST_F(SynthDriverTest, MissingOrBrokenSoundFontIsAnErrorNamingIt)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("missing.sf2"));
    const QString broken = dir.filePath(QStringLiteral("broken.sf2"));
    ASSERT_TRUE(rondo_test::WriteFile(broken, QByteArray("RIFF not really a sound font")));

    for (const QString& font : {missing, broken}) {
        SynthOptions options = m_options;
        options.soundFont = font;
        CSynthEngine engine(options);
        engine.PreloadAsync();
        const int err = engine.WaitReady();
        EXPECT_EQ(err, MMSYSERR_NODRIVER);
        const QString text = midiout::GetErrorText(err);
        EXPECT_TRUE(text.contains(font)) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("SoundFont"))) << text.toStdString();

        std::unique_ptr<CMidiDriver> driver;
        COfflineSynthDriver* pOffline = nullptr;
        EXPECT_EQ(engine.OpenOfflineDriver(driver, &pOffline), MMSYSERR_NODRIVER);
        EXPECT_EQ(engine.OpenRealtimeDriver(driver), MMSYSERR_NODRIVER);
        EXPECT_EQ(driver, nullptr);
    }
}

TEST_F(SynthDriverTest, AudioDeviceThatCannotOpenIsAnErrorAndFreesTheEngine)
{
    m_options.audioDriver = QStringLiteral("no-such-driver");
    CSynthEngine engine(m_options);
    std::unique_ptr<CMidiDriver> driver;
    const int err = engine.OpenRealtimeDriver(driver);
    EXPECT_EQ(err, MMSYSERR_NOTENABLED);
    EXPECT_EQ(driver, nullptr);
    const QString text = midiout::GetErrorText(err);
    EXPECT_TRUE(text.startsWith(QStringLiteral("The built-in synthesizer could not open the audio output "
                                               "\"no-such-driver\": Couldn't find the requested audio driver")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("set AudioDriver in section [Synth]"))) << text.toStdString();
    EXPECT_EQ(midiout::GetErrorSummary(err),
              QStringLiteral("The built-in synthesizer could not open the audio output \"no-such-driver\": "
                             "Couldn't find the requested audio driver 'no-such-driver'."));

    COfflineSynthDriver* pOffline = nullptr;
    EXPECT_EQ(engine.OpenOfflineDriver(driver, &pOffline), MMSYSERR_NOERROR);
    driver.reset();

    if (QFileInfo::exists(QStringLiteral("/dev/snd"))) GTEST_SKIP() << "this machine has sound";
    // FluidSynth's own choice on a machine without sound fails quietly:
    // nothing reaches the terminal from FluidSynth or ALSA.
    SynthOptions options = m_options;
    options.audioDriver.clear();
    CSynthEngine quiet(options);
    ASSERT_EQ(quiet.WaitReady(), MMSYSERR_NOERROR);
    QTemporaryDir dir;
    const QByteArray errPath = QFile::encodeName(dir.filePath(QStringLiteral("stderr")));
    std::fflush(stderr);
    const int saved = dup(2);
    FILE* capture = std::fopen(errPath.constData(), "w");
    ASSERT_NE(capture, nullptr);
    dup2(fileno(capture), 2);
    const int defaultErr = quiet.OpenRealtimeDriver(driver);
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::fclose(capture);
    EXPECT_EQ(defaultErr, MMSYSERR_NOTENABLED);
    // Automatic tried FluidSynth's own choice, then every other driver.
    const QString automatic = midiout::GetErrorText(defaultErr);
    EXPECT_TRUE(automatic.startsWith(QStringLiteral("The built-in synthesizer could not open an audio output.\n\n"
                                                    "Tried:\nalsa: ")))
        << automatic.toStdString();
    EXPECT_EQ(midiout::GetErrorSummary(defaultErr), QStringLiteral("The built-in synthesizer could not open an audio output."));
    for (const QString& name : SynthOptions::AudioDrivers()) {
        if (name == QLatin1String("file")) continue;
        EXPECT_TRUE(automatic.contains(QLatin1Char('\n') + name + QStringLiteral(": "))) << name.toStdString();
    }
    EXPECT_FALSE(automatic.contains(QStringLiteral("no reason")));
    EXPECT_EQ(rondo_test::ReadFile(QString::fromLocal8Bit(errPath)), QByteArray());
}

struct WavFile
{
    QByteArray bytes;
    uint32_t U32(int at) const
    {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(bytes[at + i]);
        return v;
    }
    uint16_t U16(int at) const { return uint16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8); }
    int16_t Sample(int frame, int channel) const { return int16_t(U16(44 + frame * 4 + channel * 2)); }

    // Checks the header of 16-bit stereo PCM at kRate; returns its frame count.
    uint32_t CheckHeader() const
    {
        EXPECT_GE(bytes.size(), 44);
        if (bytes.size() < 44) return 0;
        EXPECT_EQ(bytes.left(4), QByteArray("RIFF"));
        EXPECT_EQ(U32(4), uint32_t(bytes.size()) - 8);
        EXPECT_EQ(bytes.mid(8, 8), QByteArray("WAVEfmt "));
        EXPECT_EQ(U32(16), 16u);
        EXPECT_EQ(U16(20), 1u);
        EXPECT_EQ(U16(22), 2u);
        EXPECT_EQ(U32(24), uint32_t(kRate));
        EXPECT_EQ(U32(28), uint32_t(kRate) * 4);
        EXPECT_EQ(U16(32), 4u);
        EXPECT_EQ(U16(34), 16u);
        EXPECT_EQ(bytes.mid(36, 4), QByteArray("data"));
        EXPECT_EQ(U32(40), uint32_t(bytes.size()) - 44);
        return U32(40) / 4;
    }
};

TEST(AudioFileWriter, WavHeaderSizesAndClippedSamplesAsBefore)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.wav"));
    CAudioFileWriter writer;
    ASSERT_TRUE(writer.Open(path, kRate));
    const float left[] = {0.5f, -0.5f, 1.5f};
    const float right[] = {-2.0f, 0.0f, 1.0f};
    ASSERT_TRUE(writer.Append(left, right, 3));
    ASSERT_TRUE(writer.Append(right, left, 2));
    EXPECT_TRUE(writer.Close());

    // The plain 44-byte header and the samples it always had.
    const WavFile wav{rondo_test::ReadFile(path)};
    EXPECT_EQ(wav.bytes.size(), 44 + 5 * 4);
    EXPECT_EQ(wav.CheckHeader(), 5u);
    const int16_t expected[5][2] = {{16384, -32767}, {-16384, 0}, {32767, 32767}, {-32767, 16384}, {0, -16384}};
    for (int f = 0; f < 5; ++f) {
        EXPECT_EQ(wav.Sample(f, 0), expected[f][0]) << "frame " << f;
        EXPECT_EQ(wav.Sample(f, 1), expected[f][1]) << "frame " << f;
    }

    EXPECT_FALSE(writer.Open(dir.filePath(QStringLiteral("no/such/folder.wav")), kRate));
    EXPECT_FALSE(writer.Append(left, right, 1));
}

TEST(AudioFileWriter, TwentyFourBitWavAndFlacReadBackWithLibsndfile)
{
    QTemporaryDir dir;
    std::vector<float> left(5000), right(5000);
    for (size_t i = 0; i < left.size(); ++i) {
        left[i] = float(std::sin(double(i) * 0.01)) * 0.9f;
        right[i] = -left[i] * 0.5f;
    }
    for (const AudioFormat format : {AudioFormat::Wav24, AudioFormat::Flac}) {
        const QString path = dir.filePath(QStringLiteral("take.") + CAudioFileWriter::Extension(format));
        CAudioFileWriter writer;
        ASSERT_TRUE(writer.Open(path, kRate, format)) << writer.ErrorString().toStdString();
        for (size_t at = 0; at < left.size(); at += 1000) ASSERT_TRUE(writer.Append(&left[at], &right[at], 1000));
        ASSERT_TRUE(writer.Close()) << writer.ErrorString().toStdString();

        SF_INFO info{};
        SNDFILE* pFile = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
        ASSERT_NE(pFile, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.format, format == AudioFormat::Flac ? (SF_FORMAT_FLAC | SF_FORMAT_PCM_24)
                                                           : (SF_FORMAT_WAV | SF_FORMAT_PCM_24));
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.samplerate, kRate);
        ASSERT_EQ(info.frames, sf_count_t(left.size()));
        std::vector<int> samples(left.size() * 2);
        ASSERT_EQ(sf_readf_int(pFile, samples.data(), info.frames), info.frames);
        sf_close(pFile);
        // Every sample exactly as its 24 bits say.
        for (size_t i = 0; i < left.size(); ++i) {
            ASSERT_EQ(samples[2 * i], CAudioFileWriter::ToPcm24(left[i])) << i;
            ASSERT_EQ(samples[2 * i + 1], CAudioFileWriter::ToPcm24(right[i])) << i;
        }
    }
    EXPECT_EQ(CAudioFileWriter::FormatForPath(QStringLiteral("/x/take.FLAC")), AudioFormat::Flac);
    EXPECT_EQ(CAudioFileWriter::FormatForPath(QStringLiteral("/x/take.wav")), AudioFormat::Wav16);
    EXPECT_EQ(CAudioFileWriter::FormatFromName(QStringLiteral("wav24")), AudioFormat::Wav24);
    EXPECT_FALSE(CAudioFileWriter::FormatFromName(QStringLiteral("mp3")));
}

TEST_F(SynthDriverTest, FileDriverWritesWhatItPlayedInRealTime)
{
    QTemporaryDir dir;
    m_options.audioDriver = QStringLiteral("file");
    m_options.audioFile = dir.filePath(QStringLiteral("synth.wav"));
    CSynthEngine engine(m_options);
    ASSERT_EQ(engine.WaitReady(), MMSYSERR_NOERROR);
    CSynthService service(engine, true);

    using Clock = std::chrono::steady_clock;
    HMidiStream h = nullptr;
    uint32_t device = MIDI_MAPPER;
    const Clock::time_point opened = Clock::now();
    ASSERT_EQ(midiout::StreamOpen(service, &h, &device, 1, nullptr, nullptr), MMSYSERR_NOERROR);
    ASSERT_EQ(midiout::ShortMsg(h, kHiHat), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(midiout::StreamClose(h), MMSYSERR_NOERROR);
    const double ran = std::chrono::duration<double>(Clock::now() - opened).count();

    const WavFile wav{rondo_test::ReadFile(m_options.audioFile)};
    const uint32_t frames = wav.CheckHeader();
    EXPECT_NEAR(double(frames) / kRate, ran, 0.05 + 0.2 * ran);
    int16_t peak = 0;
    for (uint32_t f = 0; f < frames; ++f) peak = std::max<int16_t>(peak, int16_t(std::abs(wav.Sample(int(f), 0))));
    EXPECT_GT(peak, 100) << "the hit is in the file";

    // A file that cannot be created fails the open, and frees the engine.
    SynthOptions options = m_options;
    options.audioFile = dir.filePath(QStringLiteral("no/such/folder.wav"));
    CSynthEngine unwritable(options);
    std::unique_ptr<CMidiDriver> driver;
    const int err = unwritable.OpenRealtimeDriver(driver);
    EXPECT_EQ(err, MMSYSERR_NOTENABLED);
    EXPECT_TRUE(midiout::GetErrorText(err).contains(options.audioFile));
    COfflineSynthDriver* pOffline = nullptr;
    EXPECT_EQ(unwritable.OpenOfflineDriver(driver, &pOffline), MMSYSERR_NOERROR);
}

TEST(SynthOptions, ReadsTheSynthSectionWithDefaults)
{
    rondo_test::ScopedConfigDirs dirs;
    CSettingsStore settings;
    ASSERT_TRUE(settings.Open(dirs.ConfigHome(), QStringLiteral("Quillon Software/Rondo")));

    SynthOptions options = SynthOptions::FromSettings(settings);
    EXPECT_EQ(options.soundFont, SynthOptions::DefaultSoundFont());
    EXPECT_TRUE(options.audioDriver.isEmpty());
    EXPECT_EQ(options.gain, SynthOptions::kDefaultGain);
    EXPECT_EQ(QFileInfo(options.audioFile).fileName(), QStringLiteral("rondo-synth.wav"));
    EXPECT_EQ(options.sampleRate, kRate);

    settings.SetString(QStringLiteral("Synth"), QStringLiteral("SoundFont"), QStringLiteral("/x/kit.sf2"));
    settings.SetString(QStringLiteral("Synth"), QStringLiteral("AudioDriver"), QStringLiteral("file"));
    settings.SetString(QStringLiteral("Synth"), QStringLiteral("AudioFile"), QStringLiteral("/x/out.wav"));
    for (const auto& [text, gain] : {std::pair{"0.6", 0.6}, {" 1.25 ", 1.25}, {"loud", SynthOptions::kDefaultGain},
                                     {"0", SynthOptions::kDefaultGain}, {"11", SynthOptions::kDefaultGain}}) {
        settings.SetString(QStringLiteral("Synth"), QStringLiteral("Gain"), QString::fromLatin1(text));
        options = SynthOptions::FromSettings(settings);
        EXPECT_DOUBLE_EQ(options.gain, gain) << text;
    }
    EXPECT_EQ(options.soundFont, QStringLiteral("/x/kit.sf2"));
    EXPECT_EQ(options.audioDriver, QStringLiteral("file"));
    EXPECT_EQ(options.audioFile, QStringLiteral("/x/out.wav"));

    // The system's default kit when there is one.
    const QString font = SynthOptions::DefaultSoundFont();
    if (QFileInfo(QStringLiteral("/usr/share/sounds/sf2/default-GM.sf2")).isFile()) {
        EXPECT_EQ(font, QStringLiteral("/usr/share/sounds/sf2/default-GM.sf2"));
    }
    EXPECT_TRUE(font.endsWith(QStringLiteral(".sf2")));
}

} // namespace

TEST_F(SynthDriverTest, NewChoicesLoadInTheBackgroundAndTakeOverAtTheNextOpen)
{
    QTemporaryDir dir;
    m_options.audioDriver = QStringLiteral("file");
    m_options.audioFile = dir.filePath(QStringLiteral("first.wav"));
    CSystemMidiOut service(m_options);
    std::unique_ptr<CMidiDriver> driver;
    ASSERT_EQ(service.OpenDriver(MIDI_MAPPER, driver), MMSYSERR_NOERROR);
    CSynthEngine* pFirst = &service.Synth();

    SynthOptions next = m_options;
    next.audioFile = dir.filePath(QStringLiteral("next.wav"));
    next.gain = 0.5;
    service.SetSynthOptions(next);
    service.SetSynthOptions(next);  // the same again loads nothing more
    // The playing engine stays until its driver closes.
    EXPECT_EQ(&service.Synth(), pFirst);
    std::unique_ptr<CMidiDriver> second;
    EXPECT_EQ(service.OpenDriver(MIDI_MAPPER, second), MMSYSERR_ALLOCATED);
    driver.reset();

    ASSERT_EQ(service.OpenDriver(MIDI_MAPPER, driver), MMSYSERR_NOERROR);
    EXPECT_EQ(service.Synth().Options(), next);
    driver.reset();
    // The audio file takes its place, complete, when the driver closes.
    EXPECT_TRUE(QFileInfo::exists(next.audioFile));
    // Choices equal to those in use change nothing.
    CSynthEngine* pNext = &service.Synth();
    service.SetSynthOptions(next);
    ASSERT_EQ(service.OpenDriver(MIDI_MAPPER, driver), MMSYSERR_NOERROR);
    EXPECT_EQ(&service.Synth(), pNext);
}
