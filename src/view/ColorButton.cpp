#include "view/ColorButton.h"

#include "view/DialogUnits.h"
#include "view/HoverTips.h"

#include <QColorDialog>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

namespace {

const QColor kBlack(0, 0, 0), kGrey(128, 128, 128), kWhite(255, 255, 255);

constexpr COLORREF Rgb(int r, int g, int b) { return COLORREF(r) | COLORREF(g) << 8 | COLORREF(b) << 16; }

constexpr std::array<COLORREF, CColorPopup::kSwatches> kInitialSwatches = {
    Rgb(0, 0, 0),       Rgb(128, 0, 0),     Rgb(0, 128, 0),     Rgb(128, 128, 0),   Rgb(0, 0, 128),
    Rgb(128, 0, 128),   Rgb(0, 128, 128),   Rgb(192, 192, 192), Rgb(192, 220, 192), Rgb(166, 202, 240),
    Rgb(255, 251, 240), Rgb(160, 160, 164), Rgb(128, 128, 128), Rgb(255, 0, 0),     Rgb(0, 255, 0),
    Rgb(255, 255, 0),   Rgb(0, 0, 255),     Rgb(255, 0, 255),   Rgb(0, 255, 255),   Rgb(255, 255, 255),
};

// Picked in this order the swatches recolour from the middle of the table
// outward.
constexpr std::array<uint8_t, CColorPopup::kSwatches> kInitialAges = {
    1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2,
};

constexpr int kSwatchX[4] = {1, 13, 25, 37};
constexpr int kSwatchY[5] = {1, 12, 24, 36, 48};

std::optional<QColor> RunColorDialog()
{
    const QColor color = QColorDialog::getColor(QColor(0, 0, 0), nullptr);
    if (!color.isValid()) return std::nullopt;
    return color;
}

} // namespace

// A swatch is nothing but its colour: no edge, focus or pressed look.
class CColorSwatch final : public QAbstractButton
{
public:
    CColorSwatch(CColorPopup& popup, int nIndex) : QAbstractButton(&popup), m_nIndex(nIndex)
    {
        setFocusPolicy(Qt::NoFocus);
        CHoverTips::SetControlId(this, CColorPopup::kFirstSwatchId + nIndex);
        connect(this, &QAbstractButton::clicked, &popup, [&popup, nIndex] { popup.OnSwatch(nIndex); });
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), ColorFromRef(CColorPopup::s_crSwatches[size_t(m_nIndex)]));
    }

private:
    int m_nIndex;
};

std::array<COLORREF, CColorPopup::kSwatches> CColorPopup::s_crSwatches = kInitialSwatches;
std::array<uint8_t, CColorPopup::kSwatches> CColorPopup::s_nSwatchAge = kInitialAges;
CColorPopup::ColorDialog CColorPopup::s_colorDialog;

void CColorPopup::ResetSwatches()
{
    s_crSwatches = kInitialSwatches;
    s_nSwatchAge = kInitialAges;
}

CColorPopup::CColorPopup(CColorButton* pOwner) : QDialog(pOwner, Qt::Popup | Qt::FramelessWindowHint), m_pOwner(pOwner)
{
    // The popup is a window of its own but dresses like its button.
    setAttribute(Qt::WA_WindowPropagation);
    // Like a drop-down, the click that dismisses the popup goes nowhere else;
    // on the button it would open the popup again.
    setAttribute(Qt::WA_NoMouseReplay);
    for (int i = 0; i < kSwatches; ++i) m_swatches[size_t(i)] = new CColorSwatch(*this, i);
    m_btnOther = new QPushButton(QStringLiteral("Other..."), this);
    CHoverTips::SetControlId(m_btnOther, kOtherId);
    connect(m_btnOther, &QPushButton::clicked, this, &CColorPopup::OnOther);
    LayOut();
}

QAbstractButton* CColorPopup::Swatch(int nIndex) const
{
    return m_swatches[size_t(nIndex)];
}

void CColorPopup::LayOut()
{
    const CDialogUnits du(fontMetrics());
    setFixedSize(du.X(49), du.Y(73));
    for (int i = 0; i < kSwatches; ++i) {
        CColorSwatch* pSwatch = m_swatches[size_t(i)];
        pSwatch->setGeometry(du.Rect(kSwatchX[i % 4], kSwatchY[i / 4], 11, 10));
        pSwatch->setAccessibleName(ColorFromRef(s_crSwatches[size_t(i)]).name());
    }
    m_btnOther->setGeometry(du.Rect(1, 60, 47, 11));
}

QPoint CColorPopup::PlaceAt(const QRect& rcOwner, const QSize& size, const QRect& rcScreen)
{
    QPoint at(rcOwner.left(), rcOwner.top() + rcOwner.height());
    if (rcScreen.isValid()) {
        if (at.y() + size.height() > rcScreen.top() + rcScreen.height()) at.setY(rcOwner.top() - size.height());
        if (at.x() + size.width() > rcScreen.left() + rcScreen.width())
            at.setX(rcScreen.left() + rcScreen.width() - size.width());
    }
    return at;
}

