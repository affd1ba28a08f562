// Edits of single cells, the swing and the mixer, and the undo history that
// records every change of the loop.

#include "doc/RondoDoc.h"

#include <algorithm>
#include <cstring>

void CRondoDoc::SetCell(int nVoice, int nBeat, int32_t value)
{
    if (nVoice < 0 || nVoice >= kVoices || nBeat < 0 || nBeat >= kBeats) return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_cells[nVoice][nBeat] = value;
}

void CRondoDoc::SetSwing(int nSwing)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_nSwing = std::clamp(nSwing, int(swing::kStraight), int(swing::kMax));
}

void CRondoDoc::SetLoopTempo(int nBPM)
{
    // The refill writes the tempo it reads back under the same lock.
    std::lock_guard<std::mutex> guard(m_lock);
    m_nBPM = std::clamp(nBPM, kMinBPM, kMaxBPM);
}

void CRondoDoc::SetMuted(int nVoice, bool bMuted)
{
    if (nVoice < 0 || nVoice >= kVoices) return;
    std::lock_guard<std::mutex> guard(m_lock);
    const uint16_t bit = uint16_t(1u << nVoice);
    m_muted = bMuted ? uint16_t(m_muted | bit) : uint16_t(m_muted & ~bit);
}

void CRondoDoc::SetSolo(int nVoice, bool bSolo)
{
    if (nVoice < 0 || nVoice >= kVoices) return;
    std::lock_guard<std::mutex> guard(m_lock);
    const uint16_t bit = uint16_t(1u << nVoice);
    m_solo = bSolo ? uint16_t(m_solo | bit) : uint16_t(m_solo & ~bit);
}

LoopState CRondoDoc::CaptureState()
{
    LoopState state;
    std::lock_guard<std::mutex> guard(m_lock);
    std::memcpy(state.cells, m_cells, sizeof state.cells);
    std::copy(std::begin(m_voices), std::end(m_voices), state.voices);
    state.nBPM = m_nBPM;
    state.nSwing = m_nSwing;
    state.uDeviceID = m_uDeviceID;
    state.nChannel = m_nChannel;
    state.nInstrument = m_nInstrument;
    return state;
}

bool CRondoDoc::CommitEdit(const char* name, int nMergeKey, int nRowsBefore)
{
    if (m_nHistoryHold > 0) return false;
    const LoopState after = CaptureState();
    if (after == m_history.Present()) return false;
    const int rows = m_pView ? m_pView->VoicesShown() : kMinRows;
    m_history.Push(CUndoHistory::Step{name, nMergeKey, nRowsBefore >= 0 ? nRowsBefore : rows, rows}, after);
    AfterHistoryMove();
    return true;
}

bool CRondoDoc::Undo()
{
    const CUndoHistory::Step* pStep = m_history.UndoStep();
    if (pStep == nullptr) return false;
    const int rows = pStep->nRowsBefore != pStep->nRowsAfter ? pStep->nRowsBefore : -1;
    m_history.Undo();
    RestoreState(m_history.Present(), rows);
    AfterHistoryMove();
    return true;
}

bool CRondoDoc::Redo()
{
    const CUndoHistory::Step* pStep = m_history.RedoStep();
    if (pStep == nullptr) return false;
    const int rows = pStep->nRowsBefore != pStep->nRowsAfter ? pStep->nRowsAfter : -1;
    m_history.Redo();
    RestoreState(m_history.Present(), rows);
    AfterHistoryMove();
    return true;
}

void CRondoDoc::AfterHistoryMove()
{
    m_bDirty = !m_history.IsAtSaved();
    if (m_pView) m_pView->HistoryChanged();
}

void CRondoDoc::RestoreState(const LoopState& state, int nRows)
{
    ++m_nHistoryHold;
    // The device goes through the service, which keeps what the device needs.
    if (state.uDeviceID != m_uDeviceID) ChooseDevice(state.uDeviceID);
    if (m_pView && nRows >= 0) {
        // Rows first: hiding one clears its cells, which the state then sets.
        while (m_pView->VoicesShown() < std::min(nRows, int(kMaxRows))) m_pView->AddVoice();
        while (m_pView->VoicesShown() > std::max(nRows, int(kMinRows))) m_pView->DeleteVoice();
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::memcpy(m_cells, state.cells, sizeof m_cells);
        std::copy(std::begin(state.voices), std::end(state.voices), m_voices);
        m_nBPM = state.nBPM;
        m_nSwing = state.nSwing;
        m_nChannel = state.nChannel;
        m_byNoteOn = static_cast<uint8_t>(0x90 + m_nChannel);
        m_byProgChange = static_cast<uint8_t>(0xC0 + m_nChannel);
        m_nInstrument = state.nInstrument;
        CountUsedVoices();
    }
    if (m_pView) {
        // A row that holds a cell is always shown.
        while (m_pView->VoicesShown() < m_nUsedVoices) m_pView->AddVoice();
        m_pView->SetTempoPos(m_nBPM);
        m_pView->SetSwingPos(m_nSwing);
        m_pView->InvalidateView();
    }
    if (m_bPlaying) SetTempo(unsigned(m_nBPM));
    --m_nHistoryHold;
}
