#pragma once

#include "view/GridPainting.h"

#include <QAbstractButton>
#include <QDialog>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

class CColorButton;
class CColorSwatch;
class QPushButton;

// The drop-down of a colour button: twenty swatches and "Other...". The
// swatches are shared by every colour button of the run, the least recently
// picked one giving way to a colour from the colour dialog.
class CColorPopup final : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kSwatches = 20;
    static constexpr int kFirstSwatchId = 5101;
    static constexpr int kOtherId = 5121;

    // The swatch colours and how recently each was picked (1 = last, 20 =
    // least); the ages are always a permutation of 1..20.
    static std::array<COLORREF, kSwatches> s_crSwatches;
    static std::array<uint8_t, kSwatches> s_nSwatchAge;
    // Back to the colours and ages every run starts with.
    static void ResetSwatches();

    // The colour dialog behind "Other...": nullopt when cancelled. Unset, the
    // real dialog opens.
    using ColorDialog = std::function<std::optional<QColor>()>;
    static ColorDialog s_colorDialog;

    explicit CColorPopup(CColorButton* pOwner);

    // Shows the popup at its owner until a swatch is picked (true, the index
    // in m_nSelected) or it is dismissed (false). A cancelled colour dialog
    // brings the popup back.
    bool Run();

    // Where the popup opens for an owner occupying rcOwner (global
    // coordinates): below it, above it when it would leave the screen at the
    // bottom, pulled left at the screen's right edge.
    static QPoint PlaceAt(const QRect& rcOwner, const QSize& size, const QRect& rcScreen);

    // What the swatches and "Other..." do when clicked.
    void OnSwatch(int nIndex);
    void OnOther();

    QAbstractButton* Swatch(int nIndex) const;
    QPushButton* OtherButton() const { return m_btnOther; }

    CColorButton* m_pOwner;
    int m_nSelected = 0;

    // A picked swatch becomes the most recent; the younger ones age by one.
    static void UpdateAges(int nIndex);
    // The swatch of colour cr, or the least recently picked one recoloured.
    static int SwatchForColor(COLORREF cr);

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void paintEvent(QPaintEvent* pEvent) override;

private:
    // The exec() result that asks Run() for the colour dialog.
    static constexpr int kOtherResult = 2;

    void LayOut();

    std::array<CColorSwatch*, kSwatches> m_swatches{};
    QPushButton* m_btnOther = nullptr;
};

// A push button that shows a colour and picks another from its popup. It
// tells no one: the owner reads m_crColor when it needs it.
class CColorButton final : public QAbstractButton
{
    Q_OBJECT

public:
    explicit CColorButton(QWidget* pParent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    CColorPopup* Popup() const { return m_pPopup; }

    COLORREF m_crColor = 0xFFFFFF;

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    void OnClicked();

    CColorPopup* m_pPopup;
};
