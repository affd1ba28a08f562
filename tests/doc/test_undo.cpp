#include "doc/DocFixture.h"
#include "doc/UndoHistory.h"

#include <cstring>
#include <functional>

namespace {

LoopState StateWithBpm(int bpm)
{
    LoopState s;
    s.nBPM = bpm;
    return s;
}

CUndoHistory::Step Named(const char* name, int key = 0) { return CUndoHistory::Step{name, key, 4, 4}; }

} // namespace

TEST(UndoHistory, KeepsTheLastStepsAndForgetsWhatCouldBeRedoneAfterANewStep)
{
    CUndoHistory h;
    h.Reset(StateWithBpm(0));
    EXPECT_FALSE(h.CanUndo());
    EXPECT_FALSE(h.CanRedo());
    for (int i = 1; i <= 300; ++i) h.Push(Named("Tempo"), StateWithBpm(i));
    EXPECT_EQ(h.Steps(), CUndoHistory::kMaxSteps);
    EXPECT_GE(CUndoHistory::kMaxSteps, 200u);
    // Back to the oldest state kept, and no further.
    size_t undone = 0;
    while (h.Undo()) ++undone;
    EXPECT_EQ(undone, CUndoHistory::kMaxSteps);
    EXPECT_EQ(h.Present().nBPM, 300 - int(CUndoHistory::kMaxSteps));
    // The saved state (the first) has dropped out: nothing is it any more.
    EXPECT_FALSE(h.IsAtSaved());

    ASSERT_TRUE(h.Redo());
    ASSERT_TRUE(h.Redo());
    EXPECT_EQ(h.Present().nBPM, 52);
    h.Push(Named("Swing"), StateWithBpm(1000));
    EXPECT_FALSE(h.CanRedo());
    EXPECT_STREQ(h.UndoStep()->name, "Swing");
    ASSERT_TRUE(h.Undo());
    EXPECT_EQ(h.Present().nBPM, 52);
    EXPECT_STREQ(h.RedoStep()->name, "Swing");
}

TEST(UndoHistory, StepsWithOneMergeKeyAreOneButNotAcrossTheSavedState)
{
    CUndoHistory h;
    h.Reset(StateWithBpm(0));
    h.Push(Named("Voice Name", 7), StateWithBpm(1));
    h.Push(Named("Voice Name", 7), StateWithBpm(2));
    h.Push(Named("Voice Name", 7), StateWithBpm(3));
    EXPECT_EQ(h.Steps(), 1u);
    EXPECT_EQ(h.Present().nBPM, 3);
    h.MarkSaved();
    h.Push(Named("Voice Name", 7), StateWithBpm(4));  // the saved state stays reachable
    EXPECT_EQ(h.Steps(), 2u);
    h.Push(Named("Voice Name", 8), StateWithBpm(5));  // another key
    h.Push(Named("Paint"), StateWithBpm(6));
    h.Push(Named("Paint"), StateWithBpm(7));  // key 0 never merges
    EXPECT_EQ(h.Steps(), 5u);
    ASSERT_TRUE(h.Undo() && h.Undo() && h.Undo() && h.Undo());
    EXPECT_TRUE(h.IsAtSaved());
    EXPECT_EQ(h.Present().nBPM, 3);
    // A new step where redo was possible: the saved state can no longer come back.
    ASSERT_TRUE(h.Undo());
    h.Push(Named("Tempo"), StateWithBpm(9));
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(h.IsAtSaved());
        h.Undo();
    }
}

class UndoTest : public DocTest
{
protected:
    void Paint(int v, int b, int32_t value)
    {
        doc->SetCell(v, b, value);
        EXPECT_TRUE(doc->CommitEdit("Paint"));
    }
    std::string UndoName() const { return doc->History().UndoStep() ? doc->History().UndoStep()->name : ""; }
    std::string RedoName() const { return doc->History().RedoStep() ? doc->History().RedoStep()->name : ""; }
};

