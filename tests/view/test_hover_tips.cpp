#include "view/HoverTips.h"

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPushButton>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Counts what happens to the tip widget between two moves.
class EventCounter final : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Show || pEvent->type() == QEvent::Hide || pEvent->type() == QEvent::Move)
            ++m_nEvents;
        return false;
    }
    int m_nEvents = 0;
};

} // namespace

class HoverTipsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_parent.resize(300, 200);
        m_tips.Attach(&m_parent);
        QFont font = m_parent.font();
        font.setPointSize(9);
        m_tips.SetTipFont(font);
        m_parent.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_parent));
    }

    QWidget* AddControl(int nId, const QRect& rc)
    {
        auto* pControl = new QPushButton(QString::number(nId), &m_parent);
        pControl->setGeometry(rc);
        pControl->show();
        CHoverTips::SetControlId(pControl, nId);
        return pControl;
    }

    // The rectangle where a tip of these lines hangs from a control at rc,
    // before it is pulled back inside the parent.
    QRect Hanging(const QRect& rc, const QStringList& lines) const
    {
        const QSize size = TipSize(lines);
        return QRect(rc.left() + rc.width() * 8 / 10, rc.bottom() + 1 - rc.width() * 2 / 10, size.width(), size.height());
    }

    QSize TipSize(const QStringList& lines) const
    {
        const QFontMetrics fm(m_tips.m_lf, &m_parent);
        int nWidest = 0;
        for (const QString& line : lines) nWidest = std::max(nWidest, fm.horizontalAdvance(line));
        return QSize(nWidest + 10, int(lines.size()) * 9 + 10);
    }

    QWidget m_parent;
    CHoverTips m_tips;
};

TEST_F(HoverTipsTest, TheTipOfTheControlUnderThePointerShowsOneAtATime)
{
    EXPECT_EQ(m_tips.m_nLineHeight, 9) << "the size in points is the line advance";
    const QRect rcA(10, 10, 60, 20), rcC(100, 60, 50, 20);
    AddControl(101, rcA);
    AddControl(102, QRect(100, 10, 60, 20));
    QWidget* pC = AddControl(103, rcC);
    pC->setEnabled(false);
    m_tips.AddTip(101, {QStringLiteral("Closed Hi-Hat")});
    m_tips.AddTip(103, {QStringLiteral("Low Tom"), QStringLiteral("second line")});
    m_tips.AddTip(101, {QStringLiteral("never shown")});

    m_tips.RelayMouseMove(QPoint(20, 15));
    EXPECT_EQ(m_tips.m_nCurId, 101);
    EXPECT_EQ(m_tips.ShownTipText(), QStringList{QStringLiteral("Closed Hi-Hat")}) << "the first tip of the id";
    const QRect tipA = Hanging(rcA, {QStringLiteral("Closed Hi-Hat")});
    EXPECT_EQ(m_tips.ShownTipRect(), tipA);
    EXPECT_EQ(QSize(m_tips.m_nTipWidth, m_tips.m_nTipHeight), tipA.size());
    EXPECT_EQ(m_parent.children().last(), m_tips.TipWidget()) << "above the controls";
    EXPECT_NE(m_parent.childAt(tipA.center()), m_tips.TipWidget()) << "clicks go through the tip";

    // Within the same control nothing happens again.
    EventCounter counter;
    m_tips.TipWidget()->installEventFilter(&counter);
    m_tips.RelayMouseMove(QPoint(60, 25));
    EXPECT_EQ(counter.m_nEvents, 0);
    EXPECT_EQ(m_tips.ShownTipRect(), tipA);

    // Outside the parent the tip stays.
    m_tips.RelayMouseMove(QPoint(-3, 15));
    m_tips.RelayMouseMove(QPoint(150, 250));
    EXPECT_EQ(m_tips.ShownTipRect(), tipA);

    // A control without a tip hides it, and so does the bare parent.
    m_tips.RelayMouseMove(QPoint(110, 15));
    EXPECT_TRUE(m_tips.ShownTipRect().isNull());
    EXPECT_EQ(m_tips.m_nCurId, 0);
    EXPECT_EQ(m_tips.m_nTipWidth, 0);
    EXPECT_EQ(m_tips.m_nTipHeight, 0);
    m_tips.RelayMouseMove(QPoint(20, 15));
    EXPECT_FALSE(m_tips.ShownTipRect().isNull());
    m_tips.RelayMouseMove(QPoint(250, 150));
    EXPECT_TRUE(m_tips.ShownTipRect().isNull());

    // Straight from one tip to another; a disabled control has its tip too.
    m_tips.RelayMouseMove(QPoint(20, 15));
    m_tips.RelayMouseMove(QPoint(120, 70));
    EXPECT_EQ(m_tips.m_nCurId, 103);
    EXPECT_EQ(m_tips.ShownTipText(), (QStringList{QStringLiteral("Low Tom"), QStringLiteral("second line")}));
    EXPECT_EQ(m_tips.ShownTipRect(), Hanging(rcC, {QStringLiteral("Low Tom"), QStringLiteral("second line")}));
    EXPECT_EQ(m_tips.m_nTipHeight, 2 * 9 + 10);

    // The control under the pointer is found even while hidden.
    pC->hide();
    m_tips.RelayMouseMove(QPoint(250, 150));
    m_tips.RelayMouseMove(QPoint(120, 70));
    EXPECT_EQ(m_tips.m_nCurId, 103);
}

