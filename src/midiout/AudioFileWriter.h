#pragma once

// Audio files as the synthesizer's renders are kept: WAV of 16 or 24 bits
// and FLAC, written through libsndfile as the audio comes, block by block,
// into a temporary file beside the target that takes its place only when
// complete.

#include "settings/SafeFile.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

struct sf_private_tag;

enum class AudioFormat { Wav16, Wav24, Flac };

class CAudioFileWriter
{
public:
    static constexpr int kChannels = 2;

    CAudioFileWriter() = default;
    // A file never closed is discarded.
    ~CAudioFileWriter();
    CAudioFileWriter(const CAudioFileWriter&) = delete;
    CAudioFileWriter& operator=(const CAudioFileWriter&) = delete;

    // Starts the file; the target must be a regular file or not exist.
    // False with ErrorString() on failure.
    bool Open(const QString& path, int sampleRate, AudioFormat format = AudioFormat::Wav16);
    // Appends nFrames, clipped to full scale. False once the file cannot
    // take them (a write error, or the 4 GiB limit of WAV).
    bool Append(const float* left, const float* right, int nFrames);
    // Completes the file and puts it in place of the target. True when it
    // was open and everything reached the disk.
    bool Close();
    // Gives the file up: the target stays as it was.
    void Discard();

    bool IsOpen() const { return m_pFile != nullptr; }
    uint64_t Frames() const { return m_nFrames; }
    QString ErrorString() const { return m_error.isEmpty() ? m_file.ErrorString() : m_error; }

    // "wav16", "wav24" or "flac" (as --format takes them); none for others.
    static std::optional<AudioFormat> FormatFromName(const QString& name);
    static QString FormatName(AudioFormat format);
    // What a file name asks for: .flac is FLAC, anything else 16-bit WAV.
    static AudioFormat FormatForPath(const QString& path);
    static QString Extension(AudioFormat format);
    // Full scale is +-32767 (16 bits) and +-8388607 (24 bits, in the top
    // three bytes of the value); beyond it the sample clips.
    static int16_t ToPcm16(float sample);
    static int32_t ToPcm24(float sample);

private:
    bool Fail(const QString& reason);

    files::CSafeFile m_file;
    sf_private_tag* m_pFile = nullptr;  // libsndfile's SNDFILE
    AudioFormat m_format = AudioFormat::Wav16;
    uint64_t m_nFrames = 0;
    bool m_bFailed = false;
    QString m_error;
    std::vector<int16_t> m_pcm16;
    std::vector<int32_t> m_pcm24;
};
