#include "app/AppFixture.h"
#include "settings/SettingsStore.h"
#include "sheet/PropSheet.h"
#include "view/ColorButton.h"
#include "view/Commands.h"
#include "view/GridButtons.h"

#include <QCheckBox>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <algorithm>
#include <cstring>

namespace {

// Counts the paints a widget receives.
class PaintCounter final : public QObject
{
public:
    explicit PaintCounter(QWidget* pWidget) { pWidget->installEventFilter(this); }
    int m_nPaints = 0;

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Paint) ++m_nPaints;
        return false;
    }
};

QColor FillOf(QWidget* pButton)
{
    const QImage image = pButton->grab().toImage();
    return image.pixelColor(2, image.height() - 3);
}

class SheetTest : public AppTest
{
protected:
    CPropSheetFrame* Open(int nCommand)
    {
        command(nCommand).trigger();
        QApplication::processEvents();
        return dynamic_cast<CPropSheetFrame*>(view().m_pSheetFrame);
    }
    CSettingsStore& settings() const { return doc().Settings(); }
    CNotesPage& notes(CPropSheetFrame* pSheet) const { return pSheet->m_pSheet->m_notesPage; }
};

// Sends the pointer over a control of the Notes page, as the mouse does.
void MoveOver(QWidget* pControl)
{
    const QPoint local(pControl->width() / 2, pControl->height() / 2);
    QMouseEvent move(QEvent::MouseMove, QPointF(local), QPointF(pControl->mapToGlobal(local)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(pControl, &move);
}

} // namespace

TEST_F(SheetTest, OpensOnTheRequestedPageAtTheStoredPositionAndRemembersWhereItWasLeft)
{
    settings().SetInt("Screen2", "x", 140);
    settings().SetInt("Screen2", "y", 90);
    const int pages[] = {ID_NOTES, ID_PREFERENCES, ID_MIDI};
    for (int page = 0; page < 3; ++page) {
        CPropSheetFrame* pSheet = Open(pages[page]);
        ASSERT_NE(pSheet, nullptr);
        EXPECT_TRUE(pSheet->isVisible());
        EXPECT_EQ(pSheet->windowTitle(), "Object Properties");
        EXPECT_EQ(pSheet->m_pSheet->currentIndex(), page);
        EXPECT_EQ(pSheet->m_pSheet->tabText(0), "Notes");
        EXPECT_EQ(pSheet->m_pSheet->tabText(1), "Preferences");
        EXPECT_EQ(pSheet->m_pSheet->tabText(2), "MIDI");
        EXPECT_EQ(pSheet->pos(), QPoint(140, 90));
        for (int id : pages) EXPECT_FALSE(command(id).isEnabled());

        // F3 is disabled while the window is open: the page stays.
        QTest::keyClick(&frame(), Qt::Key_F3);
        QApplication::processEvents();
        EXPECT_EQ(view().m_pSheetFrame, pSheet);
        EXPECT_EQ(pSheet->m_pSheet->currentIndex(), page);

        QTest::keyClick(pSheet, Qt::Key_Escape);
        QApplication::processEvents();
        EXPECT_EQ(view().m_pSheetFrame, nullptr);
        for (int id : pages) EXPECT_TRUE(command(id).isEnabled());
    }

    CPropSheetFrame* pSheet = Open(ID_NOTES);
    pSheet->move(310, 220);
    QApplication::processEvents();
    pSheet->close();
    QApplication::processEvents();
    EXPECT_EQ(settings().GetInt("Screen2", "x", 0), 310);
    EXPECT_EQ(settings().GetInt("Screen2", "y", 0), 220);
    EXPECT_EQ(Open(ID_NOTES)->pos(), QPoint(310, 220));

    // Closing the main window stores the position too.
    view().m_pSheetFrame->Window()->move(50, 60);
    frame().close();
    QApplication::processEvents();
    EXPECT_EQ(settings().GetInt("Screen2", "x", 0), 50);
    EXPECT_EQ(settings().GetInt("Screen2", "y", 0), 60);
}

TEST_F(SheetTest, APositionLeftOnAScreenThatIsGoneComesBackIntoView)
{
    settings().SetInt("Screen2", "x", -4000);
    settings().SetInt("Screen2", "y", 5000);
    CPropSheetFrame* pSheet = Open(ID_NOTES);
    const QRect rcWork = pSheet->screen()->availableGeometry();
    EXPECT_TRUE(rcWork.contains(pSheet->frameGeometry()));
}

TEST_F(SheetTest, AVoicePressKeepsTheMidiPageInFrontAndBringsTheNotesPageInStep)
{
    std::strcpy(doc().m_voices[2].szName, "Ride");
    doc().m_voices[0].byPitch = 36;
    doc().m_voices[2].byPitch = 51;
    CPropSheetFrame* pSheet = Open(ID_MIDI);
    CNotesPage& page = notes(pSheet);
    EXPECT_EQ(FillOf(page.PitchButton(36)), ColorFromRef(page.m_crPitchSel));

    QTest::mouseClick(view().VoiceButton(2), Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    QApplication::processEvents();
    EXPECT_EQ(view().m_pSheetFrame, pSheet);
    EXPECT_EQ(pSheet->m_pSheet->currentIndex(), 2);
    EXPECT_EQ(page.m_editName->text(), "Ride");
    EXPECT_EQ(FillOf(page.PitchButton(51)), ColorFromRef(page.m_crPitchSel));
    EXPECT_EQ(FillOf(page.PitchButton(36)), ColorFromRef(page.m_crPitchUnSel));

    // With the window closed, a voice press opens it on the Notes page.
    pSheet->close();
    QApplication::processEvents();
    QTest::mouseClick(view().VoiceButton(0), Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    QApplication::processEvents();
    auto* pReopened = dynamic_cast<CPropSheetFrame*>(view().m_pSheetFrame);
    ASSERT_NE(pReopened, nullptr);
    EXPECT_EQ(pReopened->m_pSheet->currentIndex(), 0);
}

TEST_F(SheetTest, APitchPressChangesTheVoiceAndRepaintsBothButtons)
{
    view().SetCurVoice(1);
    doc().m_voices[1].byPitch = 38;
    doc().m_bDirty = false;
    CNotesPage& page = notes(Open(ID_NOTES));
    QApplication::processEvents();
    PaintCounter oldButton(page.PitchButton(38)), newButton(page.PitchButton(40));

    QTest::mousePress(page.PitchButton(40), Qt::LeftButton, Qt::NoModifier, QPoint(4, 4));
    // Chosen on the press, before any release.
    EXPECT_EQ(doc().m_voices[1].byPitch, 40);
    QTest::mouseRelease(page.PitchButton(40), Qt::LeftButton, Qt::NoModifier, QPoint(4, 4));
    QApplication::processEvents();
    EXPECT_GT(oldButton.m_nPaints, 0);
    EXPECT_GT(newButton.m_nPaints, 0);
    EXPECT_EQ(FillOf(page.PitchButton(40)), ColorFromRef(page.m_crPitchSel));
    EXPECT_EQ(FillOf(page.PitchButton(38)), ColorFromRef(page.m_crPitchUnSel));
    // The pitch travels with the loop file: the save prompt must ask.
    EXPECT_TRUE(doc().m_bDirty);
    EXPECT_EQ(doc().m_voices[0].byPitch, 50);
}

TEST_F(SheetTest, ThePitchGridIsLabelledAndFramedAsAKeyboardOfDrums)
{
    EXPECT_EQ(CNotesPage::NoteLabel(0), "C0");
    EXPECT_EQ(CNotesPage::NoteLabel(9), "A1");
    EXPECT_EQ(CNotesPage::NoteLabel(12), "C1");
    EXPECT_EQ(CNotesPage::NoteLabel(56), "G#4");
    EXPECT_EQ(CNotesPage::NoteLabel(57), "A5");
    EXPECT_EQ(CNotesPage::NoteLabel(60), "C5");
    EXPECT_EQ(CNotesPage::NoteLabel(127), "G10");

    CNotesPage& page = notes(Open(ID_NOTES));
    const QColor black(Qt::black), white(Qt::white), purple(128, 0, 128);
    const QImage corner = page.PitchButton(0)->grab().toImage();
    const int w = corner.width(), h = corner.height();
    EXPECT_EQ(corner.pixelColor(0, h / 2), black);       // grid's left edge
    EXPECT_EQ(corner.pixelColor(w / 2, 0), black);       // grid's top edge
    EXPECT_EQ(corner.pixelColor(w - 1, h / 2), purple);  // inner lines
    EXPECT_EQ(corner.pixelColor(w / 2, h - 1), purple);
    const QImage last = page.PitchButton(127)->grab().toImage();
    EXPECT_EQ(last.pixelColor(w - 1, h / 2), white);  // grid's right edge
    EXPECT_EQ(last.pixelColor(w / 2, h - 1), white);  // grid's bottom edge
    EXPECT_EQ(last.pixelColor(0, h / 2), purple);
    EXPECT_EQ(last.pixelColor(w / 2, 0), purple);
}

TEST_F(SheetTest, TheNameFieldRenamesTheVoiceUpToSixteenCharacters)
{
    doc().m_bDirty = false;
    CNotesPage& page = notes(Open(ID_NOTES));
    page.m_editName->setFocus();
    page.m_editName->selectAll();
    QTest::keyClicks(page.m_editName, "Floor Tom Rimsho");
    EXPECT_EQ(doc().VoiceName(0), "Floor Tom Rimsho");
    EXPECT_TRUE(doc().m_bDirty);
    EXPECT_TRUE(messages.isEmpty());

    QTest::keyClicks(page.m_editName, "t");
    EXPECT_EQ(messages, QStringList{"You are limited to 16 characters."});
    EXPECT_EQ(page.m_editName->text(), "Floor Tom Rimsho");
    EXPECT_EQ(doc().VoiceName(0), "Floor Tom Rimsho");

    QTest::keyClick(page.m_editName, Qt::Key_Backspace);
    EXPECT_EQ(doc().VoiceName(0), "Floor Tom Rimsh");
}

TEST_F(SheetTest, PercussionNamesShowAsTipsOverTheirPitches)
{
    CNotesPage& page = notes(Open(ID_NOTES));
    MoveOver(page.PitchButton(42));
    EXPECT_EQ(page.m_tips.ShownTipText(), QStringList{"Closed Hi-Hat"});
    EXPECT_FALSE(page.m_tips.ShownTipRect().isEmpty());
    MoveOver(page.PitchButton(30));
    EXPECT_TRUE(page.m_tips.ShownTipText().isEmpty());
    MoveOver(page.PitchButton(81));
    EXPECT_EQ(page.m_tips.ShownTipText(), QStringList{"Open Triangle"});
    MoveOver(page.m_editName);
    EXPECT_TRUE(page.m_tips.ShownTipText().isEmpty());
}

TEST_F(SheetTest, NoteReminderFollowsPlaybackAndSoundsTheCurrentPitch)
{
    CNotesPage& page = notes(Open(ID_NOTES));
    EXPECT_FALSE(page.m_btnReminder->isEnabled());
    view().OnStart();
    QApplication::processEvents();
    ASSERT_TRUE(doc().m_bPlaying);
    EXPECT_TRUE(page.m_btnReminder->isEnabled());

    CVirtualMidiDriver* pClock = midiOut.Clock();
    ASSERT_NE(pClock, nullptr);
    const uint32_t expected = 0x99u | uint32_t(doc().m_voices[0].byPitch) << 8 | 100u << 16;
    auto count = [&] {
        return std::count_if(pClock->m_sent.begin(), pClock->m_sent.end(),
                             [&](const CVirtualMidiDriver::Sent& s) { return s.msg == expected; });
    };
    const auto before = count();
    page.m_btnReminder->click();
    pClock->AdvanceBy(2000000);
    EXPECT_EQ(count(), before + 1);

    view().OnStop();
    QApplication::processEvents();
    EXPECT_FALSE(page.m_btnReminder->isEnabled());
}

TEST_F(SheetTest, PreferencesApplyStoresEverythingAndRepaintsTheGridOnlyForItsColours)
{
    CPropSheetFrame* pSheet = Open(ID_PREFERENCES);
    CPrefsPage& page = pSheet->m_pSheet->m_prefsPage;
    EXPECT_EQ(page.ComposerEdit()->text(), "Your Name");
    EXPECT_EQ(page.m_btnNoteOn->m_crColor, view().m_crNoteOn);
    EXPECT_EQ(page.m_btnPitchSel->m_crColor, 0xFFFF00u);

    // A pitch colour only: stored, the Notes page takes it, the grid is not repainted.
    PaintCounter cell(view().Cell(0, 0));
    QApplication::processEvents();
    cell.m_nPaints = 0;
    page.m_btnPitchSel->m_crColor = 0x0000FF;
    page.ApplyButton()->click();
    QApplication::processEvents();
    EXPECT_EQ(cell.m_nPaints, 0);
    EXPECT_EQ(settings().GetInt("Color", "PitchSel", 0), 0x0000FF);
    EXPECT_EQ(notes(pSheet).m_crPitchSel, 0x0000FFu);
    EXPECT_EQ(FillOf(notes(pSheet).PitchButton(doc().m_voices[0].byPitch)), QColor(255, 0, 0));

    // A grid colour, the texts and the save prompt.
    doc().m_bDirty = false;
    page.m_btnNoteOn->m_crColor = 0x00FF00;
    page.ComposerEdit()->setText(QString::fromUtf8("Zoë Díaz"));
    page.CompanyEdit()->setText("Backbeat Ltd");
    page.LoopTitleEdit()->setText("Shuffle");
    page.NoSavePromptBox()->setChecked(true);
    page.ApplyButton()->click();
    QApplication::processEvents();
    EXPECT_GT(cell.m_nPaints, 0);
    EXPECT_EQ(view().m_crNoteOn, 0x00FF00u);
    EXPECT_EQ(settings().GetInt("Color", "NoteOn", 0), 0x00FF00);
    EXPECT_EQ(settings().GetString("Prefs", "Composer", ""), QString::fromUtf8("Zoë Díaz"));
    EXPECT_EQ(doc().m_strComposer, "Zo\xEB" " D\xED" "az");
    EXPECT_EQ(doc().m_strCompany, "Backbeat Ltd");
    EXPECT_EQ(doc().m_strLoopTitle, "Shuffle");
    EXPECT_EQ(settings().GetInt("Doc", "Save", 0), 1);
    EXPECT_TRUE(doc().m_bNoSavePrompt);
    EXPECT_FALSE(doc().m_bDirty);

    // Edits without Apply are dropped with the window.
    page.CompanyEdit()->setText("Never Applied");
    pSheet->close();
    QApplication::processEvents();
    EXPECT_EQ(settings().GetString("Prefs", "Company", ""), "Backbeat Ltd");

    // No save prompt now, however modified the loop.
    doc().m_bDirty = true;
    EXPECT_TRUE(frame().close());
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(SheetTest, LoadingALoopClosesTheWindowAndTheNextOpeningShowsItsValues)
{
    doc().SetChannel(3);
    const QString path = TempPath("channel4.rlf");
    ASSERT_TRUE(doc().SaveLoopTo(path));
    doc().SetChannel(9);
    CPropSheetFrame* pSheet = Open(ID_MIDI);
    EXPECT_EQ(pSheet->m_pSheet->m_midiPage.ChannelEdit()->text(), "10");

    ASSERT_EQ(doc().LoadLoopFrom(path), CRondoDoc::LoadResult::Loaded);
    QApplication::processEvents();
    EXPECT_EQ(view().m_pSheetFrame, nullptr);
    EXPECT_EQ(Open(ID_MIDI)->m_pSheet->m_midiPage.ChannelEdit()->text(), "4");
}

TEST_F(SheetTest, PitchAndNameChangesAreUndoneFromTheMainWindowAndTheNotesPageFollows)
{
    CNotesPage& page = notes(Open(ID_NOTES));
    page.PitchButton(42)->click();
    page.m_editName->setFocus();
    page.m_editName->selectAll();
    QTest::keyClicks(page.m_editName, "Hat");  // three characters, one step
    EXPECT_EQ(command(ID_EDIT_UNDO).text(), QStringLiteral("&Undo Voice Name"));
    command(ID_EDIT_UNDO).trigger();
    EXPECT_EQ(doc().VoiceName(0), QStringLiteral("Voice 1"));
    EXPECT_EQ(page.m_editName->text(), QStringLiteral("Voice 1"));
    EXPECT_EQ(doc().m_voices[0].byPitch, 42);
    EXPECT_EQ(command(ID_EDIT_UNDO).text(), QStringLiteral("&Undo Pitch"));
    command(ID_EDIT_UNDO).trigger();
    EXPECT_EQ(doc().m_voices[0].byPitch, 50);
    QApplication::processEvents();
    EXPECT_EQ(FillOf(page.PitchButton(50)), ColorFromRef(page.m_crPitchSel)) << "the page shows the pitch undone";
    EXPECT_EQ(FillOf(page.PitchButton(42)), ColorFromRef(page.m_crPitchUnSel));
    EXPECT_FALSE(doc().m_bDirty);
    command(ID_EDIT_REDO).trigger();
    command(ID_EDIT_REDO).trigger();
    EXPECT_EQ(doc().VoiceName(0), QStringLiteral("Hat"));
    EXPECT_EQ(page.m_editName->text(), QStringLiteral("Hat"));
}
