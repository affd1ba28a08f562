// Playing the loop: the stream event buffers, their refill on the stream's
// callback thread, and the start, stop and tempo of the stream.

#include "doc/RondoDoc.h"

#include "midiout/MidiStream.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcMidiError)

namespace {

constexpr uint32_t kStreamBufferLength = 1024;
constexpr int kEventsPerStep = 24;

void PutRecord(uint8_t*& p, uint32_t delta, uint32_t event)
{
    const uint32_t words[3] = {delta, 0, event};
    for (uint32_t w : words) {
        p[0] = uint8_t(w);
        p[1] = uint8_t(w >> 8);
        p[2] = uint8_t(w >> 16);
        p[3] = uint8_t(w >> 24);
        p += 4;
    }
}

} // namespace

int CRondoDoc::FillBuffer(MidiHdr* pHdr, uint8_t* pEvents, bool bWithProgramChange)
{
    uint8_t* p = pEvents;
    if (bWithProgramChange) {
        // 00 PC NN: the image's own record before the first step, else the
        // same made anew (a step the transport located).
        if (m_pStreamPos == m_pNoteEvents - 3) {
            PutRecord(p, 0, uint32_t(m_pStreamPos[1]) | uint32_t(m_pStreamPos[2]) << 8);
            m_pStreamPos += 3;
        } else {
            PutRecord(p, 0, uint32_t(m_byProgChange) | uint32_t(uint8_t(m_nInstrument)) << 8);
        }
    }
    for (int i = 0; i < kEventsPerStep; ++i) {
        const uint8_t* e = m_pStreamPos;
        PutRecord(p, e[0], uint32_t(e[1]) | uint32_t(e[2]) << 8 | uint32_t(e[3]) << 16);
        m_pStreamPos += 4;
    }
    pHdr->lpData = pEvents;
    pHdr->dwBufferLength = kStreamBufferLength;
    pHdr->dwBytesRecorded = uint32_t(p - pEvents);
    return int(pHdr->dwBytesRecorded);
}

bool CRondoDoc::PlayFailed(int nError)
{
    m_strPlayError = midiout::GetErrorText(nError);
    m_strPlayErrorSummary = midiout::GetErrorSummary(nError);
    qCDebug(lcMidiError) << "Start:" << m_strPlayError;
    return false;
}

bool CRondoDoc::Play()
{
    m_strPlayError.clear();
    m_strPlayErrorSummary.clear();
    if (m_bPlaying) return true;  // already running: its buffers are in use
    BuildMidiFile(true);

    if (m_hStream == nullptr) {
        if (const int err = OpenStream()) return PlayFailed(err);
        if (const int err = SetTimeDivision()) return PlayFailed(err);
    } else {
        // Left open and paused by a failed Start: take back whatever it
        // still holds before the headers are filled again.
        m_nCallbackState = CALLBACK_DEAD;
        midiout::StreamStop(m_hStream);
    }
    if (const int err = QueueBuffers()) return PlayFailed(err);
    if (const int err = StartStream()) return PlayFailed(err);
    return true;
}

int CRondoDoc::OpenStream()
{
    if (m_hStream != nullptr) return MMSYSERR_ALLOCATED;
    return midiout::StreamOpen(m_midiOut, &m_hStream, &m_uDeviceID, 1, &CRondoDoc::MidiStreamProc, this);
}

int CRondoDoc::SetTimeDivision()
{
    if (m_hStream == nullptr) return MMSYSERR_INVALHANDLE;
    MidiPropTimeDiv prop;
    prop.dwTimeDiv = uint32_t(m_nDivision);
    if (const int err = midiout::StreamProperty(m_hStream, &prop, MIDIPROP_SET | MIDIPROP_TIMEDIV)) return err;
    // A clock that follows a transport places the loop on its bar lines.
    MidiPropLoop loop;
    loop.dwLoopTicks = kLoopTicks;
    if (const int err = midiout::StreamProperty(m_hStream, &loop, MIDIPROP_SET | MIDIPROP_LOOP)) return err;
    // 24 clocks a quarter for the devices that follow Rondo's tempo; the
    // built-in synthesizer has no use for them.
    MidiPropClock clock;
    clock.dwTicksPerClock = m_bClockOut && m_uDeviceID != MIDI_MAPPER ? uint32_t(m_nDivision) / 24 : 0;
    return midiout::StreamProperty(m_hStream, &clock, MIDIPROP_SET | MIDIPROP_CLOCK);
}

