#pragma once

#include "midiout/MidiOut.h"

#include <cstddef>
#include <cstdint>

// One message handed from a stream to its clock: when it is due, in the
// clock's units, and what it is.
struct MidiDue
{
    int64_t time = 0;
    uint32_t msg = 0;  // packed short message, or kMidiResetMessage
};

// Not a MIDI message (no status byte has its top bits in bytes 1..3): asks
// the device to turn off every sounding note.
constexpr uint32_t kMidiResetMessage = 0xFFFFFFFFu;

// The device end of a driver: where its messages are sounded. Called on the
// clock's thread only.
class IMidiSink
{
public:
    virtual ~IMidiSink() = default;
    virtual void Send(uint32_t msg) = 0;
};

// Hands messages to a sink, keeping track of sounding notes so that a reset
// turns off exactly those, then lifts the sustain pedal and sends All Notes
// Off on every channel. No allocation.
class CMidiDispatcher
{
public:
    void Dispatch(uint32_t msg, IMidiSink& sink);
    bool IsSounding(int nChannel, int nNote) const;

private:
    uint64_t m_sounding[16][2]{};
};

// A driver: the clock that times one open stream and the device behind it.
// The stream owns its driver from the open to the close.
class CMidiDriver
{
public:
    virtual ~CMidiDriver() = default;

    // Units of the clock's time per second: frames for an audio clock,
    // nanoseconds for the real-time clocks.
    virtual int64_t UnitsPerSecond() const = 0;
    // Starts the clock for the stream that now owns the driver; from here it
    // may call CMidiStream::Collect. 0 or an error code.
    virtual int Start(CMidiStream& stream) = 0;
    // Stops the clock: when it returns, the driver no longer calls the stream.
    virtual void Shutdown() = 0;
    // The clock's present time. A clock that runs in periods is at the end
    // of what it has collected; a real-time clock reads its time source.
    virtual int64_t Now(int64_t tCollected) const { return tCollected; }
    // Non-zero when the device can no longer play: the error code that
    // queueing and restarting then return.
    virtual int Health() const { return MMSYSERR_NOERROR; }
    // A buffer queued while the stream is paused, before the clock can play
    // it: the device may get ready for what it holds. On the client's thread.
    virtual void PrepareBuffer(const MidiHdr& hdr) { (void)hdr; }
};

// Calls f(msg) for every short message of the stream records in hdr, in
// order; a record cut off by the end of the buffer ends it.
template <typename F>
void ForEachShortMessage(const MidiHdr& hdr, F&& f)
{
    const auto word = [&hdr](uint64_t at) {
        const uint8_t* p = hdr.lpData + at;
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    const uint64_t end = hdr.lpData ? hdr.dwBytesRecorded : 0;
    for (uint64_t at = 0; at + kMidiEventSize <= end;) {
        const uint32_t event = word(at + 8);
        uint64_t size = kMidiEventSize;
        if (event & MEVT_F_LONG) size += ((event & 0x00FFFFFFu) + 3u) & ~3u;
        if (at + size > end) return;
        if (((event >> 24) & ~(MEVT_F_CALLBACK >> 24)) == MEVT_SHORTMSG) f(event & 0x00FFFFFFu);
        at += size;
    }
}

// ALSA prints its errors on the console on its own (a missing sound card or
// sequencer); the drivers return them as error codes instead. Once per process.
void SilenceAlsaConsole();