bool CColorPopup::Run()
{
    for (;;) {
        LayOut();
        const QScreen* pScreen = m_pOwner->screen();
        const QRect rcOwner(m_pOwner->mapToGlobal(QPoint(0, 0)), m_pOwner->size());
        move(PlaceAt(rcOwner, size(), pScreen ? pScreen->geometry() : QRect()));
        const int nResult = exec();
        if (nResult != kOtherResult) return nResult == QDialog::Accepted;

        // The popup cannot stay up under the colour dialog: it would take the
        // dialog's clicks. A cancelled dialog brings it back instead.
        const std::optional<QColor> color = s_colorDialog ? s_colorDialog() : RunColorDialog();
        if (color && color->isValid()) {
            m_nSelected = SwatchForColor(RefFromColor(*color));
            UpdateAges(m_nSelected);
            return true;
        }
    }
}

void CColorPopup::OnSwatch(int nIndex)
{
    if (nIndex < 0 || nIndex >= kSwatches) return;
    m_nSelected = nIndex;
    UpdateAges(nIndex);
    accept();
}

void CColorPopup::OnOther()
{
    done(kOtherResult);
}

void CColorPopup::UpdateAges(int nIndex)
{
    const uint8_t nAge = s_nSwatchAge[size_t(nIndex)];
    for (uint8_t& age : s_nSwatchAge) {
        if (age < nAge) ++age;
    }
    s_nSwatchAge[size_t(nIndex)] = 1;
}

int CColorPopup::SwatchForColor(COLORREF cr)
{
    for (int i = 0; i < kSwatches; ++i) {
        if (s_crSwatches[size_t(i)] == cr) return i;
    }
    int nOldest = 0;
    for (int i = 1; i < kSwatches; ++i) {
        if (s_nSwatchAge[size_t(i)] > s_nSwatchAge[size_t(nOldest)]) nOldest = i;
    }
    s_crSwatches[size_t(nOldest)] = cr;
    return nOldest;
}

void CColorPopup::mousePressEvent(QMouseEvent* pEvent)
{
    // While the popup is up every click comes here; one elsewhere dismisses it.
    if (!rect().contains(pEvent->position().toPoint())) {
        reject();
        return;
    }
    QDialog::mousePressEvent(pEvent);
}

void CColorPopup::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(palette().color(QPalette::Dark));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

CColorButton::CColorButton(QWidget* pParent) : QAbstractButton(pParent)
{
    setFocusPolicy(Qt::StrongFocus);
    m_pPopup = new CColorPopup(this);
    connect(this, &QAbstractButton::clicked, this, &CColorButton::OnClicked);
}

QSize CColorButton::sizeHint() const
{
    const CDialogUnits du(fontMetrics());
    return QSize(du.X(60), du.Y(12));
}

QSize CColorButton::minimumSizeHint() const
{
    // Room for the bar, the separator and the arrow.
    return QSize(32, 14);
}

void CColorButton::OnClicked()
{
    if (!m_pPopup->Run()) return;
    m_crColor = CColorPopup::s_crSwatches[size_t(m_pPopup->m_nSelected)];
    update();
}

void CColorButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    int L = 0, T = 0, R = width(), B = height();
    const bool bPressed = isDown();
    const bool bEnabled = isEnabled();

    // A rectangle without a pen leaves the right column and bottom row to the edge.
    p.fillRect(QRect(L, T, R - L - 1, B - T - 1), palette().color(QPalette::Button));
    PaintButtonEdge(p, QRect(L, T, R - L, B - T), bPressed);
    // The face's contents move with the press.
    if (bPressed) ++L, ++T, ++R, ++B;

    PaintPolyline(p, {{R - 10, T + 4}, {R - 10, B - 4}}, kWhite);
    PaintPolyline(p, {{R - 11, T + 4}, {R - 11, B - 4}}, kGrey);

    const QColor arrow = bEnabled ? kBlack : kGrey;
    const int M = B / 2;
    PaintPolyline(p, {{R - 4, M - 1}, {R - 9, M - 1}}, arrow);
    PaintPolyline(p, {{R - 5, M}, {R - 8, M}}, arrow);
    if (!bEnabled) {
        for (const QPoint& pt : {QPoint(R - 4, M - 1), QPoint(R - 5, M), QPoint(R - 6, M + 1)}) p.fillRect(pt.x(), pt.y(), 1, 1, kWhite);
    } else {
        p.fillRect(R - 6, M + 1, 1, 1, kBlack);
        const QRect bar(QPoint(L + 5, T + 4), QPoint(R - 16, B - 5));
        p.fillRect(bar, kBlack);
        p.fillRect(bar.adjusted(1, 1, -1, -1), ColorFromRef(m_crColor));
    }

    if (hasFocus()) {
        for (int x = L + 3; x < R - 4; x += 2) {
            p.fillRect(x, T + 3, 1, 1, kBlack);
            p.fillRect(x, B - 4, 1, 1, kBlack);
        }
        for (int y = T + 3; y < B - 4; y += 2) {
            p.fillRect(L + 3, y, 1, 1, kBlack);
            p.fillRect(R - 4, y, 1, 1, kBlack);
        }
    }
}
