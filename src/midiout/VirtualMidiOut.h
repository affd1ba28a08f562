#pragma once

#include "midiout/MidiDriver.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CVirtualMidiOut;

// A clock that its owner advances by hand, sounding into a recording sink.
// Used by the tests; times are in nanoseconds.
class CVirtualMidiDriver final : public CMidiDriver, private IMidiSink
{
public:
    struct Sent
    {
        int64_t time;
        uint32_t msg;
    };

    explicit CVirtualMidiDriver(CVirtualMidiOut* pService = nullptr);
    ~CVirtualMidiDriver() override;

    int64_t UnitsPerSecond() const override { return 1000000000; }
    int Start(CMidiStream& stream) override;
    void Shutdown() override;
    int Health() const override { return m_nHealth.load(); }

    // Moves the clock on to t in periods of m_period. After each period it
    // waits for the callback thread, as if every refill came in time.
    void AdvanceTo(int64_t t);
    void AdvanceBy(int64_t d) { AdvanceTo(m_time + d); }
    int64_t Time() const { return m_time; }

    std::vector<Sent> m_sent;  // reserve before playing to keep the clock allocation-free
    int64_t m_period = 1000000;
    bool m_bWaitForCallbacks = true;
    std::atomic<int> m_nHealth{MMSYSERR_NOERROR};

private:
    void Send(uint32_t msg) override;

    CVirtualMidiOut* m_pService;
    CMidiStream* m_pStream = nullptr;
    CMidiDispatcher m_dispatcher;
    int64_t m_time = 0;
    int64_t m_sendTime = 0;
};

// Devices that exist only in memory: each open gets a virtual clock.
class CVirtualMidiOut final : public IMidiOutService
{
public:
    explicit CVirtualMidiOut(std::vector<std::string> names = {}) : m_names(std::move(names)) {}

    unsigned GetNumDevs() const override { return unsigned(m_names.size()); }
    int GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const override;
    int OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver) override;
    void ApplySynthSettings(const CSettingsStore&) override { ++m_nSynthSettingsApplied; }

    // The clock of the open stream, or null.
    CVirtualMidiDriver* Clock() const { return m_pOpen; }

    std::vector<std::string> m_names;
    std::vector<uint32_t> m_opened;      // device ids, one per open
    int m_nOpenError = MMSYSERR_NOERROR;  // makes the next opens fail
    int m_nDriverHealth = MMSYSERR_NOERROR;  // the health new clocks start with
    std::vector<unsigned> m_failingCaps;  // devices whose caps cannot be read
    std::vector<CVirtualMidiDriver::Sent> m_closedSent;  // what the last closed clock sent
    int m_nSynthSettingsApplied = 0;

private:
    friend class CVirtualMidiDriver;
    CVirtualMidiDriver* m_pOpen = nullptr;
};
