#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A small, strict Standard MIDI File reader for the tests: it knows nothing
// of how the program writes files and refuses anything malformed.
namespace smf {

struct Event
{
    uint32_t tick = 0;   // absolute
    uint8_t status = 0;  // running status resolved; 0xFF for meta events
    uint8_t metaType = 0;
    std::vector<uint8_t> data;
};

struct File
{
    int format = -1, tracks = -1, division = -1;
    std::vector<std::vector<Event>> trackEvents;
    std::string error;  // empty when the file parsed
};

inline File Parse(const std::vector<uint8_t>& b)
{
    File f;
    size_t p = 0;
    auto fail = [&](const std::string& e) { f.error = e + " at " + std::to_string(p); return f; };
    auto be = [&](size_t at, int n) { uint32_t v = 0; for (int i = 0; i < n; ++i) v = v << 8 | b[at + i]; return v; };
    if (b.size() < 14 || std::string(b.begin(), b.begin() + 4) != "MThd" || be(4, 4) != 6) return fail("header");
    f.format = static_cast<int>(be(8, 2));
    f.tracks = static_cast<int>(be(10, 2));
    f.division = static_cast<int>(be(12, 2));
    p = 14;
    while (p < b.size()) {
        if (p + 8 > b.size() || std::string(b.begin() + p, b.begin() + p + 4) != "MTrk") return fail("chunk");
        const size_t end = p + 8 + be(p + 4, 4);
        if (end > b.size()) return fail("track length");
        p += 8;
        std::vector<Event> events;
        uint32_t tick = 0;
        uint8_t running = 0;
        bool ended = false;
        while (p < end) {
            if (ended) return fail("event after end of track");
            uint32_t delta = 0;
            for (int i = 0;; ++i) {
                if (i == 4 || p >= end) return fail("delta");
                delta = delta << 7 | (b[p] & 0x7F);
                if (!(b[p++] & 0x80)) break;
            }
            tick += delta;
            Event e;
            e.tick = tick;
            if (p >= end) return fail("event");
            uint8_t status = b[p];
            if (status & 0x80) { ++p; } else if (running) { status = running; } else { return fail("running status"); }
            e.status = status;
            if (status == 0xFF) {
                if (p + 2 > end) return fail("meta");
                e.metaType = b[p++];
                const uint8_t len = b[p++];
                if (len & 0x80) return fail("meta length");
                if (p + len > end) return fail("meta data");
                e.data.assign(b.begin() + p, b.begin() + p + len);
                p += len;
                if (e.metaType == 0x2F) ended = true;
                running = 0;
            } else if (status >= 0x80 && status < 0xF0) {
                const size_t n = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
                if (p + n > end) return fail("channel data");
                for (size_t i = 0; i < n; ++i) {
                    if (b[p] & 0x80) return fail("data byte");
                    e.data.push_back(b[p++]);
                }
                running = status;
            } else {
                return fail("status");
            }
            events.push_back(e);
        }
        if (!ended) return fail("missing end of track");
        f.trackEvents.push_back(events);
    }
    if (static_cast<int>(f.trackEvents.size()) != f.tracks) return fail("track count");
    return f;
}

} // namespace smf
