#include "app/AppFixture.h"
#include "midi/SmfReader.h"
#include "view/Commands.h"
#include "view/GridButtons.h"
#include "view/PropSheetHost.h"

#include <QAccessible>
#include <QImage>
#include <QLabel>
#include <QStatusBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QThread>

#include <cstring>

namespace {

constexpr int64_t kMs = 1000000;

QColor PixelAt(const QImage& image, const QPoint& at)
{
    return image.pixelColor(at);
}

// Presses (and releases) a grid button as the mouse does.
void Press(QAbstractButton* pButton)
{
    QTest::mousePress(pButton, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    QTest::mouseRelease(pButton, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
}

// The pointer moving to at (in pButton's coordinates) with the left button held.
void Move(QWidget* pButton, const QPoint& at, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(at), QPointF(pButton->mapToGlobal(at)), Qt::NoButton, Qt::LeftButton,
                     modifiers);
    QApplication::sendEvent(pButton, &move);
}

bool HasPixelOf(const QImage& image, const QRect& area, const QColor& color)
{
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (image.pixelColor(x, y) == color) return true;
        }
    }
    return false;
}

// A property window that only records what the view asks of it.
class FakeSheet final : public IPropSheetFrame
{
public:
    QWidget* Window() override { return &m_window; }
    void SetActivePage(int nPage) override { m_pages.push_back(nPage); }
    void SyncNotesPage(int nPreviousVoice) override { m_syncs.push_back(nPreviousVoice); }
    void SetNoteReminderEnabled(bool bEnabled) override { m_bReminder = bEnabled; }
    void SavePosition() override { ++m_nSaves; }

    QWidget m_window;
    std::vector<int> m_pages, m_syncs;
    bool m_bReminder = false;
    int m_nSaves = 0;
};

} // namespace

class ViewTest : public AppTest
{
protected:
    QImage Grab() { return view().grab().toImage(); }
    QRect CellRect(int v, int b) { return view().Cell(v, b)->geometry(); }
    CVirtualMidiDriver& Clock() { return *midiOut.Clock(); }
};

TEST_F(ViewTest, ACellPressTogglesTheCellPaintsItAndMovesTheCurrentVoice)
{
    CRondoView& v = view();
    const QColor noteOn(255, 0, 255), noteOff(128, 0, 128), note(0, 0, 0);
    Press(v.Cell(2, 5));
    EXPECT_TRUE(doc().IsCellOn(2, 5));
    EXPECT_TRUE(doc().m_bDirty);
    EXPECT_EQ(v.m_nCurVoice, 2);

    QApplication::processEvents();
    QImage image = Grab();
    const QRect rc = CellRect(2, 5);
    EXPECT_EQ(PixelAt(image, rc.topLeft() + QPoint(4, 4)), noteOn);
    EXPECT_EQ(PixelAt(image, rc.topLeft() + QPoint(8, 10)), note) << "the stem";
    EXPECT_EQ(PixelAt(image, rc.topLeft() + QPoint(9, 17)), note) << "the stem's last row";
    EXPECT_EQ(PixelAt(image, rc.topLeft() + QPoint(8, 0)), noteOn) << "the stem starts at y = 1";
    EXPECT_EQ(PixelAt(image, rc.topLeft() + QPoint(6, 19)), note) << "the note head";
    EXPECT_EQ(PixelAt(image, rc.topLeft() + QPoint(11, 4)), note) << "the first flag";
    EXPECT_EQ(PixelAt(image, rc.topLeft() + QPoint(12, 13)), note) << "the second flag";
    const QColor background = v.palette().color(QPalette::Window);
    for (int y = 2; y < rc.height() - 2; ++y)
        ASSERT_EQ(PixelAt(image, QPoint(rc.right(), rc.top() + y)), background) << "the rightmost column, y " << y;
    EXPECT_EQ(PixelAt(image, CellRect(2, 4).topLeft() + QPoint(8, 10)), noteOff) << "an empty cell has no glyph";

    // The green label moved with the current voice.
    const QRect label1 = v.VoiceButton(0)->geometry().adjusted(4, 4, -4, -4);
    const QRect label3 = v.VoiceButton(2)->geometry().adjusted(4, 4, -4, -4);
    EXPECT_TRUE(HasPixelOf(image, label3, kCurrentVoiceColor));
    EXPECT_FALSE(HasPixelOf(image, label1, kCurrentVoiceColor));

    Press(v.Cell(2, 5));
    EXPECT_FALSE(doc().IsCellOn(2, 5));
}