int CRondoDoc::QueueBuffers()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const bool bProgramChange = m_bProgChgStream;
        m_nStepsQueued = 2;
        m_nPlayheadOrigin = 0;
        m_nStepsPlayed = 0;
        m_pStreamPos = bProgramChange ? m_pNoteEvents - 3 : m_pNoteEvents;
        FillBuffer(&m_midiHdr[0], m_streamEvents[0], bProgramChange);
        m_midiHdr[0].dwUser = 0;
        FillBuffer(&m_midiHdr[1], m_streamEvents[1], false);
        m_midiHdr[1].dwUser = 1;
    }
    for (MidiHdr& hdr : m_midiHdr) {
        if (!m_bHeadersPrepared) {
            if (const int err = midiout::PrepareHeader(m_hStream, &hdr, sizeof hdr)) return err;
        }
        if (const int err = midiout::StreamOut(m_hStream, &hdr, sizeof hdr)) return err;
    }
    m_bHeadersPrepared = true;
    return MMSYSERR_NOERROR;
}

int CRondoDoc::StartStream()
{
    m_nCallbackState = CALLBACK_LIVE;
    // The slider's tempo goes in while the stream is still paused: set after
    // the restart, the loop's first moments would run at the old tempo.
    if (m_pView) SetStreamTempo(unsigned(m_pView->TempoPos()));
    if (const int err = midiout::StreamRestart(m_hStream)) return err;
    m_bPlaying = true;
    if (m_pView) m_pView->SetNoteReminderEnabled(true);
    return MMSYSERR_NOERROR;
}

void CRondoDoc::SetTempo(unsigned nBPM)
{
    if (m_bPlaying) SetStreamTempo(nBPM);
}

void CRondoDoc::SetStreamTempo(unsigned nBPM)
{
    if (nBPM == 0) return;
    MidiPropTempo prop;
    prop.dwTempo = kMicrosPerMinute / nBPM;
    if (midiout::StreamProperty(m_hStream, &prop, MIDIPROP_SET | MIDIPROP_TEMPO) == MMSYSERR_NOERROR)
        m_bReadTempo = true;
}

void CRondoDoc::MidiStreamProc(HMidiStream, unsigned uMsg, void* pInstance, uintptr_t dwParam1, uintptr_t)
{
    if (uMsg == MOM_DONE) static_cast<CRondoDoc*>(pInstance)->OnBufferDone(reinterpret_cast<MidiHdr*>(dwParam1));
    if (uMsg == MOM_LOCATE) static_cast<CRondoDoc*>(pInstance)->OnLocate(uint32_t(dwParam1));
}

void CRondoDoc::OnLocate(uint32_t nLoopTick)
{
    std::lock_guard<std::mutex> guard(m_lock);
    // The buffers that come back next are refilled from the step there,
    // with the program change again: what was queued never played.
    const int step = int(nLoopTick / m_nTicksPerStep) % kBeats;
    m_pStreamPos = m_pNoteEvents + step * kEventsPerStep * 4;
    // That step starts at the tick the stream stands on now: the playhead
    // counts the loop from there.
    uint64_t tick = 0;
    if (midiout::StreamPosition(m_hStream, &tick) == MMSYSERR_NOERROR)
        m_nPlayheadOrigin = int64_t(tick) - int64_t(step) * m_nTicksPerStep;
    m_bProgramChangeDue = m_bProgChgStream;
}

void CRondoDoc::OnBufferDone(MidiHdr* pHdr)
{
    switch (m_nCallbackState.load()) {
    case CALLBACK_DEAD:
        return;
    case CALLBACK_FAILED:
        // Stopping a stream from inside its own callback would wait for
        // itself: the UI thread ends playback.
        m_nCallbackState = CALLBACK_DEAD;
        if (m_pView) m_pView->PostPlaybackFailed();
        return;
    case KILL_CALLBACK:
        m_nCallbackState = CALLBACK_DEAD;
        return;
    default:
        m_nStepsPlayed.fetch_add(1);
        Refill(pHdr);
    }
}

