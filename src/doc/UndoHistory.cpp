#include "doc/UndoHistory.h"

void CUndoHistory::Reset(const LoopState& present)
{
    m_states.assign(1, present);
    m_steps.clear();
    m_nPresent = 0;
    m_nSaved = 0;
}

void CUndoHistory::Push(const Step& step, const LoopState& after)
{
    m_states.resize(m_nPresent + 1);
    m_steps.resize(m_nPresent);
    if (m_nSaved > long(m_nPresent)) m_nSaved = -1;

    if (step.nMergeKey != 0 && m_nPresent > 0 && m_steps[m_nPresent - 1].nMergeKey == step.nMergeKey &&
        !IsAtSaved()) {
        m_states[m_nPresent] = after;
        m_steps[m_nPresent - 1].nRowsAfter = step.nRowsAfter;
        return;
    }
    m_states.push_back(after);
    m_steps.push_back(step);
    ++m_nPresent;
    if (m_steps.size() > kMaxSteps) {
        m_states.pop_front();
        m_steps.pop_front();
        --m_nPresent;
        // Below zero, the saved state has dropped out of the history.
        if (m_nSaved >= 0) --m_nSaved;
    }
}

bool CUndoHistory::Undo()
{
    if (!CanUndo()) return false;
    --m_nPresent;
    return true;
}

bool CUndoHistory::Redo()
{
    if (!CanRedo()) return false;
    ++m_nPresent;
    return true;
}