TEST_F(ViewTest, ADragPaintsThePressedStateIntoEveryCellItEntersAsOneUndoStep)
{
    CRondoView& v = view();
    doc().SetCell(1, 3, cells::kAccent);  // painted over with a plain hit
    doc().CommitEdit("Accent");
    CBeatCell* pFirst = v.Cell(0, 1);
    const QPoint inside(3, 3);
    QTest::mousePress(pFirst, Qt::LeftButton, Qt::NoModifier, inside);
    EXPECT_TRUE(doc().IsCellOn(0, 1));
    // Out of the cell and back: no second toggle.
    for (const QPoint& at : {QPoint(pFirst->width() + 40, 3), inside}) Move(pFirst, at);
    EXPECT_TRUE(doc().IsCellOn(0, 1));
    // Across to step 5 and down into the second row, in one fast move each.
    Move(pFirst, pFirst->mapFrom(&v, v.Cell(0, 5)->geometry().center()));
    Move(pFirst, pFirst->mapFrom(&v, v.Cell(1, 5)->geometry().center()));
    Move(pFirst, pFirst->mapFrom(&v, v.Cell(1, 3)->geometry().center()));
    QTest::mouseRelease(pFirst, Qt::LeftButton, Qt::NoModifier, inside);
    for (int b = 1; b <= 5; ++b) EXPECT_EQ(doc().LevelAt(0, b), CellLevel::On) << b;
    for (int b = 3; b <= 5; ++b) EXPECT_EQ(doc().LevelAt(1, b), CellLevel::On) << b;
    EXPECT_FALSE(doc().IsCellOn(1, 2));
    EXPECT_FALSE(doc().IsCellOn(0, 0));
    EXPECT_EQ(command(ID_EDIT_UNDO).text(), QStringLiteral("&Undo Paint"));

    // A stroke that starts on a set cell clears.
    QTest::mousePress(v.Cell(0, 5), Qt::LeftButton, Qt::NoModifier, inside);
    Move(v.Cell(0, 5), v.Cell(0, 5)->mapFrom(&v, v.Cell(0, 3)->geometry().center()));
    QTest::mouseRelease(v.Cell(0, 5), Qt::LeftButton, Qt::NoModifier, inside);
    for (int b = 3; b <= 5; ++b) EXPECT_FALSE(doc().IsCellOn(0, b)) << b;

    command(ID_EDIT_UNDO).trigger();
    for (int b = 3; b <= 5; ++b) EXPECT_TRUE(doc().IsCellOn(0, b)) << b;
    command(ID_EDIT_UNDO).trigger();  // the whole first stroke, both rows
    for (int b = 0; b < 16; ++b) EXPECT_FALSE(doc().IsCellOn(0, b)) << b;
    EXPECT_EQ(doc().LevelAt(1, 3), CellLevel::Accent);
    EXPECT_FALSE(doc().IsCellOn(1, 5));
    EXPECT_EQ(command(ID_EDIT_REDO).text(), QStringLiteral("&Redo Paint"));
    command(ID_EDIT_UNDO).trigger();
    EXPECT_FALSE(command(ID_EDIT_UNDO).isEnabled());
    EXPECT_EQ(command(ID_EDIT_UNDO).text(), QStringLiteral("&Undo"));
    EXPECT_EQ(command(ID_EDIT_REDO).text(), QStringLiteral("&Redo Accent"));
    EXPECT_FALSE(doc().m_bDirty);
}

