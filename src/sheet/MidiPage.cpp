#include "sheet/MidiPage.h"

#include "doc/RondoDoc.h"
#include "midiout/JackServer.h"
#include "settings/SettingsStore.h"
#include "view/RondoView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <climits>
#include <mutex>

namespace {

constexpr int kPageWidth = 175;  // dialog units
constexpr int kPageHeight = 282;

QString RangeMessage(int nMin, int nMax)
{
    return QStringLiteral("Please enter an integer between %1 and %2.").arg(nMin).arg(nMax);
}

// The number in an edit field. On failure nValue is what the member should
// hold (the number itself when it is only out of range, 0 when the field
// holds no number: both outside nMin..nMax) and the message is returned.
QString ReadNumber(const QLineEdit* pEdit, int nMin, int nMax, long long& nValue)
{
    bool bOk = false;
    nValue = pEdit->text().trimmed().toLongLong(&bOk);
    if (!bOk) {
        nValue = 0;
        return QString::fromLatin1(CMidiPage::kMsgNotInteger);
    }
    if (nValue < nMin || nValue > nMax) return RangeMessage(nMin, nMax);
    return QString();
}

} // namespace

CMidiPage::CMidiPage(CRondoView& view, QWidget* pParent)
    : QWidget(pParent)
    , m_view(view)
    , m_du(fontMetrics())
{
    setWindowTitle(QStringLiteral("MIDI"));
    // The form was drawn for a narrower font: a text that does not fit its
    // place takes the room up to the group's edge, then the room below.
    const auto label = [this](const char* text, int x, int y, int cx, int cy, int nMaxRight, int nMaxBottom) {
        QLabel* pLabel = new QLabel(QString::fromLatin1(text), this);
        pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        pLabel->setWordWrap(true);
        QRect rc = m_du.Rect(x, y, cx, cy);
        if (pLabel->heightForWidth(rc.width()) > rc.height()) {
            rc.setWidth(m_du.X(nMaxRight - x));
            rc.setHeight(std::max(rc.height(), std::min(pLabel->heightForWidth(rc.width()), m_du.Y(nMaxBottom - y))));
        }
        pLabel->setGeometry(rc);
        return pLabel;
    };
    const auto edit = [this](int x, int y, int cx, int cy) {
        QLineEdit* pEdit = new QLineEdit(this);
        pEdit->setGeometry(m_du.Rect(x, y, cx, cy));
        return pEdit;
    };
    const auto check = [this](const char* text, int x, int y, int cx, int cy) {
        QCheckBox* pCheck = new QCheckBox(QString::fromLatin1(text), this);
        pCheck->setGeometry(m_du.Rect(x, y, cx, cy));
        connect(pCheck, &QCheckBox::clicked, this, &CMidiPage::UpdateInstrumentState);
        return pCheck;
    };

    // Created in the order of the form: it is the tab order.
    (new QGroupBox(QStringLiteral("MIDI Output Device"), this))->setGeometry(m_du.Rect(5, 5, 164, 147));
    m_comboDevice = new QComboBox(this);
    // The height is the closed box's; the list drops below it.
    const QRect combo = m_du.Rect(21, 17, 140, 40);
    m_comboDevice->setGeometry(combo.x(), combo.y(), combo.width(), m_comboDevice->sizeHint().height());
    label("( Not all choices may produce sounds -       it depends on your environment. )", 24, 32, 128, 19, 166, 55);
    m_checkStream = check("Create a Program Change Each Start", 20, 56, 140, 8);
    m_checkExport = check("Create a Program Change On Export", 20, 68, 140, 8);
    m_editInstrument = edit(32, 80, 20, 12);
    label("Instrument", 62, 82, 75, 10, 166, 98);
    label("An Output Device choice only takes place when you...\n   Click Apply\n   Stop the music.\n   Click the main "
          "window's Start button",
          20, 100, 128, 44, 166, 151);
    (new QGroupBox(QStringLiteral("MIDI Output Channel"), this))->setGeometry(m_du.Rect(4, 156, 165, 60));
    m_editChannel = edit(19, 171, 20, 12);
    label("Output Channel", 49, 174, 75, 10, 166, 184);
    label("( Best number for Drums loops is 10. )", 20, 185, 128, 10, 166, 196);
    label("An Output Channel choice takes place as soon as you click Apply", 20, 196, 128, 16, 166, 215);
    (new QGroupBox(QStringLiteral("Studio Sync"), this))->setGeometry(m_du.Rect(4, 220, 165, 38));
    m_checkFollow = new QCheckBox(QStringLiteral("Follow the JACK transport"), this);
    m_checkFollow->setGeometry(m_du.Rect(20, 232, 140, 8));
    m_checkClock = new QCheckBox(QStringLiteral("Send MIDI clock"), this);
    m_checkClock->setGeometry(m_du.Rect(20, 244, 140, 8));
    connect(m_comboDevice, &QComboBox::currentIndexChanged, this, &CMidiPage::UpdateSyncState);
    m_btnApply = new QPushButton(QStringLiteral("Apply"), this);
    m_btnApply->setDefault(true);
    m_btnApply->setGeometry(m_du.Rect(110, 263, 50, 14));
    connect(m_btnApply, &QPushButton::clicked, this, &CMidiPage::OnApplyButton);

    m_comboDevice->setAccessibleName(QStringLiteral("MIDI Output Device"));
    m_editInstrument->setAccessibleName(QStringLiteral("Instrument"));
    m_editChannel->setAccessibleName(QStringLiteral("Output Channel"));
}

