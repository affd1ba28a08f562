#include "sheet/NotesPage.h"

#include "doc/RondoDoc.h"
#include "settings/Ansi.h"
#include "settings/SettingsStore.h"
#include "view/DialogUnits.h"
#include "view/GridButtons.h"
#include "view/RondoView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

#include <cstring>
#include <mutex>

namespace {

const QColor kPurple{128, 0, 128};

constexpr const char* kPercussion[] = {
    "Acoustic Bass Drum", "Bass Drum 1", "Side Stick", "Acoustic Snare", "Hand Clap", "Electric Snare",
    "Low Floor Tom", "Closed Hi-Hat", "High Floor Tom", "Pedal Hi-Hat", "Low Tom", "Open Hi-Hat",
    "Low-Mid Tom", "High-Mid Tom", "Crash Cymbal 1", "High Tom", "Ride Cymbal 1", "Chinese Cymbal",
    "Ride Bell", "Tambourine", "Splash Cymbal", "Cowbell", "Crash Cymbal 2", "Vibraslap",
    "Ride Cymbal 2", "High Bongo", "Low Bongo", "Mute Hi Conga", "Open Hi Conga", "Low Conga",
    "High Timbale", "Low Timbale", "High Agogo", "Low Agogo", "Cabasa", "Maracas",
    "Short Whistle", "Long Whistle", "Short Guiro", "Long Guiro", "Claves", "Hi Woodblock",
    "Low Woodblock", "Mute Cuica", "Open Cuica", "Mute Triangle", "Open Triangle",
};
constexpr int kFirstPercussion = 35;
constexpr int kLastPercussion = kFirstPercussion + int(std::size(kPercussion)) - 1;
static_assert(kLastPercussion == 81);

} // namespace

// --- the pitch buttons ---

CPitchButton::CPitchButton(CNotesPage& page, int nNote, QWidget* pParent)
    : QAbstractButton(pParent), m_page(page), m_nNote(nNote)
{
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(CNotesPage::NoteLabel(nNote));
    connect(this, &QAbstractButton::pressed, this, [this] { m_page.OnPitchPressed(m_nNote); });
}

void CPitchButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    m_page.DrawPitchButton(p, *this);
}

// --- the name field ---

CVoiceNameEdit::CVoiceNameEdit(CNotesPage& page, QWidget* pParent) : QLineEdit(pParent), m_page(page)
{
    // Typing, deleting and pasting; not the page's own refreshes.
    connect(this, &QLineEdit::textEdited, this, &CVoiceNameEdit::OnTextEdited);
}

void CVoiceNameEdit::OnTextEdited(const QString& text)
{
    m_page.OnNameEdited(text);
}

// --- the page ---

CNotesPage::CNotesPage(CRondoView& view, QWidget* pParent) : QWidget(pParent), m_view(view)
{
    const CSettingsStore& settings = view.GetDocument().Settings();
    m_crPitchSel = COLORREF(settings.GetInt(QStringLiteral("Color"), QStringLiteral("PitchSel"), 0xFFFF00));
    m_crPitchUnSel = COLORREF(settings.GetInt(QStringLiteral("Color"), QStringLiteral("PitchUnSel"), 0x808080));

    const CDialogUnits du(fontMetrics());
    setFixedSize(du.X(171), du.Y(249));

    m_editName = new CVoiceNameEdit(*this, this);
    m_editName->setGeometry(du.Rect(7, 4, 78, 12));
    m_editName->setAccessibleName(QStringLiteral("Voice name"));

    m_btnReminder = new QPushButton(QStringLiteral("Note Reminder"), this);
    m_btnReminder->setGeometry(du.Rect(101, 4, 64, 13));
    m_btnReminder->setEnabled(false);
    connect(m_btnReminder, &QPushButton::clicked, this, [this] { PlayPreviewNote(CurrentPitch()); });

    for (int n = 0; n < 128; ++n) {
        auto* pButton = new CPitchButton(*this, n, this);
        pButton->setGeometry(du.Rect(6 + 20 * (n % 8), 22 + 14 * (n / 8), 20, 14));
        CHoverTips::SetControlId(pButton, kFirstPitchId + n);
        m_pitchButtons[size_t(n)] = pButton;
    }

    // The tips follow the pointer over the page and every control on it.
    setMouseTracking(true);
    installEventFilter(this);
    for (QWidget* pChild : findChildren<QWidget*>()) {
        pChild->setMouseTracking(true);
        pChild->installEventFilter(this);
    }
}

bool CNotesPage::OnInitDialog()
{
    m_tips.Attach(this);
    m_tips.SetTipFont(font());
    for (int n = kFirstPercussion; n <= kLastPercussion; ++n)
        m_tips.AddTip(kFirstPitchId + n, QStringList{PercussionName(n)});
    return true;
}

void CNotesPage::OnActivate()
{
    const CRondoDoc& doc = m_view.GetDocument();
    m_editName->setText(doc.VoiceName(m_view.m_nCurVoice));
    m_btnReminder->setEnabled(doc.m_bPlaying);
}

