#pragma once

// The MIDI output service: device list, streams of timed short messages with
// buffers that come back through a callback, immediate messages, error codes.
// Every operation returns an error code, 0 for success; nothing throws.

#include <QString>

#include <cstdint>
#include <memory>
#include <string>

enum : int {
    MMSYSERR_NOERROR = 0,
    MMSYSERR_ERROR = 1,
    MMSYSERR_BADDEVICEID = 2,
    MMSYSERR_NOTENABLED = 3,
    MMSYSERR_ALLOCATED = 4,
    MMSYSERR_INVALHANDLE = 5,
    MMSYSERR_NODRIVER = 6,
    MMSYSERR_NOMEM = 7,
    MMSYSERR_INVALFLAG = 10,
    MMSYSERR_INVALPARAM = 11,
    MIDIERR_UNPREPARED = 64,
    MIDIERR_STILLPLAYING = 65,
    MIDIERR_NOTREADY = 67,
    MIDIERR_NODEVICE = 68,
};

// Device id of the built-in synthesizer, listed as "Built-in Synthesizer".
constexpr uint32_t MIDI_MAPPER = 0xFFFFFFFFu;

// Callback messages. MOM_LOCATE: a clock that follows another's position
// (a JACK transport) moved the stream; dwParam1 is the tick within the loop
// (see MIDIPROP_LOOP) the next buffers should continue at. Every buffer that
// was queued comes back with MOM_DONE right after it.
enum : unsigned { MOM_OPEN = 0x3C7, MOM_CLOSE = 0x3C8, MOM_DONE = 0x3C9, MOM_LOCATE = 0x3CA };

// Buffer header flags, kept by the service.
enum : uint32_t { MHDR_DONE = 0x1, MHDR_PREPARED = 0x2, MHDR_INQUEUE = 0x4 };

// Stream properties.
enum : uint32_t {
    MIDIPROP_SET = 0x80000000u,
    MIDIPROP_GET = 0x40000000u,
    MIDIPROP_TIMEDIV = 0x1,
    MIDIPROP_TEMPO = 0x2,
    // Ours: ticks between MIDI clocks (0xF8), 0 for none (MidiPropClock).
    MIDIPROP_CLOCK = 0x10,
    // Ours: ticks of one pass of the loop the client cycles (MidiPropLoop),
    // for clocks that place it on another's bar lines; 0 for none.
    MIDIPROP_LOOP = 0x20,
};
struct MidiPropTimeDiv
{
    uint32_t cbStruct = sizeof(MidiPropTimeDiv);
    uint32_t dwTimeDiv = 0;
};
struct MidiPropTempo
{
    uint32_t cbStruct = sizeof(MidiPropTempo);
    uint32_t dwTempo = 0;
};
struct MidiPropClock
{
    uint32_t cbStruct = sizeof(MidiPropClock);
    uint32_t dwTicksPerClock = 0;
};
struct MidiPropLoop
{
    uint32_t cbStruct = sizeof(MidiPropLoop);
    uint32_t dwLoopTicks = 0;
};

// Stream records: 12 bytes (delta ticks, stream id, event), little-endian.
// The event's top byte is its type; long events carry parameter bytes,
// padded to four.
enum : uint32_t {
    MEVT_SHORTMSG = 0x00,
    MEVT_TEMPO = 0x01,
    MEVT_NOP = 0x02,
    MEVT_F_LONG = 0x80000000u,
    MEVT_F_CALLBACK = 0x40000000u,
};
constexpr uint32_t kMidiEventSize = 12;

// Stream buffer header: a block of stream records handed to the service.
struct MidiHdr
{
    uint8_t* lpData = nullptr;
    uint32_t dwBufferLength = 0;
    uint32_t dwBytesRecorded = 0;
    uintptr_t dwUser = 0;
    uint32_t dwFlags = 0;
};

class CMidiStream;
using HMidiStream = CMidiStream*;

// Called on the stream's own callback thread, never on the clock's. It may
// queue buffers; it must not stop or close its stream.
using MidiStreamProc = void (*)(HMidiStream hStream, unsigned uMsg, void* pInstance, uintptr_t dwParam1,
                                uintptr_t dwParam2);

// What the service reports of one output device.
struct MidiOutCaps
{
    std::string szPname;  // device name, UTF-8
};

// The list of MIDI output devices. Device ids run 0..count-1; MIDI_MAPPER is
// the built-in synthesizer, which is always there and is not counted.
class IMidiOutDevices
{
public:
    virtual ~IMidiOutDevices() = default;
    virtual unsigned GetNumDevs() const = 0;
    // 0 on success; an error code leaves caps unspecified.
    virtual int GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const = 0;
};

class CMidiDriver;
class CSettingsStore;

// The devices and what plays on them: each open stream gets a driver, the
// clock that times its events and the device that sounds them.
class IMidiOutService : public IMidiOutDevices
{
public:
    // Creates the driver of a device. 0 or an error code (with its detail
    // recorded by midiout::SetErrorDetail).
    virtual int OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver) = 0;
    // The built-in synthesizer's preferences changed: the next open of
    // MIDI_MAPPER uses them.
    virtual void ApplySynthSettings(const CSettingsStore& settings) { (void)settings; }
    // The device the next Start opens: a device whose port others connect
    // to (JACK MIDI, the virtual ALSA port) keeps it while it is chosen.
    virtual void OnDeviceChosen(uint32_t uDeviceID) { (void)uDeviceID; }
};

namespace midiout {

int StreamOpen(IMidiOutService& service, HMidiStream* phStream, uint32_t* puDeviceID, uint32_t cMidi,
               MidiStreamProc pfnCallback, void* pInstance);
// Fails with MIDIERR_STILLPLAYING while buffers are queued.
int StreamClose(HMidiStream hStream);
// pPropData points at a MidiPropTimeDiv or MidiPropTempo.
int StreamProperty(HMidiStream hStream, void* pPropData, uint32_t dwProperty);
int PrepareHeader(HMidiStream hStream, MidiHdr* pHdr, uint32_t cbHdr);
int UnprepareHeader(HMidiStream hStream, MidiHdr* pHdr, uint32_t cbHdr);
// Plays the buffer after those already queued; it comes back with MOM_DONE.
int StreamOut(HMidiStream hStream, MidiHdr* pHdr, uint32_t cbHdr);
// Starts or resumes the paused stream.
int StreamRestart(HMidiStream hStream);
// Pauses at position 0 and returns every queued buffer through the callback
// before it returns.
int StreamStop(HMidiStream hStream);
// Turns off every sounding note on all sixteen channels.
int Reset(HMidiStream hStream);
// Sends one packed short message (status, data1 << 8, data2 << 16) at once.
int ShortMsg(HMidiStream hStream, uint32_t dwMsg);
// The tick of the last event the clock has handed to the device since the
// stream started (0 after a stop). Takes no lock and never waits.
int StreamPosition(HMidiStream hStream, uint64_t* pTicks);

// The text of an error code: the detail of the device's last failure of that
// code when one was recorded, else the code's own text.
QString GetErrorText(int nError);
// Its first paragraph: a sentence that stands alone, for a status line.
QString GetErrorSummary(int nError);
// The recorded detail alone, empty when none was recorded for nError.
QString GetErrorDetail(int nError);
// Records why a device operation failed with nError, for GetErrorText: a
// first paragraph that says what failed, then (after a blank line) why and
// what to change.
void SetErrorDetail(int nError, const QString& detail);

} // namespace midiout