TEST_F(ViewTest, ShiftClickCyclesTheLevelShiftDragPaintsAccentsAndTheWheelStepsIt)
{
    CRondoView& v = view();
    const QPoint inside(3, 3);
    const CellLevel cycle[] = {CellLevel::On, CellLevel::Accent, CellLevel::Ghost, CellLevel::Off};
    for (CellLevel want : cycle) {
        QTest::mouseClick(v.Cell(2, 0), Qt::LeftButton, Qt::ShiftModifier, inside);
        EXPECT_EQ(doc().LevelAt(2, 0), want);
    }
    EXPECT_EQ(command(ID_EDIT_UNDO).text(), QStringLiteral("&Undo Accent"));

    // Shift held from a plain hit: the whole stroke, first cell too, is accents.
    doc().SetCell(2, 4, cells::kOn);
    QTest::mousePress(v.Cell(2, 4), Qt::LeftButton, Qt::ShiftModifier, inside);
    Move(v.Cell(2, 4), v.Cell(2, 4)->mapFrom(&v, v.Cell(2, 7)->geometry().center()), Qt::ShiftModifier);
    QTest::mouseRelease(v.Cell(2, 4), Qt::LeftButton, Qt::ShiftModifier, inside);
    for (int b = 4; b <= 7; ++b) EXPECT_EQ(doc().LevelAt(2, b), CellLevel::Accent) << b;

    // The wheel: louder up to accent, softer down to off, one step per run of notches.
    const int steps = int(doc().History().Steps());
    auto wheel = [&](int delta) {
        QWheelEvent e(QPointF(inside), QPointF(v.Cell(3, 2)->mapToGlobal(inside)), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(v.Cell(3, 2), &e);
    };
    wheel(120);
    EXPECT_EQ(doc().LevelAt(3, 2), CellLevel::Ghost);
    wheel(60);
    wheel(60);
    EXPECT_EQ(doc().LevelAt(3, 2), CellLevel::On);
    wheel(240);
    wheel(120);
    EXPECT_EQ(doc().LevelAt(3, 2), CellLevel::Accent);
    EXPECT_EQ(int(doc().History().Steps()), steps + 1);
    wheel(-240);
    EXPECT_EQ(doc().LevelAt(3, 2), CellLevel::Ghost);
    EXPECT_EQ(int(doc().History().Steps()), steps + 1) << "still one step";
    command(ID_EDIT_UNDO).trigger();
    EXPECT_EQ(doc().LevelAt(3, 2), CellLevel::Off);

    // What the painting shows: a plain hit exactly as before, an accent its
    // mark, a ghost paler; every cell of the row says its level to a reader.
    doc().SetCell(0, 0, cells::kOn);
    doc().SetCell(0, 1, cells::kAccent);
    doc().SetCell(0, 2, cells::kGhost);
    v.InvalidateView();
    QApplication::processEvents();
    const QImage image = Grab();
    const QColor noteOn(255, 0, 255), noteOff(128, 0, 128), note(0, 0, 0);
    const QRect on = CellRect(0, 0), accent = CellRect(0, 1), ghost = CellRect(0, 2);
    EXPECT_EQ(PixelAt(image, on.topLeft() + QPoint(3, 4)), noteOn);
    EXPECT_EQ(PixelAt(image, accent.topLeft() + QPoint(3, 4)), note) << "the accent mark";
    EXPECT_EQ(PixelAt(image, ghost.topLeft() + QPoint(4, 4)), MixColors(noteOn, noteOff, 0.5));
    EXPECT_EQ(PixelAt(image, ghost.topLeft() + QPoint(8, 10)), MixColors(note, MixColors(noteOn, noteOff, 0.5), 0.5));
}

TEST_F(ViewTest, VoiceButtonsOpenAndFollowThePropertyWindow)
{
    CRondoView& v = view();
    v.m_sheetFactory = [](CRondoView&) -> IPropSheetFrame* { return nullptr; };
    Press(v.VoiceButton(1));
    EXPECT_EQ(v.m_nCurVoice, 1) << "no property window could be built: the press still makes the voice current";
    EXPECT_EQ(v.m_pSheetFrame, nullptr);
    EXPECT_TRUE(command(ID_NOTES).isEnabled()) << "nothing opened, so the commands stay available";

    FakeSheet sheet;
    int nBuilt = 0;
    v.m_sheetFactory = [&](CRondoView&) {
        ++nBuilt;
        return &sheet;
    };
    app->m_settings.SetInt("Screen2", "x", 40);
    app->m_settings.SetInt("Screen2", "y", 30);
    Press(v.VoiceButton(3));
    ASSERT_EQ(v.m_pSheetFrame, &sheet);
    EXPECT_EQ(sheet.m_pages, std::vector<int>{0});
    EXPECT_EQ(sheet.m_window.pos(), QPoint(40, 30));
    EXPECT_TRUE(sheet.m_window.isVisible());
    for (int nId : {ID_NOTES, ID_PREFERENCES, ID_MIDI}) EXPECT_FALSE(command(nId).isEnabled()) << nId;

    // Open on another page: a voice press keeps the page and updates Notes.
    Press(v.VoiceButton(2));
    EXPECT_EQ(nBuilt, 1);
    EXPECT_EQ(sheet.m_pages, std::vector<int>{0});
    EXPECT_EQ(sheet.m_syncs, std::vector<int>{3});
    Press(v.Cell(0, 7));
    EXPECT_EQ(sheet.m_syncs, (std::vector<int>{3, 2})) << "a cell of another voice moves the Notes page";

    // Playback reaches the open window's Note Reminder.
    v.OnStart();
    EXPECT_TRUE(sheet.m_bReminder);
    v.OnStop();
    EXPECT_FALSE(sheet.m_bReminder);

    // Closing the main window stores the property window's position.
    doc().m_bDirty = false;
    frame().close();
    EXPECT_EQ(sheet.m_nSaves, 1);
    v.OnSheetClosed();
    EXPECT_TRUE(command(ID_NOTES).isEnabled());
}

TEST_F(ViewTest, AddAndDeleteVoiceGrowAndShrinkTheWindowByOneRowWithinTheLimits)
{
    CRondoView& v = view();
    const int h4 = frame().height();
    EXPECT_EQ(v.m_sizeMinFrame, frame().size());
    EXPECT_TRUE(v.m_bLayoutDone);
    EXPECT_FALSE(command(ID_DELETE_VOICE).isEnabled());
    EXPECT_FALSE(v.Cell(4, 0)->isVisible());

    for (int rows = 5; rows <= 12; ++rows) {
        command(ID_ADD_VOICE).trigger();
        EXPECT_EQ(v.m_nVoices, rows);
        EXPECT_EQ(frame().height(), h4 + (rows - 4) * v.RowPitch());
        EXPECT_TRUE(v.VoiceButton(rows - 1)->isVisible());
        EXPECT_TRUE(v.Cell(rows - 1, 15)->isVisible());
    }
    EXPECT_FALSE(command(ID_ADD_VOICE).isEnabled());
    v.AddVoice();
    EXPECT_EQ(v.m_nVoices, 12);
    EXPECT_EQ(frame().height(), h4 + 8 * v.RowPitch());
    EXPECT_EQ(frame().maximumHeight(), h4 + 8 * v.RowPitch()) << "never taller than twelve rows";
    EXPECT_EQ(frame().minimumHeight(), h4) << "never shorter than four";
    EXPECT_EQ(frame().minimumWidth(), frame().maximumWidth()) << "the width is fixed";

    // Deleting the current voice's row, with a cell on, clears it.
    Press(v.Cell(11, 3));
    doc().m_bDirty = false;
    command(ID_DELETE_VOICE).trigger();
    EXPECT_EQ(v.m_nVoices, 11);
    EXPECT_EQ(v.m_nCurVoice, 0);
    EXPECT_FALSE(doc().IsCellOn(11, 3));
    EXPECT_TRUE(doc().m_bDirty);
    EXPECT_FALSE(v.VoiceButton(11)->isVisible());
    EXPECT_EQ(frame().height(), h4 + 7 * v.RowPitch());
    while (command(ID_DELETE_VOICE).isEnabled()) command(ID_DELETE_VOICE).trigger();
    EXPECT_EQ(v.m_nVoices, 4);
    EXPECT_EQ(frame().height(), h4);
}

TEST_F(ViewTest, TheTransportAndTheCommandsFollowPlayback)
{
    CRondoView& v = view();
    const auto expectStopped = [&] {
        EXPECT_TRUE(v.StartButton()->isEnabled());
        EXPECT_FALSE(v.StopButton()->isEnabled());
        EXPECT_FALSE(v.TempoSlider()->isEnabled());
        for (int nId : {ID_EXPORT, ID_LOOP_NEW, ID_LOOP_OPEN}) EXPECT_TRUE(command(nId).isEnabled()) << nId;
    };
    expectStopped();

    QTest::mouseClick(v.StartButton(), Qt::LeftButton);
    EXPECT_TRUE(doc().m_bPlaying);
    EXPECT_FALSE(v.StartButton()->isEnabled());
    EXPECT_TRUE(v.StopButton()->isEnabled());
    EXPECT_TRUE(v.TempoSlider()->isEnabled());
    for (int nId : {ID_EXPORT, ID_LOOP_NEW, ID_LOOP_OPEN}) EXPECT_FALSE(command(nId).isEnabled()) << nId;
    for (int nId : {ID_LOOP_SAVE, ID_LOOP_SAVE_AS, ID_SHIFT_LEFT, ID_ADD_VOICE}) EXPECT_TRUE(command(nId).isEnabled()) << nId;

    QTest::mouseClick(v.StopButton(), Qt::LeftButton);
    EXPECT_FALSE(doc().m_bPlaying);
    EXPECT_EQ(midiOut.Clock(), nullptr) << "the stream is closed";
    expectStopped();
}

TEST_F(ViewTest, AStartThatFailsReturnsToStoppedAndSaysWhy)
{
    midiout::SetErrorDetail(MMSYSERR_NOTENABLED, QStringLiteral("(no sound card)"));
    midiOut.m_nOpenError = MMSYSERR_NOTENABLED;
    view().OnStart();
    EXPECT_TRUE(view().StartButton()->isEnabled());
    EXPECT_FALSE(view().StopButton()->isEnabled());
    EXPECT_TRUE(frame().PaneText(0).contains(QStringLiteral("no sound card"))) << frame().PaneText(0).toStdString();
    EXPECT_TRUE(command(ID_LOOP_OPEN).isEnabled());
    midiOut.m_nOpenError = MMSYSERR_NOERROR;

    // A refill that the device refuses ends playback the same way, on the UI thread.
    view().OnStart();
    ASSERT_TRUE(doc().m_bPlaying);
    Clock().AdvanceTo(100 * kMs);
    Clock().m_nHealth = MIDIERR_NODEVICE;
    Clock().AdvanceTo(400 * kMs);
    EXPECT_TRUE(view().StopButton()->isEnabled()) << "nothing changes before the UI thread runs";
    QApplication::processEvents();
    EXPECT_FALSE(doc().m_bPlaying);
    EXPECT_EQ(doc().m_hStream, nullptr);
    EXPECT_TRUE(view().StartButton()->isEnabled());
    EXPECT_EQ(frame().PaneText(0), doc().PlayError());
}

TEST_F(ViewTest, EveryMoveOfTheSliderWhilePlayingIsTheTempoThatPlays)
{
    CRondoView& v = view();
    QSlider* pSlider = v.TempoSlider();
    EXPECT_EQ(pSlider->minimum(), 40);
    EXPECT_EQ(pSlider->maximum(), 200);
    EXPECT_EQ(pSlider->pageStep(), 10);
    EXPECT_EQ(pSlider->tickInterval(), 10);
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("BPM"));

    v.OnStart();
    Clock().AdvanceTo(200 * kMs);
    QApplication::processEvents();
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("100 BPM")) << "the tempo Start set, read back";
    doc().m_bDirty = false;

    pSlider->setFocus();
    QTest::keyClick(pSlider, Qt::Key_End);
    EXPECT_EQ(pSlider->value(), 200);
    EXPECT_TRUE(doc().m_bDirty);
    Clock().AdvanceBy(300 * kMs);
    QApplication::processEvents();
    EXPECT_EQ(doc().m_nBPM, 200);
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("200 BPM"));

    QTest::keyClick(pSlider, Qt::Key_PageDown);
    QTest::keyClick(pSlider, Qt::Key_Down);
    EXPECT_EQ(pSlider->value(), 189);
    Clock().AdvanceBy(300 * kMs);
    QApplication::processEvents();
    EXPECT_EQ(doc().m_nBPM, 189);
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("189 BPM"));

    v.OnStop();
    EXPECT_FALSE(pSlider->isEnabled());
    command(ID_LOOP_NEW).trigger();
    ASSERT_EQ(messages.size(), 1) << "the tempo change is a change of the loop";
    EXPECT_EQ(pSlider->value(), 189) << "cancelled";
}

