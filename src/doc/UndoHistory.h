#pragma once

#include "doc/LoopState.h"

#include <cstddef>
#include <deque>

// The loop's undo and redo: the state after every step, kept whole. A state
// is a small fixed record, so a copy per step is exact and simple; nothing
// has to know how to reverse an edit.
//
// State k is the loop after step k; state 0 is where the history began (a
// new or opened loop). The present is one of them, and so is the state last
// saved, while it can still be reached.
class CUndoHistory
{
public:
    static constexpr size_t kMaxSteps = 250;

    struct Step
    {
        const char* name = "";
        int nMergeKey = 0;
        // Rows shown before and after: only a step that changed them (Delete
        // Voice) shows or hides rows when it is undone or redone.
        int nRowsBefore = 0;
        int nRowsAfter = 0;
    };

    // A history of one state, which is also the saved one.
    void Reset(const LoopState& present);

    // A step from the present to after. Whatever could be redone is gone.
    // A step whose non-zero merge key is that of the step that led to the
    // present becomes part of it, unless the present is the saved state.
    void Push(const Step& step, const LoopState& after);

    bool CanUndo() const { return m_nPresent > 0; }
    bool CanRedo() const { return m_nPresent + 1 < m_states.size(); }
    // The step Undo would take back, or Redo would make again; null when none.
    const Step* UndoStep() const { return CanUndo() ? &m_steps[m_nPresent - 1] : nullptr; }
    const Step* RedoStep() const { return CanRedo() ? &m_steps[m_nPresent] : nullptr; }
    // Moves the present one step back or on; false when there is none.
    bool Undo();
    bool Redo();

    const LoopState& Present() const { return m_states[m_nPresent]; }
    size_t Steps() const { return m_steps.size(); }

    void MarkSaved() { m_nSaved = long(m_nPresent); }
    bool IsAtSaved() const { return m_nSaved == long(m_nPresent); }

private:
    std::deque<LoopState> m_states{LoopState{}};
    std::deque<Step> m_steps;  // step k leads from state k - 1 to state k
    size_t m_nPresent = 0;
    long m_nSaved = 0;  // -1: the saved state is no longer in the history
};