TEST_F(HoverTipsTest, TipsArePulledBackInsideTheParent)
{
    const QStringList word{QStringLiteral("Hand Clap")};
    const QSize size = TipSize(word);

    // At the right edge the tip ends at the control's centre.
    const QRect rcRight(250, 40, 40, 20);
    AddControl(1, rcRight);
    m_tips.AddTip(1, word);
    m_tips.RelayMouseMove(rcRight.center());
    ASSERT_GT(rcRight.left() + 32 + size.width(), 300) << "the tip must not fit beside the control";
    EXPECT_EQ(m_tips.ShownTipRect(), QRect(QPoint(270 - size.width(), 52), size));

    // At the bottom its bottom is one pixel above the parent's.
    const QRect rcBottom(10, 180, 60, 18);
    AddControl(2, rcBottom);
    m_tips.AddTip(2, word);
    m_tips.RelayMouseMove(rcBottom.center());
    EXPECT_EQ(m_tips.ShownTipRect(), QRect(QPoint(58, 199 - size.height()), size));

    // Too wide to end at the centre: it starts one pixel inside the left edge.
    const QStringList wide{QString(60, QLatin1Char('W'))};
    ASSERT_GT(TipSize(wide).width(), 300);
    const QRect rcLeft(0, 100, 30, 20);
    AddControl(3, rcLeft);
    m_tips.AddTip(3, wide);
    m_tips.RelayMouseMove(rcLeft.center());
    EXPECT_EQ(m_tips.ShownTipRect(), QRect(QPoint(1, 114), TipSize(wide)));
}

TEST_F(HoverTipsTest, TipsAreDrawnInTheirOwnOrTheTooltipColours)
{
    const QPalette saved = QToolTip::palette();
    QPalette palette = saved;
    palette.setColor(QPalette::ToolTipBase, QColor(250, 240, 10));
    palette.setColor(QPalette::ToolTipText, QColor(20, 30, 200));
    QToolTip::setPalette(palette);
    AddControl(1, QRect(10, 10, 60, 20));
    AddControl(2, QRect(10, 100, 60, 20));
    m_tips.AddTip(1, {QStringLiteral("Cowbell")});
    QToolTip::setPalette(saved);
    m_tips.AddTip(2, {QStringLiteral("Claves")}, int(0x00FF00), int(0x0000FF));

    auto pixels = [this](const QPoint& at) {
        const QImage image = m_tips.TipWidget()->grab().toImage();
        const qreal dpr = image.devicePixelRatio();
        return image.pixelColor(int(at.x() * dpr), int(at.y() * dpr));
    };
    m_tips.RelayMouseMove(QPoint(15, 15));
    const QSize size = m_tips.ShownTipRect().size();
    EXPECT_EQ(pixels(QPoint(2, 1)), QColor(250, 240, 10)) << "taken when the tip was added";
    EXPECT_EQ(pixels(QPoint(0, 3)), QColor(20, 30, 200)) << "the frame in the text colour";
    EXPECT_EQ(pixels(QPoint(size.width() - 1, size.height() - 1)), QColor(20, 30, 200));

    m_tips.RelayMouseMove(QPoint(15, 105));
    EXPECT_EQ(pixels(QPoint(2, 1)), QColor(0, 255, 0));
    EXPECT_EQ(pixels(QPoint(0, 3)), QColor(255, 0, 0));
}