void CMidiPage::UpdateSyncState()
{
    const int nDevice = m_comboDevice->currentIndex() >= 0 ? m_comboDevice->currentData().toInt() : -1;
    m_checkFollow->setEnabled(m_bJackRunning);
    m_checkFollow->setToolTip(
        m_bJackRunning ? QStringLiteral("With JACK MIDI as the output device, Start waits for the JACK transport: the "
                                        "loop sounds while it rolls, on its bar lines and at its master's tempo.")
                       : QStringLiteral("No JACK server is running. Start JACK (or PipeWire's JACK layer), then open "
                                        "this page again."));
    // The built-in synthesizer keeps its own time.
    m_checkClock->setEnabled(nDevice != -1);
    m_checkClock->setToolTip(nDevice != -1
                                 ? QStringLiteral("Sends 24 MIDI clocks a quarter note with Start and Stop, so that "
                                                  "drum machines, arpeggiators and DAWs follow Rondo's tempo.")
                                 : QStringLiteral("The built-in synthesizer needs no MIDI clock: choose a port or JACK "
                                                  "MIDI to send one."));
}

QSize CMidiPage::sizeHint() const
{
    return QSize(m_du.X(kPageWidth), m_du.Y(kPageHeight));
}

bool CMidiPage::OnInitDialog()
{
    UpdateData(false);

    const CRondoDoc& doc = m_view.GetDocument();
    m_comboDevice->clear();
    int nSelect = 0;
    for (const CRondoDoc::DeviceSlot& slot : doc.m_devices) {
        if (!slot.bValid) continue;
        m_comboDevice->addItem(QString::fromStdString(slot.caps.szPname), slot.nDeviceId);
        if (slot.nDeviceId == static_cast<int>(doc.m_uDeviceID)) nSelect = m_comboDevice->count() - 1;
    }
    if (m_comboDevice->count() > 0) m_comboDevice->setCurrentIndex(nSelect);

    const CSettingsStore& settings = doc.Settings();
    m_bJackRunning = midiout::JackServerRunning();
    m_checkFollow->setChecked(settings.GetInt("Device", "FollowTransport", 0) != 0);
    m_checkClock->setChecked(doc.m_bClockOut);
    UpdateSyncState();

    // Reads the controls back as well.
    UpdateInstrumentState();
    return true;
}

