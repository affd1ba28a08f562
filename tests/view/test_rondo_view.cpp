#include "app/AppFixture.h"
#include "view/Commands.h"
#include "view/GridButtons.h"
#include "view/PropSheetHost.h"

#include <QImage>
#include <QLabel>
#include <QStatusBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
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

TEST_F(ViewTest, ACellTogglesAgainWhenThePointerComesBackWhileHeld)
{
    CBeatCell* pCell = view().Cell(0, 0);
    const QPoint inside(3, 3), outside(pCell->width() + 40, 3);
    QTest::mousePress(pCell, Qt::LeftButton, Qt::NoModifier, inside);
    EXPECT_TRUE(doc().IsCellOn(0, 0));
    for (const QPoint& at : {outside, inside}) {
        QMouseEvent move(QEvent::MouseMove, at, pCell->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(pCell, &move);
    }
    EXPECT_FALSE(doc().IsCellOn(0, 0)) << "drawn pressed a second time";
    QTest::mouseRelease(pCell, Qt::LeftButton, Qt::NoModifier, inside);
    EXPECT_FALSE(doc().IsCellOn(0, 0)) << "the release does not toggle";
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