TEST_F(ViewTest, TempoReportsFromTheCallbackThreadReachTheStatusBarQueued)
{
    view().OnStart();
    QThread* pThread = QThread::create([this] {
        for (int bpm = 41; bpm <= 120; ++bpm) view().PostBpmFromDevice(bpm);
    });
    pThread->start();
    pThread->wait();
    delete pThread;
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("BPM")) << "nothing is shown before the UI thread runs";
    QApplication::processEvents();
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("120 BPM"));
    // Just wide enough for its text.
    const QLabel* pPane = nullptr;
    for (const QLabel* pLabel : frame().statusBar()->findChildren<QLabel*>()) {
        if (pLabel->text() == QStringLiteral("120 BPM")) pPane = pLabel;
    }
    ASSERT_NE(pPane, nullptr);
    const int nText = pPane->fontMetrics().horizontalAdvance(pPane->text());
    EXPECT_GE(pPane->width(), nText);
    EXPECT_LE(pPane->width(), nText + 12);

    // After Stop the pane shows no tempo, and a report that was still on its
    // way when playback ended does not bring one back.
    view().PostBpmFromDevice(77);
    view().OnStop();
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("BPM"));
    QApplication::processEvents();
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("BPM"));
    view().OnStart();
    view().PostBpmFromDevice(90);
    QApplication::processEvents();
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("90 BPM"));
    view().OnStop();
    command(ID_LOOP_NEW).trigger();
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("BPM"));
}

