#include "view/ColorButton.h"

#include <QApplication>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>

namespace {

constexpr COLORREF Rgb(int r, int g, int b) { return COLORREF(r) | COLORREF(g) << 8 | COLORREF(b) << 16; }

using Ages = std::array<uint8_t, CColorPopup::kSwatches>;

// The popup runs its own event loop: the action runs once it is up. A popup
// that never comes up fails the test instead of hanging it. The flag tells
// whether the action ran.
std::shared_ptr<bool> WhenPopupUp(std::function<void(CColorPopup&)> action)
{
    auto* pTimer = new QTimer;
    auto nTries = std::make_shared<int>(0);
    auto bRan = std::make_shared<bool>(false);
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, nTries, bRan, action] {
        auto* pPopup = qobject_cast<CColorPopup*>(QApplication::activePopupWidget());
        if (!pPopup && ++*nTries < 200) return;
        pTimer->stop();
        pTimer->deleteLater();
        if (!pPopup) {
            ADD_FAILURE() << "the popup did not come up";
            return;
        }
        *bRan = true;
        action(*pPopup);
    });
    pTimer->start(5);
    return bRan;
}

void Click(QWidget* pWidget)
{
    QTest::mouseClick(pWidget, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
}

QColor Pixel(const QImage& image, int x, int y)
{
    const qreal dpr = image.devicePixelRatio();
    return image.pixelColor(int(x * dpr), int(y * dpr));
}

} // namespace

class ColorButtonTest : public ::testing::Test
{
protected:
    void SetUp() override { CColorPopup::ResetSwatches(); }
    void TearDown() override
    {
        CColorPopup::s_colorDialog = nullptr;
        CColorPopup::ResetSwatches();
    }

    // "Other..." answered by the queued colours, nullopt for Cancel.
    void AnswerColorDialog()
    {
        CColorPopup::s_colorDialog = [this]() -> std::optional<QColor> {
            ++m_nDialogs;
            if (m_answers.empty()) return std::nullopt;
            const std::optional<QColor> answer = m_answers.front();
            m_answers.pop_front();
            return answer;
        };
    }

    void PickOther(CColorButton& button)
    {
        WhenPopupUp([](CColorPopup& popup) { Click(popup.OtherButton()); });
        button.click();
    }

    std::deque<std::optional<QColor>> m_answers;
    int m_nDialogs = 0;
};

TEST_F(ColorButtonTest, APickedSwatchBecomesTheColourAndTheMostRecent)
{
    CColorButton button;
    WhenPopupUp([](CColorPopup& popup) { Click(popup.Swatch(3)); });
    button.click();
    EXPECT_EQ(button.m_crColor, Rgb(128, 128, 0));
    EXPECT_FALSE(button.Popup()->isVisible());
    EXPECT_EQ(CColorPopup::s_nSwatchAge, (Ages{2, 4, 6, 1, 9, 11, 13, 15, 17, 19, 20, 18, 16, 14, 12, 10, 8, 7, 5, 3}))
        << "only the swatches picked more recently than it age";

    // The colour the button already shows: still OK, and it becomes the most recent.
    button.m_crColor = Rgb(255, 255, 255);
    WhenPopupUp([](CColorPopup& popup) { Click(popup.Swatch(19)); });
    EXPECT_TRUE(button.Popup()->Run());
    EXPECT_EQ(button.Popup()->m_nSelected, 19);
    EXPECT_EQ(CColorPopup::s_nSwatchAge, (Ages{3, 4, 6, 2, 9, 11, 13, 15, 17, 19, 20, 18, 16, 14, 12, 10, 8, 7, 5, 1}));

    // The tables are shared: another button sees the same ages.
    CColorButton other;
    WhenPopupUp([](CColorPopup& popup) { Click(popup.Swatch(10)); });
    other.click();
    EXPECT_EQ(other.m_crColor, Rgb(255, 251, 240));
    EXPECT_EQ(CColorPopup::s_nSwatchAge[10], 1);
    EXPECT_EQ(CColorPopup::s_nSwatchAge[19], 2);
}

