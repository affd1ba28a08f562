#include "app/AppFixture.h"
#include "sheet/AboutDlg.h"

#include <QFile>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTemporaryDir>
#include <QTimer>

namespace {

void MoveTo(QWidget* pWidget, const QPoint& at)
{
    QMouseEvent move(QEvent::MouseMove, at, pWidget->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(pWidget, &move);
}

bool HasLabel(const QWidget& dlg, const QString& text)
{
    for (const QLabel* pLabel : dlg.findChildren<QLabel*>()) {
        if (pLabel->text() == text) return true;
    }
    return false;
}

// Whether the link's drawing uses exactly this colour somewhere (the underline at least).
bool Draws(CStaticLink& link, const QColor& color)
{
    const QImage image = link.grab().toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == color) return true;
        }
    }
    return false;
}

const QColor kBlue(0, 0, 255);
const QColor kPurple(128, 0, 128);

} // namespace

class AboutTest : public AppTest
{
protected:
    bool visited[2] = {false, false};
    std::vector<QUrl> opened;
    std::function<void()> failLater;  // what the opener calls when it learns the target did not open
    void Opens(CAboutDlg& dlg, bool bResult)
    {
        for (CStaticLink* pLink : {&dlg.m_linkMail, &dlg.m_linkWeb}) {
            pLink->m_openUrl = [this, bResult](const QUrl& url, const std::function<void()>& onFailed) {
                opened.push_back(url);
                failLater = onFailed;
                return bResult;
            };
        }
    }
};

TEST_F(AboutTest, ShowsTheVersionAndTheRealWordSize)
{
    CAboutDlg dlg(visited);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("About Rondo"));
    EXPECT_TRUE(HasLabel(dlg, QStringLiteral("Rondo Version 2.4")));
    const QString bits = QString::number(sizeof(void*) * 8);
    EXPECT_TRUE(HasLabel(dlg, QStringLiteral("A %1 bit application\n\nby Quillon Software").arg(bits)));
}

TEST_F(AboutTest, AnOpenedLinkTurnsPurpleForTheRestOfTheRun)
{
    {
        CAboutDlg dlg(visited);
        Opens(dlg, true);
        EXPECT_TRUE(Draws(dlg.m_linkMail, kBlue));
        EXPECT_FALSE(Draws(dlg.m_linkMail, kPurple));
        QTest::mouseClick(&dlg.m_linkMail, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0].toString(), QStringLiteral("mailto:rondo@quillon.example"));
        EXPECT_TRUE(visited[0]);
        EXPECT_FALSE(visited[1]);
        EXPECT_TRUE(Draws(dlg.m_linkMail, kPurple));
        EXPECT_TRUE(Draws(dlg.m_linkWeb, kBlue));

        // A second click does not stack another scheme on the target.
        QTest::mouseClick(&dlg.m_linkMail, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        EXPECT_EQ(opened.back().toString(), QStringLiteral("mailto:rondo@quillon.example"));
    }
    CAboutDlg again(visited);
    EXPECT_TRUE(Draws(again.m_linkMail, kPurple));
    EXPECT_FALSE(Draws(again.m_linkMail, kBlue));

    // From the keyboard: the web page opens as it is written.
    Opens(again, true);
    QTest::keyClick(&again.m_linkWeb, Qt::Key_Space);
    EXPECT_EQ(opened.back(), QUrl(QStringLiteral("https://www.quillon.example/rondo/")));
    EXPECT_TRUE(visited[1]);
}