TEST_F(ViewTest, ATempoTheDeviceSetsWhilePlayingMovesTheSlider)
{
    QSlider* pSlider = view().TempoSlider();
    view().PostBpmFromDevice(150);
    QApplication::processEvents();
    EXPECT_EQ(pSlider->value(), 100) << "stopped, a report is only shown";
    QTest::mouseClick(view().StartButton(), Qt::LeftButton);
    ASSERT_TRUE(doc().m_bPlaying);
    // As a JACK transport's master changes it: the slider follows, and
    // following it sends nothing back.
    view().PostBpmFromDevice(150);
    QApplication::processEvents();
    EXPECT_EQ(pSlider->value(), 150);
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("150 BPM"));
    MidiPropTempo tempo;
    ASSERT_EQ(midiout::StreamProperty(doc().m_hStream, &tempo, MIDIPROP_GET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
    EXPECT_EQ(tempo.dwTempo, CRondoDoc::kMicrosPerMinute / 100);
    QTest::mouseClick(view().StopButton(), Qt::LeftButton);
}

TEST_F(ViewTest, KeysReachTheCommandsWhenTheMainWindowIsActive)
{
    frame().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame()));
    view().VoiceButton(0)->setFocus();
    Press(view().Cell(0, 0));
    QTest::keyClick(&frame(), Qt::Key_Insert);
    EXPECT_EQ(view().m_nVoices, 5);
    QTest::keyClick(&frame(), Qt::Key_Delete);
    EXPECT_EQ(view().m_nVoices, 4);
    QTest::keyClick(&frame(), Qt::Key_Right);
    EXPECT_TRUE(doc().IsCellOn(0, 1));
    QTest::keyClick(&frame(), Qt::Key_Left);
    QTest::keyClick(&frame(), Qt::Key_Left);
    EXPECT_TRUE(doc().IsCellOn(0, 15));

    // Space presses the focused voice button; Tab walks the voice buttons.
    view().VoiceButton(0)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), view().VoiceButton(1));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_EQ(view().m_nCurVoice, 1);
}