TEST_F(ColorButtonTest, CustomColoursReplaceTheLeastRecentlyPickedSwatches)
{
    AnswerColorDialog();
    CColorButton button;
    std::vector<int> replaced;
    for (int i = 0; i < 21; ++i) {
        const COLORREF cr = Rgb(1, 2, 3 + i);
        m_answers.push_back(ColorFromRef(cr));
        PickOther(button);
        ASSERT_EQ(button.m_crColor, cr) << "custom colour " << i;
        replaced.push_back(button.Popup()->m_nSelected);
        ASSERT_EQ(CColorPopup::s_crSwatches[size_t(replaced.back())], cr);
        ASSERT_EQ(CColorPopup::s_nSwatchAge[size_t(replaced.back())], 1);
    }
    EXPECT_EQ(std::vector<int>(replaced.begin(), replaced.begin() + 5), (std::vector<int>{10, 9, 11, 8, 12}))
        << "from the middle of the table outward";
    std::vector<int> first20(replaced.begin(), replaced.begin() + 20);
    std::sort(first20.begin(), first20.end());
    EXPECT_EQ(std::adjacent_find(first20.begin(), first20.end()), first20.end()) << "twenty different swatches";
    EXPECT_EQ(replaced[20], replaced[0]) << "the 21st takes the place of the first";
    EXPECT_EQ(CColorPopup::s_crSwatches[size_t(replaced[1])], Rgb(1, 2, 4)) << "the second stays";

    // A dialog colour that a swatch already has picks that swatch.
    const auto swatches = CColorPopup::s_crSwatches;
    m_answers.push_back(ColorFromRef(Rgb(1, 2, 10)));
    PickOther(button);
    EXPECT_EQ(button.Popup()->m_nSelected, replaced[7]);
    EXPECT_EQ(CColorPopup::s_crSwatches, swatches) << "nothing replaced";
    EXPECT_EQ(CColorPopup::s_nSwatchAge[size_t(replaced[7])], 1);
}

TEST_F(ColorButtonTest, AColourDialogEqualToAnInitialSwatchReplacesNothing)
{
    AnswerColorDialog();
    CColorButton button;
    m_answers.push_back(QColor(128, 0, 0));
    PickOther(button);
    EXPECT_EQ(button.m_crColor, Rgb(128, 0, 0));
    EXPECT_EQ(button.Popup()->m_nSelected, 1);
    EXPECT_EQ(CColorPopup::s_crSwatches[10], Rgb(255, 251, 240)) << "the oldest swatch keeps its colour";
    EXPECT_EQ(CColorPopup::s_nSwatchAge[1], 1);
}

TEST_F(ColorButtonTest, ACancelledColourDialogReturnsToThePopup)
{
    AnswerColorDialog();
    CColorButton button;
    button.m_crColor = Rgb(9, 9, 9);
    m_answers.push_back(std::nullopt);
    WhenPopupUp([](CColorPopup& popup) {
        WhenPopupUp([](CColorPopup& again) { Click(again.Swatch(5)); });
        Click(popup.OtherButton());
    });
    button.click();
    EXPECT_EQ(m_nDialogs, 1);
    EXPECT_EQ(button.m_crColor, Rgb(128, 0, 128)) << "the popup took the pick after the cancelled dialog";
    EXPECT_EQ(CColorPopup::s_crSwatches[10], Rgb(255, 251, 240));
}

TEST_F(ColorButtonTest, AClickOutsideOrEscapeClosesThePopupWithoutAChange)
{
    QWidget window;
    window.resize(200, 100);
    CColorButton button(&window);
    button.setGeometry(10, 10, 80, 20);
    button.m_crColor = Rgb(9, 9, 9);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    // Through the window system: a click on the window below goes to the popup.
    WhenPopupUp([&window](CColorPopup&) {
        QTest::mouseClick(window.windowHandle(), Qt::LeftButton, Qt::NoModifier, QPoint(150, 80));
    });
    EXPECT_FALSE(button.Popup()->Run());
    EXPECT_FALSE(button.Popup()->isVisible());
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);

    WhenPopupUp([](CColorPopup& popup) { QTest::mouseClick(&popup, Qt::LeftButton, Qt::NoModifier, QPoint(-4, 5)); });
    button.click();
    // The keyboard: Space opens, Escape closes.
    const auto bOpened = WhenPopupUp([](CColorPopup& popup) { QTest::keyClick(&popup, Qt::Key_Escape); });
    QTest::keyClick(&button, Qt::Key_Space);
    EXPECT_TRUE(*bOpened);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(button.m_crColor, Rgb(9, 9, 9));
    EXPECT_EQ(CColorPopup::s_nSwatchAge, (Ages{1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2}));
}