TEST_F(AboutTest, ALinkThatCannotBeOpenedStaysBlue)
{
    CAboutDlg dlg(visited);
    Opens(dlg, false);
    QTest::mouseClick(&dlg.m_linkWeb, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_FALSE(visited[1]);
    EXPECT_TRUE(Draws(dlg.m_linkWeb, kBlue));

    // Text that is no address is not handed on at all.
    Opens(dlg, true);
    opened.clear();
    dlg.m_linkWeb.m_link = QStringLiteral("not a link");
    dlg.m_linkWeb.OnClicked();
    EXPECT_TRUE(opened.empty());
    EXPECT_FALSE(visited[1]);
}

TEST_F(AboutTest, TheHandShowsOverALinkExceptForASecondAfterAClick)
{
    CAboutDlg dlg(visited);
    Opens(dlg, true);
    CStaticLink& link = dlg.m_linkMail;
    MoveTo(&link, QPoint(3, 3));
    EXPECT_TRUE(link.m_bHover);
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
    MoveTo(&link, QPoint(-4, 3));
    EXPECT_FALSE(link.m_bHover);
    EXPECT_EQ(link.cursor().shape(), Qt::ArrowCursor);

    MoveTo(&link, QPoint(3, 3));
    QTest::mouseClick(&link, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    EXPECT_EQ(link.cursor().shape(), Qt::ArrowCursor);
    MoveTo(&link, QPoint(4, 3));
    EXPECT_FALSE(link.m_bHover) << "locked after the click";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !link.m_bClickLock; }, 3000));
    MoveTo(&link, QPoint(4, 3));
    EXPECT_TRUE(link.m_bHover);
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(AboutTest, TheAboutCommandKeepsTheFramesVisitedFlags)
{
    std::vector<QUrl> urls;
    frame().m_openUrl = [&](const QUrl& url, const std::function<void()>&) {
        urls.push_back(url);
        return true;
    };
    bool bWebPurple[2] = {};
    const auto run = [&](int nRun) {
        QTimer::singleShot(0, [&, nRun] {
            auto* pDlg = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            ASSERT_NE(pDlg, nullptr);
            bWebPurple[nRun] = pDlg->m_linkWeb.TextColor() == kPurple;
            if (nRun == 0) pDlg->m_linkWeb.OnClicked();
            pDlg->findChild<QPushButton*>()->click();
        });
        command(CMainFrame::ID_APP_ABOUT).trigger();
    };
    run(0);
    run(1);
    EXPECT_EQ(urls.size(), 1u) << "the frame's opener serves the links";
    EXPECT_FALSE(bWebPurple[0]);
    EXPECT_TRUE(bWebPurple[1]);
    EXPECT_TRUE(frame().m_bVisited[1]);
    EXPECT_FALSE(frame().m_bVisited[0]);
}

TEST_F(AboutTest, ALinkWhoseOpenerFailsLaterStaysUnvisited)
{
    CAboutDlg dlg(visited);
    Opens(dlg, true);
    dlg.m_linkWeb.OnClicked();
    EXPECT_TRUE(visited[1]);
    ASSERT_TRUE(failLater);
    failLater();  // the desktop's opener ended with an error
    EXPECT_FALSE(visited[1]);
    EXPECT_EQ(dlg.m_linkWeb.TextColor(), dlg.m_linkWeb.m_colorUnvisited);

    // Also when the box was closed before the opener ended.
    {
        CAboutDlg gone(visited);
        Opens(gone, true);
        gone.m_linkMail.OnClicked();
    }
    EXPECT_TRUE(visited[0]);
    failLater();
    EXPECT_FALSE(visited[0]);
}

// The desktop's own opener, run as the program runs it: a stand-in
// xdg-open on the PATH that succeeds or fails as told.
TEST(OpenUrlOnDesktop, ReportsAnOpenerThatEndsWithAnError)
{
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit());
    const auto opener = [&](int nExitCode) {
        QFile script(bin.filePath(QStringLiteral("xdg-open")));
        EXPECT_TRUE(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write(QStringLiteral("#!/bin/sh\necho \"$1\" > '%1/url'\nexit %2\n").arg(bin.path()).arg(nExitCode).toLocal8Bit());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    for (int nExitCode : {0, 4}) {
        opener(nExitCode);
        bool bFailed = false;
        ASSERT_TRUE(OpenUrlOnDesktop(QUrl(QStringLiteral("https://www.quillon.example/rondo/")), [&] { bFailed = true; }));
        QTRY_VERIFY(QFile::exists(bin.filePath(QStringLiteral("url"))));
        if (nExitCode != 0) {
            QTRY_VERIFY(bFailed);
        } else {
            QTest::qWait(300);  // time enough for a failure to be reported
            EXPECT_FALSE(bFailed);
        }
        EXPECT_EQ(rondo_test::ReadFile(bin.filePath(QStringLiteral("url"))), QByteArray("https://www.quillon.example/rondo/\n"));
        QFile::remove(bin.filePath(QStringLiteral("url")));
    }
    QFile::remove(bin.filePath(QStringLiteral("xdg-open")));
    EXPECT_FALSE(OpenUrlOnDesktop(QUrl(QStringLiteral("https://www.quillon.example/")), [] {})) << "no opener at all";
    qputenv("PATH", oldPath);
}
