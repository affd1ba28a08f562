#include "midiout/MidiDriver.h"

#include <alsa/asoundlib.h>

#include <mutex>

namespace {

void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...)
{
}

} // namespace

void SilenceAlsaConsole()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&IgnoreAlsaMessage); });
}

void CMidiDispatcher::Dispatch(uint32_t msg, IMidiSink& sink)
{
    if (msg == kMidiResetMessage) {
        for (uint32_t ch = 0; ch < 16; ++ch) {
            for (uint32_t note = 0; note < 128; ++note) {
                if (IsSounding(int(ch), int(note))) sink.Send(0x80u | ch | note << 8);
            }
            m_sounding[ch][0] = m_sounding[ch][1] = 0;
            sink.Send(0xB0u | ch | 64u << 8);   // sustain pedal up
            sink.Send(0xB0u | ch | 123u << 8);  // all notes off
        }
        return;
    }
    const uint32_t status = msg & 0xF0;
    const uint32_t ch = msg & 0x0F;
    const uint32_t data1 = (msg >> 8) & 0x7F;
    const uint32_t data2 = (msg >> 16) & 0x7F;
    uint64_t& word = m_sounding[ch][data1 >> 6];
    const uint64_t bit = uint64_t(1) << (data1 & 63);
    if (status == 0x90 && data2 != 0) {
        word |= bit;
    } else if (status == 0x80 || status == 0x90) {
        word &= ~bit;
    } else if (status == 0xB0 && (data1 == 120 || data1 == 123)) {
        m_sounding[ch][0] = m_sounding[ch][1] = 0;
    }
    sink.Send(msg);
}

bool CMidiDispatcher::IsSounding(int nChannel, int nNote) const
{
    return (m_sounding[nChannel & 15][(nNote >> 6) & 1] >> (nNote & 63)) & 1;
}