TEST_F(ColorButtonTest, ThePopupOpensBelowTheButtonAndStaysOnTheScreen)
{
    QWidget window;
    window.resize(120, 40);
    CColorButton button(&window);
    button.setGeometry(10, 10, 100, 20);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect screen = button.screen()->geometry();

    auto placeAndClose = [&](const QPoint& windowAt) {
        window.move(windowAt);
        QApplication::processEvents();
        QRect placed;
        WhenPopupUp([&placed](CColorPopup& popup) {
            placed = popup.geometry();
            popup.reject();
        });
        button.click();
        return std::make_pair(placed, QRect(button.mapToGlobal(QPoint(0, 0)), button.size()));
    };

    auto [popup, owner] = placeAndClose(screen.topLeft() + QPoint(50, 50));
    EXPECT_EQ(popup.topLeft(), QPoint(owner.left(), owner.bottom() + 1)) << "its top left at the button's bottom left";
    const QSize size = popup.size();
    EXPECT_GT(size.width(), owner.width() / 2);

    std::tie(popup, owner) = placeAndClose(QPoint(screen.right() - 60, screen.bottom() - 40));
    EXPECT_EQ(popup.right(), screen.right()) << "pushed left to the screen's edge";
    EXPECT_EQ(popup.bottom() + 1, owner.top()) << "above the button near the bottom";
    EXPECT_EQ(popup.size(), size);

    // On a second screen, which does not start at the origin.
    EXPECT_EQ(CColorPopup::PlaceAt(QRect(1900, 1000, 60, 19), QSize(80, 120), QRect(1024, 0, 1280, 1024)),
              QPoint(1900, 880));
    EXPECT_EQ(CColorPopup::PlaceAt(QRect(2280, 100, 60, 19), QSize(80, 120), QRect(1024, 0, 1280, 1024)),
              QPoint(2224, 119));
}

TEST_F(ColorButtonTest, TheButtonShowsItsColourInARaisedOrSunkenFace)
{
    QWidget window;
    CColorButton button(&window);
    button.setGeometry(0, 0, 90, 21);
    button.m_crColor = Rgb(255, 0, 0);
    const QColor black(0, 0, 0), grey(128, 128, 128), white(255, 255, 255), red(255, 0, 0);
    const QColor face = button.palette().color(QPalette::Button);
    const int R = 90, B = 21, M = B / 2;

    QImage image = button.grab().toImage();
    EXPECT_EQ(Pixel(image, R - 1, B - 1), black);
    EXPECT_EQ(Pixel(image, R - 2, B - 2), grey);
    EXPECT_EQ(Pixel(image, 1, 1), white);
    EXPECT_EQ(Pixel(image, R - 10, 6), white) << "separator";
    EXPECT_EQ(Pixel(image, R - 11, 6), grey) << "separator";
    EXPECT_EQ(Pixel(image, 5, 8), black) << "the bar's outline";
    EXPECT_EQ(Pixel(image, 10, 8), red) << "the bar";
    EXPECT_EQ(Pixel(image, R - 16, 8), black) << "the bar's right edge";
    EXPECT_EQ(Pixel(image, R - 15, 8), face);
    EXPECT_EQ(Pixel(image, R - 8, M - 1), black) << "the arrow";
    EXPECT_EQ(Pixel(image, R - 6, M + 1), black) << "the arrow's tip";
    EXPECT_EQ(Pixel(image, R - 9, M - 1), face);

    // Pressed: sunken, and the inside moves a pixel right and down.
    button.setDown(true);
    image = button.grab().toImage();
    EXPECT_EQ(Pixel(image, 0, 0), grey);
    EXPECT_EQ(Pixel(image, 1, 1), black);
    EXPECT_EQ(Pixel(image, R - 1, B - 1), white);
    EXPECT_EQ(Pixel(image, R - 9, 7), white) << "separator";
    EXPECT_EQ(Pixel(image, R - 5, (B + 1) / 2 + 1), black) << "the arrow's tip";
    EXPECT_EQ(Pixel(image, 6, 9), black) << "the bar's outline";
    button.setDown(false);

    // Disabled: no bar, and an etched arrow.
    button.setEnabled(false);
    image = button.grab().toImage();
    EXPECT_EQ(Pixel(image, 10, 8), face);
    EXPECT_EQ(Pixel(image, 5, 8), face);
    EXPECT_EQ(Pixel(image, R - 8, M - 1), grey);
    EXPECT_EQ(Pixel(image, R - 4, M - 1), white);
    EXPECT_EQ(Pixel(image, R - 6, M + 1), white);
}
