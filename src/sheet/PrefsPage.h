#pragma once

#include "view/GridPainting.h"

#include <QString>
#include <QWidget>

class CColorButton;
class CNotesPage;
class CRondoView;
class QCheckBox;
class QLineEdit;
class QPushButton;

// The texts that go into saved loops and exported files, the five colours
// and the save prompt. Nothing takes effect before "Apply".
class CPrefsPage final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kTextLimit = 80;

    // notesPage is the sheet's Notes page: its colours are two of the five.
    CPrefsPage(CRondoView& view, CNotesPage& notesPage, QWidget* pParent = nullptr);

    bool OnInitDialog();
    // Controls to members (bSaveAndValidate) or members to controls.
    bool UpdateData(bool bSaveAndValidate);
    void OnApplyButton();

    QLineEdit* ComposerEdit() const { return m_editComposer; }
    QLineEdit* CompanyEdit() const { return m_editCompany; }
    QLineEdit* LoopTitleEdit() const { return m_editLoopTitle; }
    QCheckBox* NoSavePromptBox() const { return m_checkNoSavePrompt; }
    QPushButton* ApplyButton() const { return m_btnApply; }

    CColorButton* m_btnNote;
    CColorButton* m_btnNoteOn;
    CColorButton* m_btnNoteOff;
    CColorButton* m_btnPitchSel;
    CColorButton* m_btnPitchUnSel;
    QString m_strComposer;
    QString m_strLoopTitle;
    QString m_strCompany;
    int m_bNoSavePrompt = 0;

private:
    CRondoView& m_view;
    CNotesPage& m_notesPage;
    QLineEdit* m_editComposer;
    QLineEdit* m_editCompany;
    QLineEdit* m_editLoopTitle;
    QCheckBox* m_checkNoSavePrompt;
    QPushButton* m_btnApply;
};