bool CMidiPage::UpdateData(bool bSaveAndValidate)
{
    if (!bSaveAndValidate) {
        m_editChannel->setText(QString::number(m_nChannelNo));
        m_editInstrument->setText(QString::number(m_nInstrumentNo));
        m_checkExport->setChecked(m_bProgChgExport != 0);
        m_checkStream->setChecked(m_bProgChgStream != 0);
        return true;
    }

    QLineEdit* pFailed = nullptr;
    QString message;
    long long nValue = 0;
    QString error = ReadNumber(m_editChannel, 1, 16, nValue);
    m_nChannelNo = static_cast<int>(std::clamp<long long>(nValue, INT_MIN, INT_MAX));
    if (!error.isEmpty()) {
        pFailed = m_editChannel;
        message = error;
    }
    error = ReadNumber(m_editInstrument, 1, 128, nValue);
    m_nInstrumentNo = static_cast<unsigned>(std::clamp<long long>(nValue, 0, UINT_MAX));
    if (!error.isEmpty() && pFailed == nullptr) {
        pFailed = m_editInstrument;
        message = error;
    }
    m_bProgChgExport = m_checkExport->isChecked() ? 1 : 0;
    m_bProgChgStream = m_checkStream->isChecked() ? 1 : 0;

    if (pFailed == nullptr) return true;
    m_view.MessageBox(message, IRondoView::MsgKind::Ok);
    pFailed->setFocus();
    pFailed->selectAll();
    return false;
}

void CMidiPage::UpdateInstrumentState()
{
    UpdateData(true);
    m_editInstrument->setEnabled(m_bProgChgExport != 0 || m_bProgChgStream != 0);
}

void CMidiPage::OnApplyButton()
{
    // A field that failed is left as the document has it; the rest applies.
    UpdateData(true);

    CRondoDoc& doc = m_view.GetDocument();
    CSettingsStore& settings = doc.Settings();

    const int nIndex = m_comboDevice->currentIndex();
    const int nDeviceId = nIndex >= 0 ? m_comboDevice->itemData(nIndex).toInt() : -1;
    // Playback opens the device at its next Start. Its name finds it again
    // when the list has changed by then.
    settings.SetInt("Device", "ID", nDeviceId);
    settings.SetString("Device", "Name", doc.DeviceName(static_cast<uint32_t>(nDeviceId)));
    doc.ChooseDevice(static_cast<uint32_t>(nDeviceId));
    if (m_checkFollow->isEnabled()) settings.SetInt("Device", "FollowTransport", m_checkFollow->isChecked() ? 1 : 0);
    doc.m_bClockOut = m_checkClock->isChecked();
    settings.SetInt("Device", "ClockOut", doc.m_bClockOut ? 1 : 0);

    if (m_nChannelNo >= 1 && m_nChannelNo <= 16) {
        // Also brings the status bytes into line.
        doc.SetChannel(m_nChannelNo - 1);
        settings.SetInt("Doc", "Channel", doc.m_nChannel);
    }

    {
        // A playing stream reads these when it refills a buffer.
        std::lock_guard<std::mutex> guard(doc.m_lock);
        doc.m_bProgChgExport = m_bProgChgExport != 0;
        doc.m_bProgChgStream = m_bProgChgStream != 0;
        if (m_nInstrumentNo >= 1 && m_nInstrumentNo <= 128) doc.m_nInstrument = static_cast<int8_t>(m_nInstrumentNo - 1);
    }
    // Device, channel and instrument travel with the loop: what changed of
    // them is one undo step, and marks the loop modified.
    doc.CommitEdit("MIDI Settings");

    settings.SetInt("Doc", "ProgChgExport", doc.m_bProgChgExport ? 1 : 0);
    settings.SetInt("Doc", "ProgChgStream", doc.m_bProgChgStream ? 1 : 0);
    settings.SetInt("Doc", "Instrument", doc.m_nInstrument);
}

void CMidiPage::keyPressEvent(QKeyEvent* pEvent)
{
    // Reaches the page when the control with the focus leaves Enter alone.
    if ((pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter)
        && (pEvent->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (m_btnApply->isEnabled()) m_btnApply->animateClick();
        pEvent->accept();
        return;
    }
    QWidget::keyPressEvent(pEvent);
}