void CRondoDoc::Refill(MidiHdr* pHdr)
{
    const uintptr_t slice = pHdr->dwUser;
    std::lock_guard<std::mutex> guard(m_lock);
    // A limited play lets the queue run dry after its last step.
    if (m_nStepLimit > 0 && m_nStepsQueued >= m_nStepLimit) return;
    ++m_nStepsQueued;
    // Edits made since the last refill are heard from this step on.
    WriteNoteEvents(true);
    FillBuffer(pHdr, m_streamEvents[slice & 1], m_bProgramChangeDue);
    m_bProgramChangeDue = false;
    pHdr->dwUser = (slice + 2) % kBeats;
    if (const int err = midiout::StreamOut(m_hStream, pHdr, sizeof *pHdr)) {
        m_nRefillError = err;
        m_nCallbackState = CALLBACK_FAILED;
    }
    if (m_pStreamPos >= m_pNoteEvents + kStreamBlockSize) m_pStreamPos = m_pNoteEvents;

    // Read back after a tempo change of ours, and whenever the device's
    // clock changed it (a JACK transport's master).
    MidiPropTempo prop;
    if (midiout::StreamProperty(m_hStream, &prop, MIDIPROP_GET | MIDIPROP_TEMPO) == MMSYSERR_NOERROR &&
        prop.dwTempo != 0) {
        const int nBPM = int(kMicrosPerMinute / prop.dwTempo);
        if (m_bReadTempo || nBPM != m_nBPM) {
            m_bReadTempo = false;
            m_nBPM = nBPM;
            if (m_pView) m_pView->PostBpmFromDevice(m_nBPM);
        }
    }
}

bool CRondoDoc::Stop()
{
    const int state = m_nCallbackState.load();
    if (!m_bPlaying || state == CALLBACK_DEAD || state == CALLBACK_FAILED) return true;
    return StopSequence();
}

bool CRondoDoc::StopSequence()
{
    m_bPlaying = false;
    if (m_pView) m_pView->SetNoteReminderEnabled(false);
    // Every buffer the stop hands back finds this already set.
    m_nCallbackState = KILL_CALLBACK;
    bool bOk = true;
    if (m_hStream) {
        if (const int err = midiout::StreamStop(m_hStream)) {
            qCDebug(lcMidiError) << "Stop:" << midiout::GetErrorText(err);
            bOk = false;
        } else if (const int err = midiout::Reset(m_hStream)) {
            qCDebug(lcMidiError) << "Reset:" << midiout::GetErrorText(err);
            bOk = false;
        }
    }
    UnprepareBuffers();
    if (m_hStream) {
        if (const int err = midiout::StreamClose(m_hStream)) {
            qCDebug(lcMidiError) << "Close:" << midiout::GetErrorText(err);
            bOk = false;
        }
        m_hStream = nullptr;
    }
    return bOk;
}

void CRondoDoc::UnprepareBuffers()
{
    if (!m_bHeadersPrepared) return;
    m_bHeadersPrepared = false;
    for (MidiHdr& hdr : m_midiHdr) midiout::UnprepareHeader(m_hStream, &hdr, sizeof hdr);
}

void CRondoDoc::OnPlaybackFailed()
{
    if (m_hStream == nullptr) return;
    CloseStream();
    // The device's own reason when it gave one (a JACK server gone, a port
    // that stopped taking messages).
    m_strPlayError = midiout::GetErrorDetail(m_nRefillError.exchange(MMSYSERR_NOERROR));
    if (m_strPlayError.isEmpty())
        m_strPlayError = QStringLiteral("Playback stopped: the MIDI output device did not take the next part of the loop.");
    m_strPlayErrorSummary = m_strPlayError.section(QStringLiteral("\n\n"), 0, 0);
}

void CRondoDoc::CloseStream()
{
    if (m_hStream) StopSequence();
}

int CRondoDoc::PlayPreviewNote(int nPitch)
{
    if (!m_bPlaying || m_hStream == nullptr) return MMSYSERR_INVALHANDLE;
    return midiout::ShortMsg(m_hStream, uint32_t(m_byNoteOn) | uint32_t(nPitch & 0x7F) << 8 | 100u << 16);
}

int CRondoDoc::PlayingStep() const
{
    uint64_t tick = 0;
    if (!m_bPlaying || midiout::StreamPosition(m_hStream, &tick) != MMSYSERR_NOERROR) return -1;
    // Every step lasts its ticks from the start of the stream (or from where
    // a transport relocated it), swung or not.
    const int64_t perStep = m_nTicksPerStep;
    const int64_t loop = perStep * kBeats;
    const int64_t inLoop = ((int64_t(tick) - m_nPlayheadOrigin.load()) % loop + loop) % loop;
    int step = int(inLoop / perStep);
    // A swung off-beat sounds once its late notes do; until then the step
    // before it still does.
    if (step % 2 == 1 && inLoop % perStep < swing::DelayTicks(m_nSwing, m_nTicksPerStep)) --step;
    return step;
}