TEST(GridPaintingTest, VoiceButtonEdgesLeaveEachSegmentsEndPointToTheNext)
{
    const QColor face(200, 200, 200), black(0, 0, 0), grey(128, 128, 128), white(255, 255, 255);
    const auto paint = [&](bool bPressed) {
        QImage image(50, 20, QImage::Format_RGB32);
        image.fill(Qt::red);
        QPainter p(&image);
        PaintVoiceButton(p, image.rect(), bPressed, false, QString(), face);
        return image;
    };
    const QImage raised = paint(false);
    EXPECT_EQ(raised.pixelColor(0, 19), black);
    EXPECT_EQ(raised.pixelColor(49, 19), black);
    EXPECT_EQ(raised.pixelColor(49, 1), black);
    EXPECT_EQ(raised.pixelColor(49, 0), face) << "the black edge's end point";
    EXPECT_EQ(raised.pixelColor(48, 18), grey);
    EXPECT_EQ(raised.pixelColor(48, 2), grey);
    EXPECT_EQ(raised.pixelColor(48, 1), white) << "where the grey edge ends, the white one starts";
    EXPECT_EQ(raised.pixelColor(1, 1), white);
    EXPECT_EQ(raised.pixelColor(1, 17), white);
    EXPECT_EQ(raised.pixelColor(1, 18), grey) << "the white edge's end point belongs to the grey one";
    EXPECT_EQ(raised.pixelColor(0, 0), face);

    const QImage sunken = paint(true);
    EXPECT_EQ(sunken.pixelColor(0, 19), grey);
    EXPECT_EQ(sunken.pixelColor(0, 0), grey);
    EXPECT_EQ(sunken.pixelColor(48, 0), grey);
    EXPECT_EQ(sunken.pixelColor(49, 0), white);
    EXPECT_EQ(sunken.pixelColor(49, 19), white);
    EXPECT_EQ(sunken.pixelColor(2, 19), white);
    EXPECT_EQ(sunken.pixelColor(1, 19), face) << "the white edge's end point";
    EXPECT_EQ(sunken.pixelColor(1, 18), black);
    EXPECT_EQ(sunken.pixelColor(1, 1), black);
    EXPECT_EQ(sunken.pixelColor(47, 1), black);
    EXPECT_EQ(sunken.pixelColor(48, 1), face);
}

namespace {

// A key as the user types it: to whatever has the focus.
void Type(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, int nTimes = 1)
{
    for (int i = 0; i < nTimes; ++i) {
        QWidget* pFocus = QApplication::focusWidget();
        ASSERT_NE(pFocus, nullptr);
        QTest::keyClick(pFocus, key, modifiers);
    }
}

} // namespace

