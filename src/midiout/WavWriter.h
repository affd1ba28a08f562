#pragma once

#include "settings/SafeFile.h"

#include <QString>

#include <cstdint>
#include <vector>

// Writes 16-bit stereo PCM WAV files as the audio comes, block by block,
// into a temporary file beside the target. Close fills in the header's sizes
// and puts the file in the target's place; until then, and after any
// failure, the target is as it was.
class CWavWriter
{
public:
    static constexpr int kHeaderSize = 44;
    static constexpr int kChannels = 2;
    static constexpr int kBytesPerFrame = kChannels * 2;

    CWavWriter() = default;
    // A file never closed is discarded.
    ~CWavWriter() = default;
    CWavWriter(const CWavWriter&) = delete;
    CWavWriter& operator=(const CWavWriter&) = delete;

    // Starts the file; the target must be a regular file or not exist (the
    // header is completed last). False with ErrorString() on failure.
    bool Open(const QString& path, int sampleRate);
    // Appends nFrames, clipped to full scale. False once the file cannot
    // take them (write error, or the 4 GiB limit of the format).
    bool Append(const float* left, const float* right, int nFrames);
    // Writes the final sizes into the header and puts the file in place.
    // True when it was open and everything reached the disk.
    bool Close();
    // Gives the file up: the target stays as it was.
    void Discard() { m_file.Discard(); }

    bool IsOpen() const { return m_file.IsOpen(); }
    uint32_t Frames() const { return m_nFrames; }
    QString ErrorString() const { return m_file.ErrorString(); }

    // The 44-byte header of a file holding nFrames.
    static void MakeHeader(uint8_t* pHeader, int sampleRate, uint32_t nFrames);
    // Full scale is +-32767; beyond it the sample clips.
    static int16_t ToPcm(float sample);

private:
    files::CSafeFile m_file;
    int m_sampleRate = 44100;
    uint32_t m_nFrames = 0;
    bool m_bFailed = false;
    std::vector<uint8_t> m_scratch;
};
