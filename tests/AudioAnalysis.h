#pragma once

// Reading what the synthesizer played: WAV files and onsets of hits.

#include <QByteArray>

#include <cstddef>
#include <vector>

namespace rondo_test {

// The louder channel, frame by frame, of a 16-bit PCM WAV (full scale 1.0).
// A header whose sizes were never filled in (a file cut short, ALSA's file
// plugin) reads to the end of the file. Empty when it is not such a file.
std::vector<float> WavMono(const QByteArray& wav, int* pnRate = nullptr, int* pnChannels = nullptr);

// Frames where the sound rises to threshold after at least minGap frames
// below it.
std::vector<size_t> Onsets(const std::vector<float>& mono, float threshold, size_t minGap);

// The loudest frame in [from, to).
float Peak(const std::vector<float>& mono, size_t from = 0, size_t to = size_t(-1));

} // namespace rondo_test
