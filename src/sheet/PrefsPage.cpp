#include "sheet/PrefsPage.h"

#include "doc/RondoDoc.h"
#include "settings/Ansi.h"
#include "settings/SettingsStore.h"
#include "sheet/NotesPage.h"
#include "view/ColorButton.h"
#include "view/DialogUnits.h"
#include "view/RondoView.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

// A right-aligned caption ending where rc ends; a font wider than the form
// was drawn for pushes its start to the left rather than clipping it.
QLabel* AddLabel(QWidget* pPage, const QString& text, QRect rc)
{
    auto* pLabel = new QLabel(text, pPage);
    pLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    const int needed = pLabel->fontMetrics().horizontalAdvance(text) + 2;
    if (needed > rc.width()) rc.setLeft(rc.right() + 1 - needed);
    pLabel->setGeometry(rc);
    return pLabel;
}

} // namespace

CPrefsPage::CPrefsPage(CRondoView& view, CNotesPage& notesPage, QWidget* pParent)
    : QWidget(pParent), m_view(view), m_notesPage(notesPage)
{
    const CDialogUnits du(fontMetrics());
    setFixedSize(du.X(176), du.Y(249));

    // Group boxes first: the controls inside lie above them.
    (new QGroupBox(QStringLiteral("Personalize Your Loop"), this))->setGeometry(du.Rect(4, 4, 164, 56));
    (new QGroupBox(QStringLiteral("Personalize Your Colors"), this))->setGeometry(du.Rect(4, 64, 166, 111));
    (new QGroupBox(QStringLiteral("Document Saving"), this))->setGeometry(du.Rect(5, 185, 164, 28));

    auto addEdit = [&](const QString& caption, int y) {
        QLabel* pLabel = AddLabel(this, caption, du.Rect(15, y + 2, 35, 10));
        auto* pEdit = new QLineEdit(this);
        pEdit->setGeometry(du.Rect(55, y, 105, 12));
        pEdit->setMaxLength(kTextLimit);
        pLabel->setBuddy(pEdit);
        return pEdit;
    };
    m_editComposer = addEdit(QStringLiteral("Composer:"), 15);
    m_editCompany = addEdit(QStringLiteral("Company:"), 30);
    m_editLoopTitle = addEdit(QStringLiteral("Loop Title:"), 45);

    auto addColor = [&](const QString& caption, QRect rcLabel, int y) {
        QLabel* pLabel = AddLabel(this, caption, rcLabel);
        auto* pButton = new CColorButton(this);
        pButton->setGeometry(du.Rect(100, y, 60, 12));
        pButton->setAccessibleName(caption.chopped(1));
        pLabel->setBuddy(pButton);
        return pButton;
    };
    m_btnNote = addColor(QStringLiteral("Note:"), du.Rect(60, 78, 35, 8), 75);
    m_btnNoteOn = addColor(QStringLiteral("Note On Background:"), du.Rect(20, 97, 75, 9), 95);
    m_btnNoteOff = addColor(QStringLiteral("Note Off Background:"), du.Rect(20, 117, 75, 9), 115);
    m_btnPitchSel = addColor(QStringLiteral("Pitch Selection:"), du.Rect(30, 137, 65, 8), 135);
    m_btnPitchUnSel = addColor(QStringLiteral("Pitch UnSelection:"), du.Rect(30, 157, 65, 8), 155);

    m_checkNoSavePrompt = new QCheckBox(QStringLiteral("Do not prompt for saving Loop"), this);
    m_checkNoSavePrompt->setGeometry(du.Rect(21, 198, 124, 8));

    m_btnApply = new QPushButton(QStringLiteral("Apply"), this);
    m_btnApply->setGeometry(du.Rect(105, 225, 55, 15));
    connect(m_btnApply, &QPushButton::clicked, this, &CPrefsPage::OnApplyButton);
}

