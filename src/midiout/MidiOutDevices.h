#pragma once

#include <QString>

#include <cstdint>
#include <string>

// Error codes of the MIDI output service: 0 is success.
enum : int {
    MMSYSERR_NOERROR = 0,
    MMSYSERR_BADDEVICEID = 2,
    MMSYSERR_INVALPARAM = 11,
};

// What the service reports of one output device.
struct MidiOutCaps
{
    std::string szPname;  // device name, UTF-8
};

// The list of MIDI output devices. Device ids run 0..count-1; -1 is the
// built-in synthesizer, which is always there and is not counted.
class IMidiOutDevices
{
public:
    virtual ~IMidiOutDevices() = default;
    virtual unsigned GetNumDevs() const = 0;
    // 0 on success; an error code leaves caps unspecified.
    virtual int GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const = 0;
};

// The devices this machine offers.
IMidiOutDevices& SystemMidiOutDevices();

// The text of an error code.
QString MidiOutErrorText(int nError);

// Stream buffer header: a block of 12-byte stream records handed to the
// output service.
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