TEST_F(UndoTest, EveryKindOfChangeUndoesAndRedoesExactly)
{
    // Each change as the window makes it, with the name the menu shows.
    struct Change
    {
        const char* name;
        std::function<void()> make;
    };
    while (view->m_nVoices < 6) view->AddVoice();
    view->m_nCurVoice = 2;
    const Change changes[] = {
        {"Paint", [&] { doc->SetCell(2, 0, cells::kOn); doc->SetCell(5, 3, cells::kOn); doc->CommitEdit("Paint"); }},
        {"Accent", [&] { doc->SetLevel(2, 0, CellLevel::Accent); doc->CommitEdit("Accent"); }},
        {"Rotate Right", [&] { doc->ShiftBeats(true); }},
        {"Rotate Left", [&] { doc->ShiftBeats(false); }},
        {"Delete Voice", [&] { view->DeleteVoice(); }},
        {"Pitch", [&] { doc->m_voices[2].byPitch = 42; doc->CommitEdit("Pitch"); }},
        {"Voice Name", [&] { std::strcpy(doc->m_voices[2].szName, "Hat"); doc->CommitEdit("Voice Name"); }},
        {"Tempo", [&] { doc->SetLoopTempo(137); doc->CommitEdit("Tempo"); }},
        {"Swing", [&] { doc->SetSwing(62); doc->CommitEdit("Swing"); }},
        {"MIDI Settings", [&] { doc->SetChannel(3); doc->m_nInstrument = 25; doc->CommitEdit("MIDI Settings"); }},
    };
    std::vector<LoopState> states{doc->CaptureState()};
    std::vector<int> rows{view->m_nVoices};
    for (const Change& c : changes) {
        c.make();
        EXPECT_EQ(UndoName(), c.name);
        EXPECT_NE(doc->CaptureState(), states.back()) << c.name;
        states.push_back(doc->CaptureState());
        rows.push_back(view->m_nVoices);
        EXPECT_TRUE(doc->m_bDirty);
    }
    EXPECT_EQ(rows[5], 5);  // Delete Voice hid the sixth row, which held a cell
    EXPECT_EQ(doc->m_byNoteOn, 0x93);

    for (size_t i = states.size() - 1; i > 0; --i) {
        EXPECT_EQ(UndoName(), changes[i - 1].name);
        ASSERT_TRUE(doc->Undo());
        EXPECT_EQ(doc->CaptureState(), states[i - 1]) << "undo " << changes[i - 1].name;
        EXPECT_EQ(view->m_nVoices, rows[i - 1]) << "undo " << changes[i - 1].name;
        EXPECT_EQ(RedoName(), changes[i - 1].name);
    }
    EXPECT_FALSE(doc->Undo());
    EXPECT_FALSE(doc->m_bDirty) << "back to the new loop";
    EXPECT_EQ(doc->m_byNoteOn, 0x99);
    EXPECT_EQ(view->m_nTempoPos, 100);

    for (size_t i = 1; i < states.size(); ++i) {
        ASSERT_TRUE(doc->Redo());
        EXPECT_EQ(doc->CaptureState(), states[i]) << "redo " << changes[i - 1].name;
        EXPECT_EQ(view->m_nVoices, rows[i]) << "redo " << changes[i - 1].name;
    }
    EXPECT_FALSE(doc->Redo());
    EXPECT_EQ(view->m_nTempoPos, 137);
    EXPECT_EQ(doc->m_byNoteOn, 0x93);
    EXPECT_EQ(doc->m_byProgChange, 0xC3);
}