bool CPrefsPage::OnInitDialog()
{
    m_btnNote->m_crColor = m_view.m_crNote;
    m_btnNoteOn->m_crColor = m_view.m_crNoteOn;
    m_btnNoteOff->m_crColor = m_view.m_crNoteOff;
    m_btnPitchSel->m_crColor = m_notesPage.m_crPitchSel;
    m_btnPitchUnSel->m_crColor = m_notesPage.m_crPitchUnSel;

    const CRondoDoc& doc = m_view.GetDocument();
    m_strComposer = ansi::ToUnicode(doc.m_strComposer);
    m_strLoopTitle = ansi::ToUnicode(doc.m_strLoopTitle);
    m_strCompany = ansi::ToUnicode(doc.m_strCompany);
    m_bNoSavePrompt = doc.m_bNoSavePrompt ? 1 : 0;
    return UpdateData(false);
}

bool CPrefsPage::UpdateData(bool bSaveAndValidate)
{
    if (bSaveAndValidate) {
        m_strComposer = m_editComposer->text().left(kTextLimit);
        m_strLoopTitle = m_editLoopTitle->text().left(kTextLimit);
        m_strCompany = m_editCompany->text().left(kTextLimit);
        m_bNoSavePrompt = m_checkNoSavePrompt->isChecked() ? 1 : 0;
    } else {
        m_editComposer->setText(m_strComposer);
        m_editLoopTitle->setText(m_strLoopTitle);
        m_editCompany->setText(m_strCompany);
        m_checkNoSavePrompt->setChecked(m_bNoSavePrompt != 0);
        for (CColorButton* pButton : {m_btnNote, m_btnNoteOn, m_btnNoteOff, m_btnPitchSel, m_btnPitchUnSel})
            pButton->update();
    }
    return true;
}

void CPrefsPage::OnApplyButton()
{
    UpdateData(true);
    CRondoDoc& doc = m_view.GetDocument();
    CSettingsStore& settings = doc.Settings();

    doc.m_strComposer = ansi::Bounded(ansi::FromUnicode(m_strComposer), CRondoDoc::kTextMax);
    doc.m_strLoopTitle = ansi::Bounded(ansi::FromUnicode(m_strLoopTitle), CRondoDoc::kTextMax);
    doc.m_strCompany = ansi::Bounded(ansi::FromUnicode(m_strCompany), CRondoDoc::kTextMax);
    settings.SetString(QStringLiteral("Prefs"), QStringLiteral("Composer"), m_strComposer);
    settings.SetString(QStringLiteral("Prefs"), QStringLiteral("Company"), m_strCompany);
    settings.SetString(QStringLiteral("Prefs"), QStringLiteral("LoopTitle"), m_strLoopTitle);

    const COLORREF crNote = m_btnNote->m_crColor;
    const COLORREF crNoteOn = m_btnNoteOn->m_crColor;
    const COLORREF crNoteOff = m_btnNoteOff->m_crColor;
    const COLORREF crPitchSel = m_btnPitchSel->m_crColor;
    const COLORREF crPitchUnSel = m_btnPitchUnSel->m_crColor;
    const bool bGridChanged =
        crNote != m_view.m_crNote || crNoteOn != m_view.m_crNoteOn || crNoteOff != m_view.m_crNoteOff;

    const QString color = QStringLiteral("Color");
    settings.SetInt(color, QStringLiteral("Note"), int(crNote));
    settings.SetInt(color, QStringLiteral("NoteOn"), int(crNoteOn));
    settings.SetInt(color, QStringLiteral("NoteOff"), int(crNoteOff));
    settings.SetInt(color, QStringLiteral("PitchSel"), int(crPitchSel));
    settings.SetInt(color, QStringLiteral("PitchUnSel"), int(crPitchUnSel));
    settings.SetInt(QStringLiteral("Doc"), QStringLiteral("Save"), m_bNoSavePrompt);

    doc.m_bNoSavePrompt = m_bNoSavePrompt != 0;
    m_view.m_crNote = crNote;
    m_view.m_crNoteOn = crNoteOn;
    m_view.m_crNoteOff = crNoteOff;
    // The Notes page paints with these when it is next shown.
    m_notesPage.m_crPitchSel = crPitchSel;
    m_notesPage.m_crPitchUnSel = crPitchUnSel;

    if (bGridChanged) m_view.InvalidateView();
}
