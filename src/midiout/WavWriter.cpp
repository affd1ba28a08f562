#include "midiout/WavWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// The data chunk's size field is 32 bits and counts from byte 44.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - (CWavWriter::kHeaderSize - 8);

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

} // namespace

void CWavWriter::MakeHeader(uint8_t* pHeader, int sampleRate, uint32_t nFrames)
{
    const uint32_t dataBytes = nFrames * uint32_t(kBytesPerFrame);
    std::memcpy(pHeader, "RIFF", 4);
    Put32(pHeader + 4, 36 + dataBytes);
    std::memcpy(pHeader + 8, "WAVEfmt ", 8);
    Put32(pHeader + 16, 16);  // size of the format chunk
    Put16(pHeader + 20, 1);   // PCM
    Put16(pHeader + 22, kChannels);
    Put32(pHeader + 24, uint32_t(sampleRate));
    Put32(pHeader + 28, uint32_t(sampleRate) * kBytesPerFrame);
    Put16(pHeader + 32, kBytesPerFrame);
    Put16(pHeader + 34, 16);  // bits per sample
    std::memcpy(pHeader + 36, "data", 4);
    Put32(pHeader + 40, dataBytes);
}

int16_t CWavWriter::ToPcm(float sample)
{
    // NaN would survive the clamp; it reads as silence.
    if (!(sample == sample)) return 0;
    return int16_t(std::lround(std::clamp(sample, -1.0f, 1.0f) * 32767.0f));
}

bool CWavWriter::Open(const QString& path, int sampleRate)
{
    m_file.Discard();
    m_sampleRate = sampleRate;
    m_nFrames = 0;
    m_bFailed = false;
    if (!m_file.Open(path, files::Target::FileOnly)) return false;
    uint8_t header[kHeaderSize];
    MakeHeader(header, m_sampleRate, 0);
    if (!m_file.Write(header, kHeaderSize)) {
        m_file.Discard();
        return false;
    }
    return true;
}

bool CWavWriter::Append(const float* left, const float* right, int nFrames)
{
    if (!m_file.IsOpen() || m_bFailed || nFrames < 0) return false;
    if ((uint64_t(m_nFrames) + uint64_t(nFrames)) * kBytesPerFrame > kMaxDataBytes) {
        m_bFailed = true;
        return false;
    }
    const size_t bytes = size_t(nFrames) * kBytesPerFrame;
    if (m_scratch.size() < bytes) m_scratch.resize(bytes);
    uint8_t* p = m_scratch.data();
    for (int i = 0; i < nFrames; ++i, p += kBytesPerFrame) {
        Put16(p, uint16_t(ToPcm(left[i])));
        Put16(p + 2, uint16_t(ToPcm(right[i])));
    }
    if (!m_file.Write(m_scratch.data(), bytes)) {
        m_bFailed = true;
        return false;
    }
    m_nFrames += uint32_t(nFrames);
    return true;
}

bool CWavWriter::Close()
{
    if (!m_file.IsOpen()) return false;
    if (m_bFailed) {
        m_file.Discard();
        return false;
    }
    uint8_t header[kHeaderSize];
    MakeHeader(header, m_sampleRate, m_nFrames);
    return m_file.WriteAt(0, header, kHeaderSize) && m_file.Commit();
}