TEST_F(ViewTest, ABeatMadeAccentedSwungAndUndoneWithTheKeyboardAlone)
{
    CRondoView& v = view();
    frame().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame()));
    v.StartButton()->setFocus();

    // Tab: Start, the swing (Stop and the tempo wait for playback), the four
    // voice buttons, then into the grid at its first cell.
    Type(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), v.SwingBox());
    Type(Qt::Key_Tab, Qt::NoModifier, 5);
    ASSERT_EQ(QApplication::focusWidget(), v.Cell(0, 0));

    // Kick on the four beats, snare on two and four with an accent, a ghost.
    for (int beat = 0; beat < 4; ++beat) {
        Type(Qt::Key_Space);
        if (beat < 3) Type(Qt::Key_Right, Qt::NoModifier, 4);
    }
    Type(Qt::Key_Down);
    Type(Qt::Key_Space);   // (1, 12)
    Type(Qt::Key_Space, Qt::ShiftModifier);  // on -> accent
    Type(Qt::Key_Left, Qt::NoModifier, 8);
    Type(Qt::Key_Space);   // (1, 4)
    Type(Qt::Key_Left);
    Type(Qt::Key_Space, Qt::ShiftModifier, 3);  // off -> on -> accent -> ghost
    EXPECT_EQ(QApplication::focusWidget(), v.Cell(1, 3));
    EXPECT_EQ(v.m_nCurVoice, 1) << "the focused row is the current voice";
    for (int b = 0; b < 16; ++b) {
        EXPECT_EQ(doc().LevelAt(0, b), b % 4 == 0 ? CellLevel::On : CellLevel::Off) << b;
        const CellLevel snare = b == 4 ? CellLevel::On : b == 12 ? CellLevel::Accent : b == 3 ? CellLevel::Ghost : CellLevel::Off;
        EXPECT_EQ(doc().LevelAt(1, b), snare) << b;
    }
    // The arrows stop at the grid's edges; Home and End go to them.
    Type(Qt::Key_Home);
    Type(Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), v.Cell(1, 0));
    Type(Qt::Key_End);
    EXPECT_EQ(QApplication::focusWidget(), v.Cell(1, 15));

    // Rotation's own key works in the grid too: the snare one step later.
    Type(Qt::Key_Right, Qt::ControlModifier);
    EXPECT_EQ(doc().LevelAt(1, 5), CellLevel::On);
    EXPECT_EQ(doc().LevelAt(1, 13), CellLevel::Accent);
    EXPECT_EQ(command(ID_EDIT_UNDO).text(), QStringLiteral("&Undo Rotate Right"));
    Type(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(doc().LevelAt(1, 12), CellLevel::Accent);

    // Back out of the grid to the swing, up to 58 %.
    Type(Qt::Key_Tab, Qt::ShiftModifier, 5);
    ASSERT_EQ(QApplication::focusWidget(), v.SwingBox());
    Type(Qt::Key_Up, Qt::NoModifier, 8);
    EXPECT_EQ(doc().m_nSwing, 58);
    // Undo reaches the loop from the swing box, and Redo comes back.
    Type(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(doc().m_nSwing, 57);
    EXPECT_EQ(v.SwingBox()->value(), 57);
    Type(Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(doc().m_nSwing, 58);
    Type(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);  // nothing left to redo
    EXPECT_EQ(doc().m_nSwing, 58);

    // Everything undone, step by step, back to the new loop.
    int nUndone = 0;
    while (command(ID_EDIT_UNDO).isEnabled() && nUndone < 100) {
        Type(Qt::Key_Z, Qt::ControlModifier);
        ++nUndone;
    }
    EXPECT_EQ(nUndone, 4 + 1 + 1 + 1 + 3 + 8);  // the kick, the snare, the swing
    for (int b = 0; b < 16; ++b) EXPECT_FALSE(doc().IsCellOn(0, b) || doc().IsCellOn(1, b)) << b;
    EXPECT_EQ(doc().m_nSwing, 50);
    EXPECT_FALSE(doc().m_bDirty);

    // Tab leaves the grid in one step, to the beginning.
    v.FocusCell()->setFocus();
    Type(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), v.StartButton());
}

TEST_F(ViewTest, CellsAndVoiceButtonsTellAssistiveToolsWhatTheyAre)
{
    CRondoView& v = view();
    doc().SetCell(2, 4, cells::kAccent);
    QAccessibleInterface* pCell = QAccessible::queryAccessibleInterface(v.Cell(2, 4));
    ASSERT_NE(pCell, nullptr);
    EXPECT_EQ(pCell->text(QAccessible::Name), QStringLiteral("Voice 3, step 5, accent"));
    EXPECT_EQ(pCell->role(), QAccessible::CheckBox);
    EXPECT_TRUE(pCell->state().checked);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(v.Cell(0, 15))->text(QAccessible::Name), QStringLiteral("Voice 1, step 16, off"));
    EXPECT_FALSE(QAccessible::queryAccessibleInterface(v.Cell(0, 15))->state().checked);

    // The press action toggles, as Space does.
    QAccessibleActionInterface* pAction = QAccessible::queryAccessibleInterface(v.Cell(0, 15))->actionInterface();
    ASSERT_NE(pAction, nullptr);
    pAction->doAction(QAccessibleActionInterface::pressAction());
    QTest::qWait(200);  // the animated click
    EXPECT_TRUE(doc().IsCellOn(0, 15));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(v.Cell(0, 15))->text(QAccessible::Name), QStringLiteral("Voice 1, step 16, on"));

    std::strcpy(doc().m_voices[2].szName, "Snare");
    EXPECT_EQ(pCell->text(QAccessible::Name), QStringLiteral("Snare, step 5, accent"));
    QAccessibleInterface* pVoice = QAccessible::queryAccessibleInterface(v.VoiceButton(2));
    EXPECT_EQ(pVoice->text(QAccessible::Name), QStringLiteral("Snare, voice 3"));
    v.MuteSwitch(2)->click();
    v.SetCurVoice(2);
    EXPECT_EQ(pVoice->text(QAccessible::Name), QStringLiteral("Snare, voice 3, current, muted"));
    QAccessibleInterface* pMute = QAccessible::queryAccessibleInterface(v.MuteSwitch(2));
    EXPECT_EQ(pMute->text(QAccessible::Name), QStringLiteral("Mute Snare"));
    EXPECT_TRUE(pMute->state().checked);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(v.SoloSwitch(0))->text(QAccessible::Name), QStringLiteral("Solo Voice 1"));
}

TEST_F(ViewTest, ThePlayheadLightsTheStepTheStreamsClockHasReached)
{
    CRondoView& v = view();
    constexpr int64_t kStep = 150 * kMs;  // 100 BPM
    Press(v.Cell(1, 6));
    v.OnStart();
    ASSERT_TRUE(doc().m_bPlaying);
    const QColor noteOff(128, 0, 128), lit = MixColors(noteOff, QColor(255, 255, 255), 0.5);
    for (int k : {0, 1, 5, 6, 15, 16, 22}) {
        Clock().AdvanceTo(k * kStep + kMs);
        QTest::qWait(30);  // the view's timer looks at the clock
        EXPECT_EQ(v.PlayheadStep(), k % 16) << k;
        const QImage image = Grab();
        for (int b = 0; b < 16; ++b) {
            const QColor want = b == k % 16 ? lit : noteOff;
            EXPECT_EQ(PixelAt(image, CellRect(0, b).topLeft() + QPoint(4, 4)), want) << "step " << k << " cell " << b;
        }
    }
    // Swung, an off-beat lights when its late notes sound.
    v.SwingBox()->setValue(75);
    Clock().AdvanceTo(33 * kStep + kMs);
    v.UpdatePlayhead();
    EXPECT_EQ(v.PlayheadStep(), 0);
    Clock().AdvanceTo(33 * kStep + 76 * kMs);
    v.UpdatePlayhead();
    EXPECT_EQ(v.PlayheadStep(), 1);

    v.OnStop();
    EXPECT_EQ(v.PlayheadStep(), -1);
    const QImage image = Grab();
    EXPECT_EQ(PixelAt(image, CellRect(0, 1).topLeft() + QPoint(4, 4)), noteOff) << "nothing lit after Stop";
}

