#pragma once

#include "midiout/MidiOut.h"

#include <cstdint>
#include <vector>

namespace rondo_test {

// A buffer of 12-byte stream records built in a test.
struct RecordBuffer
{
    std::vector<uint8_t> bytes;
    MidiHdr hdr;

    void Add(uint32_t delta, uint32_t event, std::vector<uint8_t> params = {})
    {
        for (uint32_t w : {delta, 0u, event})
            for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(w >> (8 * i)));
        for (uint8_t b : params) bytes.push_back(b);
        while (bytes.size() % 4) bytes.push_back(0);
    }
    MidiHdr* Header()
    {
        hdr.lpData = bytes.data();
        hdr.dwBufferLength = uint32_t(bytes.size());
        hdr.dwBytesRecorded = uint32_t(bytes.size());
        return &hdr;
    }
};

inline uint32_t NoteOn(int note, int velocity, int channel = 9)
{
    return uint32_t(0x90 | channel) | uint32_t(note) << 8 | uint32_t(velocity) << 16;
}

} // namespace rondo_test
