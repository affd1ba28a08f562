#include "sheet/PropSheet.h"

#include "doc/RondoDoc.h"
#include "settings/SettingsStore.h"
#include "view/RondoView.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPushButton>
#include <QVBoxLayout>

// --- the sheet ---

CModelessPropSheet::CModelessPropSheet(CRondoView& view, QWidget* pParent)
    : QTabWidget(pParent), m_prefsPage(view, m_notesPage), m_notesPage(view), m_midiPage(view), m_soundPage(view)
{
    const CRondoDoc& doc = view.GetDocument();
    m_midiPage.m_nChannelNo = doc.m_nChannel + 1;
    m_midiPage.m_nInstrumentNo = unsigned(doc.m_nInstrument + 1);
    m_midiPage.m_bProgChgExport = doc.m_bProgChgExport ? 1 : 0;
    m_midiPage.m_bProgChgStream = doc.m_bProgChgStream ? 1 : 0;

    addTab(&m_notesPage, QStringLiteral("Notes"));
    addTab(&m_prefsPage, QStringLiteral("Preferences"));
    addTab(&m_midiPage, QStringLiteral("MIDI"));
    addTab(&m_soundPage, QStringLiteral("Sound"));
    m_notesPage.OnInitDialog();
    m_prefsPage.OnInitDialog();
    m_midiPage.OnInitDialog();
    m_soundPage.OnInitDialog();
}

// --- the tool window ---

CPropSheetFrame::CPropSheetFrame(CRondoView& view)
    : QWidget(view.window(), Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), m_view(view)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Object Properties"));
    m_pSheet = new CModelessPropSheet(view, this);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->addWidget(m_pSheet);
    // The window follows the sheet's size; it is never resized by hand.
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
    setFocusProxy(m_pSheet);
}

void CPropSheetFrame::SetActivePage(int nPage)
{
    m_pSheet->setCurrentIndex(nPage);
}

void CPropSheetFrame::SyncNotesPage(int nPreviousVoice)
{
    m_pSheet->m_notesPage.SyncVoice(nPreviousVoice);
}

void CPropSheetFrame::SetNoteReminderEnabled(bool bEnabled)
{
    m_pSheet->m_notesPage.m_btnReminder->setEnabled(bEnabled);
}

void CPropSheetFrame::SavePosition()
{
    CSettingsStore& settings = m_view.GetDocument().Settings();
    const QPoint topLeft = pos();
    settings.SetInt(QStringLiteral("Screen2"), QStringLiteral("x"), topLeft.x());
    settings.SetInt(QStringLiteral("Screen2"), QStringLiteral("y"), topLeft.y());
}

void CPropSheetFrame::closeEvent(QCloseEvent* pEvent)
{
    SavePosition();
    m_view.OnSheetClosed();
    pEvent->accept();
}

void CPropSheetFrame::showEvent(QShowEvent* pEvent)
{
    QWidget::showEvent(pEvent);
    // Not every window system activates a tool window it shows.
    m_pSheet->m_notesPage.OnActivate();
}

void CPropSheetFrame::changeEvent(QEvent* pEvent)
{
    QWidget::changeEvent(pEvent);
    if (pEvent->type() == QEvent::ActivationChange && isActiveWindow()) m_pSheet->m_notesPage.OnActivate();
}

void CPropSheetFrame::keyPressEvent(QKeyEvent* pEvent)
{
    // Escape closes a tool window, as it does a dialog.
    if (pEvent->key() == Qt::Key_Escape && pEvent->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(pEvent);
}

void CPropSheetFrame::focusInEvent(QFocusEvent* pEvent)
{
    QWidget::focusInEvent(pEvent);
    m_pSheet->setFocus();
}