TEST_F(UndoTest, UndoingBackToTheSavedLoopClearsTheModifiedMark)
{
    Paint(0, 0, cells::kOn);
    Paint(0, 1, cells::kOn);
    ASSERT_TRUE(doc->SaveLoopTo(TempPath("beat.rlf")));
    EXPECT_FALSE(doc->m_bDirty);
    Paint(0, 2, cells::kOn);
    EXPECT_TRUE(doc->m_bDirty);
    ASSERT_TRUE(doc->Undo());
    EXPECT_FALSE(doc->m_bDirty) << "the loop is the one on disk again";
    ASSERT_TRUE(doc->Undo());
    EXPECT_TRUE(doc->m_bDirty) << "before the save";
    ASSERT_TRUE(doc->Redo());
    EXPECT_FALSE(doc->m_bDirty);
    ASSERT_TRUE(doc->Redo());
    EXPECT_TRUE(doc->m_bDirty) << "past the save";

    // A change that changes nothing is no step.
    doc->SetCell(0, 2, cells::kOn);
    EXPECT_FALSE(doc->CommitEdit("Paint"));
    // Deleting an empty row changes no loop: no step, not modified.
    ASSERT_TRUE(doc->Undo());
    view->AddVoice();
    view->DeleteVoice();
    EXPECT_FALSE(doc->m_bDirty);
    EXPECT_EQ(UndoName(), "Paint");
    EXPECT_EQ(RedoName(), "Paint");
}

TEST_F(UndoTest, NewAndOpenStartAFreshHistory)
{
    Paint(1, 1, cells::kOn);
    ASSERT_TRUE(doc->SaveLoopTo(TempPath("one.rlf")));
    Paint(1, 2, cells::kAccent);
    ASSERT_TRUE(doc->Undo());
    EXPECT_TRUE(doc->History().CanRedo());

    EXPECT_EQ(doc->LoadLoopFrom(TempPath("one.rlf")), CRondoDoc::LoadResult::Loaded);
    EXPECT_FALSE(doc->History().CanUndo());
    EXPECT_FALSE(doc->History().CanRedo());
    EXPECT_TRUE(doc->IsCellOn(1, 1)) << "the loop opened is the first state";
    Paint(1, 3, cells::kOn);
    ASSERT_TRUE(doc->Undo());
    EXPECT_FALSE(doc->m_bDirty);
    EXPECT_FALSE(doc->Undo());

    Paint(1, 3, cells::kOn);
    view->m_onMessage = [](const QString&, IRondoView::MsgKind) { return IRondoView::MsgResult::No; };
    ASSERT_TRUE(doc->NewLoop());
    EXPECT_FALSE(doc->History().CanUndo());
    EXPECT_FALSE(doc->History().CanRedo());
    EXPECT_FALSE(doc->m_bDirty);
}

TEST_F(UndoTest, TwoHundredStepsComeBackAndTheFirstIsTheNewLoop)
{
    for (int i = 0; i < 200; ++i) Paint(i % 12, i % 16, doc->IsCellOn(i % 12, i % 16) ? cells::kOff : cells::kOn);
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(doc->Undo()) << i;
    EXPECT_FALSE(doc->History().CanUndo());
    for (int v = 0; v < 12; ++v)
        for (int b = 0; b < 16; ++b) EXPECT_FALSE(doc->IsCellOn(v, b));
    EXPECT_FALSE(doc->m_bDirty);
}

TEST_F(UndoTest, UndoWhilePlayingIsHeardWithinTwoSteps)
{
    constexpr int64_t kStep = 150000000;  // 100 BPM
    ASSERT_TRUE(doc->Play());
    CVirtualMidiDriver* clock = midiOut.Clock();
    ASSERT_NE(clock, nullptr);
    Paint(0, 8, cells::kAccent);
    clock->AdvanceTo(3 * kStep + 1000);  // step 3 plays, step 4 is queued
    ASSERT_TRUE(doc->Undo());
    ASSERT_TRUE(doc->Redo());
    ASSERT_TRUE(doc->Undo());  // step 8 is off again before its refill
    clock->AdvanceTo(16 * kStep + 1000);
    auto hitsOfVoice0 = [&] {
        int n = 0;
        for (const auto& sent : clock->m_sent)
            if ((sent.msg & 0xFFFF) == 0x3299 && (sent.msg >> 16) != 0) ++n;
        return n;
    };
    EXPECT_EQ(hitsOfVoice0(), 0);
    ASSERT_TRUE(doc->Redo());
    clock->AdvanceTo(32 * kStep + 1000);
    EXPECT_EQ(hitsOfVoice0(), 1);
    EXPECT_TRUE(doc->Stop());
}
