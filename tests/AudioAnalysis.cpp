#include "AudioAnalysis.h"

#include <algorithm>
#include <cmath>

namespace rondo_test {

std::vector<float> WavMono(const QByteArray& wav, int* pnRate, int* pnChannels)
{
    const auto byte = [&](qsizetype at) { return quint32(quint8(wav.at(at))); };
    const auto u16 = [&](qsizetype at) { return quint16(byte(at) | byte(at + 1) << 8); };
    const auto u32 = [&](qsizetype at) { return quint32(u16(at)) | quint32(u16(at + 2)) << 16; };
    std::vector<float> mono;
    if (wav.size() < 12 || !wav.startsWith("RIFF") || wav.mid(8, 4) != "WAVE") return mono;
    int channels = 0, bits = 0;
    for (qsizetype at = 12; at + 8 <= wav.size();) {
        const QByteArray id = wav.mid(at, 4);
        const quint32 size = u32(at + 4);
        const qsizetype body = at + 8;
        if (id == "fmt " && body + 16 <= wav.size()) {
            if (u16(body) != 1) return mono;  // PCM only
            channels = u16(body + 2);
            if (pnRate) *pnRate = int(u32(body + 4));
            bits = u16(body + 14);
        } else if (id == "data") {
            if (channels <= 0 || bits != 16) return mono;
            const qsizetype end = size == 0 || body + qsizetype(size) > wav.size() ? wav.size() : body + qsizetype(size);
            const qsizetype frameBytes = 2 * channels;
            for (qsizetype f = body; f + frameBytes <= end; f += frameBytes) {
                float loudest = 0.0f;
                for (int c = 0; c < channels; ++c)
                    loudest = std::max(loudest, std::fabs(qint16(u16(f + 2 * c)) / 32768.0f));
                mono.push_back(loudest);
            }
            if (pnChannels) *pnChannels = channels;
            return mono;
        }
        at = body + qsizetype(size) + (size & 1);
    }
    return mono;
}

std::vector<size_t> Onsets(const std::vector<float>& mono, float threshold, size_t minGap)
{
    std::vector<size_t> onsets;
    size_t quiet = minGap;
    for (size_t i = 0; i < mono.size(); ++i) {
        if (mono[i] < threshold) {
            ++quiet;
            continue;
        }
        if (quiet >= minGap) onsets.push_back(i);
        quiet = 0;
    }
    return onsets;
}

float Peak(const std::vector<float>& mono, size_t from, size_t to)
{
    float peak = 0.0f;
    for (size_t i = from; i < std::min(to, mono.size()); ++i) peak = std::max(peak, mono[i]);
    return peak;
}

} // namespace rondo_test
