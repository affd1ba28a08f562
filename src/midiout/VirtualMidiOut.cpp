#include "midiout/VirtualMidiOut.h"

#include "midiout/MidiStream.h"

#include <algorithm>

CVirtualMidiDriver::CVirtualMidiDriver(CVirtualMidiOut* pService) : m_pService(pService)
{
}

CVirtualMidiDriver::~CVirtualMidiDriver()
{
    if (m_pService && m_pService->m_pOpen == this) {
        m_pService->m_pOpen = nullptr;
        m_pService->m_closedSent = std::move(m_sent);
    }
}

int CVirtualMidiDriver::Start(CMidiStream& stream)
{
    m_pStream = &stream;
    return MMSYSERR_NOERROR;
}

void CVirtualMidiDriver::Shutdown()
{
    // What was sent before the close still reaches the device.
    if (m_pStream) AdvanceTo(m_time);
    m_pStream = nullptr;
}

void CVirtualMidiDriver::AdvanceTo(int64_t t)
{
    if (!m_pStream) return;
    MidiDue due[256];
    int64_t begin = m_time;
    do {
        const int64_t end = std::max(begin, std::min(t, begin + std::max<int64_t>(m_period, 1)));
        size_t n;
        do {
            n = m_pStream->Collect(begin, end == begin ? end + 1 : end, due, std::size(due));
            for (size_t i = 0; i < n; ++i) {
                m_sendTime = std::max(due[i].time, begin);
                m_dispatcher.Dispatch(due[i].msg, *this);
            }
        } while (n == std::size(due));
        if (m_bWaitForCallbacks) m_pStream->WaitIdle();
        begin = end;
        m_time = end;
    } while (begin < t);
}

void CVirtualMidiDriver::Send(uint32_t msg)
{
    m_sent.push_back(Sent{m_sendTime, msg});
}

int CVirtualMidiOut::GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const
{
    if (nDevice >= m_names.size()) return MMSYSERR_BADDEVICEID;
    if (std::find(m_failingCaps.begin(), m_failingCaps.end(), nDevice) != m_failingCaps.end())
        return MMSYSERR_NODRIVER;
    caps.szPname = m_names[nDevice];
    return MMSYSERR_NOERROR;
}

int CVirtualMidiOut::OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver)
{
    if (uDeviceID != MIDI_MAPPER && uDeviceID >= m_names.size()) return MMSYSERR_BADDEVICEID;
    if (m_nOpenError != MMSYSERR_NOERROR) return m_nOpenError;
    if (m_pOpen) return MMSYSERR_ALLOCATED;
    auto clock = std::make_unique<CVirtualMidiDriver>(this);
    clock->m_nHealth = m_nDriverHealth;
    m_pOpen = clock.get();
    m_opened.push_back(uDeviceID);
    driver = std::move(clock);
    return MMSYSERR_NOERROR;
}
