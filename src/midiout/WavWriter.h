#pragma once

#include <QFile>
#include <QString>

#include <cstdint>
#include <vector>

// Writes 16-bit stereo PCM WAV files as the audio comes, block by block. The
// header carries the sizes of what has been written once Close returns; a
// file cut short by a crash still opens, with sizes of zero.
class CWavWriter
{
public:
    static constexpr int kHeaderSize = 44;
    static constexpr int kChannels = 2;
    static constexpr int kBytesPerFrame = kChannels * 2;

    CWavWriter() = default;
    ~CWavWriter() { Close(); }
    CWavWriter(const CWavWriter&) = delete;
    CWavWriter& operator=(const CWavWriter&) = delete;

    // Creates (or truncates) the file. False with ErrorString() on failure.
    bool Open(const QString& path, int sampleRate);
    // Appends nFrames, clipped to full scale. False once the file cannot
    // take them (write error, or the 4 GiB limit of the format).
    bool Append(const float* left, const float* right, int nFrames);
    // Writes the final sizes into the header and closes the file. True when
    // it was open and everything reached the disk.
    bool Close();

    bool IsOpen() const { return m_file.isOpen(); }
    uint32_t Frames() const { return m_nFrames; }
    QString ErrorString() const { return m_file.errorString(); }

    // The 44-byte header of a file holding nFrames.
    static void MakeHeader(uint8_t* pHeader, int sampleRate, uint32_t nFrames);
    // Full scale is +-32767; beyond it the sample clips.
    static int16_t ToPcm(float sample);

private:
    QFile m_file;
    int m_sampleRate = 44100;
    uint32_t m_nFrames = 0;
    bool m_bFailed = false;
    std::vector<uint8_t> m_scratch;
};