void CNotesPage::SyncVoice(int nPreviousVoice)
{
    const CRondoDoc& doc = m_view.GetDocument();
    if (nPreviousVoice >= 0 && nPreviousVoice < CRondoDoc::kVoices)
        PitchButton(doc.m_voices[nPreviousVoice].byPitch)->update();
    PitchButton(CurrentPitch())->update();
    m_editName->setText(doc.VoiceName(m_view.m_nCurVoice));
}

int CNotesPage::CurrentPitch() const
{
    return m_view.GetDocument().m_voices[m_view.m_nCurVoice].byPitch & 0x7F;
}

void CNotesPage::PlayPreviewNote(int nNote)
{
    // Silently nothing while stopped or when the device refuses it.
    m_view.GetDocument().PlayPreviewNote(nNote);
}

QString CNotesPage::NoteLabel(int nNote)
{
    static constexpr const char* kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return QStringLiteral("%1%2").arg(QLatin1String(kNames[nNote % 12])).arg((nNote + 3) / 12);
}

QString CNotesPage::PercussionName(int nNote)
{
    if (nNote < kFirstPercussion || nNote > kLastPercussion) return QString();
    return QLatin1String(kPercussion[nNote - kFirstPercussion]);
}

void CNotesPage::OnPitchPressed(int nNote)
{
    CRondoDoc& doc = m_view.GetDocument();
    const int previous = CurrentPitch();
    {
        // The stream's refill reads the pitches while the loop plays.
        std::lock_guard<std::mutex> guard(doc.m_lock);
        doc.m_voices[m_view.m_nCurVoice].byPitch = uint8_t(nNote);
    }
    // The pitch is saved with the loop: an undo step.
    doc.CommitEdit("Pitch");
    PitchButton(previous)->update();
    PitchButton(nNote)->update();
    PlayPreviewNote(nNote);
}

void CNotesPage::OnNameEdited(const QString& text)
{
    if (text.size() > kNameLimit) {
        m_view.MessageBox(QStringLiteral("You are limited to 16 characters."), IRondoView::MsgKind::Ok);
        m_editName->setText(text.left(kNameLimit));
        return;
    }
    CRondoDoc& doc = m_view.GetDocument();
    CRondoDoc::VoiceRecord& voice = doc.m_voices[m_view.m_nCurVoice];
    const std::string name = ansi::Bounded(ansi::FromUnicode(text), CRondoDoc::kNameMax);
    char field[sizeof voice.szName] = {};
    std::memcpy(field, name.data(), name.size());
    // The name is saved with the loop; typing one name is one undo step.
    if (std::memcmp(field, voice.szName, sizeof field) != 0) {
        std::memcpy(voice.szName, field, sizeof field);
        doc.CommitEdit("Voice Name", CRondoDoc::kMergeVoiceName + m_view.m_nCurVoice);
    }
    m_view.VoiceButton(m_view.m_nCurVoice)->update();
}

bool CNotesPage::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pEvent->type() == QEvent::MouseMove) {
        const auto* pMove = static_cast<QMouseEvent*>(pEvent);
        m_tips.RelayMouseMove(mapFromGlobal(pMove->globalPosition().toPoint()));
    }
    return QWidget::eventFilter(pWatched, pEvent);
}

void CNotesPage::DrawPitchButton(QPainter& p, const CPitchButton& button) const
{
    const int n = button.Note();
    const int w = button.width();
    const int h = button.height();
    const QColor black(Qt::black);
    const QColor white(Qt::white);

    PaintPolyline(p, {{0, 0}, {w, 0}, {w, h}, {0, h}, {0, 0}}, black);
    p.fillRect(QRect(1, 1, w - 2, h - 2), ColorFromRef(n == CurrentPitch() ? m_crPitchSel : m_crPitchUnSel));

    p.setPen(kPurple);
    p.setFont(font());
    const QString label = NoteLabel(n);
    const int textWidth = p.fontMetrics().horizontalAdvance(label);
    p.drawText(QRect(w / 2 - textWidth, 4, 2 * textWidth, h), Qt::AlignHCenter | Qt::AlignTop, label);

    PaintPolyline(p, {{0, 0}, {0, h}}, kPurple);
    PaintPolyline(p, {{0, 0}, {w, 0}}, kPurple);
    PaintPolyline(p, {{w - 1, h - 1}, {w - 1, 0}}, kPurple);
    PaintPolyline(p, {{w - 1, h - 1}, {0, h - 1}}, kPurple);
    // The outer border of the whole grid.
    if (n % 8 == 0) PaintPolyline(p, {{0, 0}, {0, h}}, black);
    if (n < 8) PaintPolyline(p, {{0, 0}, {w, 0}}, black);
    if ((n + 1) % 8 == 0) PaintPolyline(p, {{w - 1, 0}, {w - 1, h}}, white);
    if (n > 119) PaintPolyline(p, {{0, h - 1}, {w, h - 1}}, white);
}
