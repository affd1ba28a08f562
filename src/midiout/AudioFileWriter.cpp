#include "midiout/AudioFileWriter.h"

#include <sndfile.h>

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace {

// WAV's sizes are 32 bits and count from byte 8.
constexpr uint64_t kMaxWavDataBytes = 0xFFFFFFFFull - 36;

int SndFileFormat(AudioFormat format)
{
    switch (format) {
    case AudioFormat::Wav16: return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    case AudioFormat::Wav24: return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    case AudioFormat::Flac: return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    }
    return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
}

} // namespace

CAudioFileWriter::~CAudioFileWriter()
{
    Discard();
}

std::optional<AudioFormat> CAudioFileWriter::FormatFromName(const QString& name)
{
    for (const AudioFormat format : {AudioFormat::Wav16, AudioFormat::Wav24, AudioFormat::Flac}) {
        if (name.compare(FormatName(format), Qt::CaseInsensitive) == 0) return format;
    }
    return std::nullopt;
}

QString CAudioFileWriter::FormatName(AudioFormat format)
{
    switch (format) {
    case AudioFormat::Wav16: return QStringLiteral("wav16");
    case AudioFormat::Wav24: return QStringLiteral("wav24");
    case AudioFormat::Flac: return QStringLiteral("flac");
    }
    return QString();
}

AudioFormat CAudioFileWriter::FormatForPath(const QString& path)
{
    return QFileInfo(path).suffix().compare(QStringLiteral("flac"), Qt::CaseInsensitive) == 0 ? AudioFormat::Flac
                                                                                               : AudioFormat::Wav16;
}

QString CAudioFileWriter::Extension(AudioFormat format)
{
    return format == AudioFormat::Flac ? QStringLiteral("flac") : QStringLiteral("wav");
}

int16_t CAudioFileWriter::ToPcm16(float sample)
{
    // NaN would survive the clamp; it reads as silence.
    if (!(sample == sample)) return 0;
    return int16_t(std::lround(std::clamp(sample, -1.0f, 1.0f) * 32767.0f));
}

int32_t CAudioFileWriter::ToPcm24(float sample)
{
    if (!(sample == sample)) return 0;
    // libsndfile takes 32-bit values and keeps their top 24 bits.
    return int32_t(std::lround(std::clamp(double(sample), -1.0, 1.0) * 8388607.0)) * 256;
}

bool CAudioFileWriter::Fail(const QString& reason)
{
    if (!m_bFailed) m_error = reason;
    m_bFailed = true;
    return false;
}

bool CAudioFileWriter::Open(const QString& path, int sampleRate, AudioFormat format)
{
    Discard();
    m_format = format;
    m_nFrames = 0;
    m_bFailed = false;
    m_error.clear();
    // A header is filled in last: a regular file only.
    if (!m_file.Open(path, files::Target::FileOnly)) return false;
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = kChannels;
    info.format = SndFileFormat(format);
    m_pFile = sf_open_fd(m_file.Descriptor(), SFM_WRITE, &info, SF_FALSE);
    if (m_pFile == nullptr) {
        const QString reason = QString::fromUtf8(sf_strerror(nullptr));
        m_file.Discard();
        m_error = reason;
        return false;
    }
    return true;
}

bool CAudioFileWriter::Append(const float* left, const float* right, int nFrames)
{
    if (m_pFile == nullptr || m_bFailed || nFrames < 0) return false;
    const uint64_t bytesPerFrame = m_format == AudioFormat::Wav16 ? 4 : 6;
    if (m_format != AudioFormat::Flac && (m_nFrames + uint64_t(nFrames)) * bytesPerFrame > kMaxWavDataBytes)
        return Fail(QStringLiteral("A WAV file holds at most 4 GiB."));
    sf_count_t written = 0;
    if (m_format == AudioFormat::Wav16) {
        m_pcm16.resize(size_t(nFrames) * kChannels);
        for (int i = 0; i < nFrames; ++i) {
            m_pcm16[size_t(2 * i)] = ToPcm16(left[i]);
            m_pcm16[size_t(2 * i + 1)] = ToPcm16(right[i]);
        }
        written = sf_writef_short(m_pFile, m_pcm16.data(), nFrames);
    } else {
        m_pcm24.resize(size_t(nFrames) * kChannels);
        for (int i = 0; i < nFrames; ++i) {
            m_pcm24[size_t(2 * i)] = ToPcm24(left[i]);
            m_pcm24[size_t(2 * i + 1)] = ToPcm24(right[i]);
        }
        written = sf_writef_int(m_pFile, m_pcm24.data(), nFrames);
    }
    if (written != nFrames) return Fail(QString::fromUtf8(sf_strerror(m_pFile)));
    m_nFrames += uint64_t(nFrames);
    return true;
}

bool CAudioFileWriter::Close()
{
    if (m_pFile == nullptr) return false;
    // Completes the header (and FLAC's stream information) in place.
    const int err = sf_error(m_pFile);
    const QString reason = QString::fromUtf8(sf_strerror(m_pFile));
    const int closeErr = sf_close(m_pFile);
    m_pFile = nullptr;
    if (err != SF_ERR_NO_ERROR) Fail(reason);
    if (closeErr != SF_ERR_NO_ERROR) Fail(QString::fromUtf8(sf_error_number(closeErr)));
    if (m_bFailed) {
        m_file.Discard();
        return false;
    }
    return m_file.Commit();
}

void CAudioFileWriter::Discard()
{
    if (m_pFile) sf_close(m_pFile);
    m_pFile = nullptr;
    m_file.Discard();
}