TEST_F(ViewTest, MuteAndSoloSwitchesAndKeysSilenceVoicesInTheStreamOnly)
{
    CRondoView& v = view();
    constexpr int64_t kStep = 150 * kMs;
    for (int r = 0; r < 3; ++r) Press(v.Cell(r, 8));
    v.OnStart();
    Clock().AdvanceTo(kStep + kMs);
    v.MuteSwitch(0)->click();  // by the mouse
    v.VoiceButton(2)->setFocus();
    QTest::keyClick(v.VoiceButton(2), Qt::Key_S);  // by the keyboard
    EXPECT_TRUE(doc().IsMuted(0));
    EXPECT_TRUE(doc().IsSolo(2));
    EXPECT_TRUE(v.SoloSwitch(2)->isChecked());
    Clock().AdvanceTo(10 * kStep);
    std::vector<int> sounded;
    for (const auto& sent : Clock().m_sent)
        if ((sent.msg & 0xF0) == 0x90 && (sent.msg >> 16) != 0) sounded.push_back(int((sent.msg >> 8) & 0x7F));
    EXPECT_EQ(sounded, std::vector<int>{54}) << "only the soloed voice, at step 8";
    EXPECT_FALSE(doc().History().RedoStep());
    EXPECT_EQ(command(ID_EDIT_UNDO).text(), QStringLiteral("&Undo Paint")) << "mute and solo are no steps";

    // A silent voice's cells are greyed; the export plays every voice.
    QApplication::processEvents();
    EXPECT_NE(PixelAt(Grab(), CellRect(0, 8).topLeft() + QPoint(4, 4)), QColor(255, 0, 255));
    EXPECT_EQ(PixelAt(Grab(), CellRect(2, 8).topLeft() + QPoint(4, 4)), QColor(255, 0, 255));
    v.OnStop();
    doc().BuildMidiFile(false);
    const smf::File exported = smf::Parse(std::vector<uint8_t>(doc().m_midiFile, doc().m_midiFile + doc().m_nDocSize));
    ASSERT_EQ(exported.error, "");
    std::vector<int> inFile;
    for (const smf::Event& e : exported.trackEvents[1])
        if (e.status == 0x99 && e.data[1] != 0) inFile.push_back(e.data[0]);
    EXPECT_EQ(inFile, (std::vector<int>{50, 52, 54}));

    // New hears every voice again.
    answers = {IRondoView::MsgResult::No};
    command(ID_LOOP_NEW).trigger();
    EXPECT_FALSE(v.MuteSwitch(0)->isChecked());
    EXPECT_FALSE(doc().IsMuted(0) || doc().IsSolo(2));
}

TEST(GridPaintingTest, ALongVoiceNameFitsItsButtonAndIsNeverCutAtItsStart)
{
    const QColor face(200, 200, 200);
    for (const QString& name : {QStringLiteral("ckABCDEFGHIJKLMN"), QStringLiteral("WWWWWWWWWWWWWWWW"), QStringLiteral("Kick")}) {
        QImage image(80, 24, QImage::Format_RGB32);
        image.fill(Qt::red);
        QPainter p(&image);
        QFont font = p.font();
        font.setPointSize(9);
        p.setFont(font);
        PaintVoiceButton(p, image.rect(), false, false, name, face);
        p.end();
        // The ink of the text lies inside the edges, with room on both sides.
        int left = image.width(), right = -1;
        for (int y = 3; y < image.height() - 3; ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() < 100 && c.green() < 100 && c.blue() < 100 && x > 1 && x < image.width() - 2) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
        ASSERT_LE(left, right) << name.toStdString() << ": some text is drawn";
        EXPECT_GE(left, 3) << name.toStdString();
        EXPECT_LE(right, image.width() - 4) << name.toStdString();
        QFont fitted = font;
        const QString shown = FitVoiceName(fitted, name, image.width() - 6);
        EXPECT_TRUE(shown == name || shown.startsWith(name.left(3))) << "cut at its end only: " << shown.toStdString();
    }
    QFont font;
    font.setPointSize(9);
    EXPECT_EQ(FitVoiceName(font, QStringLiteral("Kick"), 200), QStringLiteral("Kick"));
    EXPECT_EQ(font.pointSize(), 9) << "a name that fits keeps its size";
}
