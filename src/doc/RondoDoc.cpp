#include "doc/RondoDoc.h"

#include "settings/Ansi.h"
#include "settings/SettingsStore.h"

#include <QDate>
#include <QDir>
#include <QLoggingCategory>

#include <cstdio>
#include <cstring>

Q_LOGGING_CATEGORY(lcMidiError, "rondo.midi", QtInfoMsg)

CRondoDoc::CRondoDoc(CSettingsStore& settings, IMidiOutService& midiOut)
    : m_settings(settings), m_midiOut(midiOut)
{
}

CRondoDoc::~CRondoDoc()
{
    // The view may be gone already.
    m_pView = nullptr;
    CloseStream();
}

void CRondoDoc::RebuildDeviceTable()
{
    m_devices = {};
    m_devices[0].caps.szPname = "Built-in Synthesizer";
    m_devices[0].nDeviceId = -1;
    m_devices[0].bValid = 1;

    const unsigned n = m_midiOut.GetNumDevs();
    for (unsigned d = 0; d < n && d < kDeviceSlots - 1; ++d) {
        DeviceSlot& slot = m_devices[d + 1];
        const int err = m_midiOut.GetDevCaps(d, slot.caps);
        if (err != MMSYSERR_NOERROR) {
            // Not shown to the user: the device is simply left out.
            qCDebug(lcMidiError) << "MIDI device" << d << ":" << midiout::GetErrorText(err);
            slot = DeviceSlot{};
            continue;
        }
        slot.nDeviceId = static_cast<int>(d);
        slot.bValid = 1;
    }
}

QString CRondoDoc::VoiceName(int nVoice) const
{
    const VoiceRecord& voice = m_voices[nVoice];
    return ansi::ToUnicode(
        ansi::FromField(reinterpret_cast<const unsigned char*>(voice.szName), sizeof voice.szName, kNameMax));
}

void CRondoDoc::SetChannel(int nChannel)
{
    // The MIDI page may change the channel while a refill rewrites the
    // stream block from m_byNoteOn.
    std::lock_guard<std::mutex> guard(m_lock);
    m_nChannel = static_cast<int8_t>(nChannel);
    m_byNoteOn = static_cast<uint8_t>(0x90 + m_nChannel);
    m_byProgChange = static_cast<uint8_t>(0xC0 + m_nChannel);
}

bool CRondoDoc::SelectDevice(const QString& idOrName)
{
    bool bNumber = false;
    const int nId = idOrName.trimmed().toInt(&bNumber);
    const std::string name = idOrName.toStdString();
    for (const DeviceSlot& slot : m_devices) {
        if (slot.bValid && (bNumber ? slot.nDeviceId == nId : slot.caps.szPname == name)) {
            ChooseDevice(static_cast<uint32_t>(slot.nDeviceId));
            return true;
        }
    }
    return false;
}

void CRondoDoc::ChooseDevice(uint32_t uDeviceID)
{
    m_uDeviceID = uDeviceID;
    m_midiOut.OnDeviceChosen(uDeviceID);
}

QString CRondoDoc::DeviceName(uint32_t uDeviceID) const
{
    for (const DeviceSlot& slot : m_devices) {
        if (slot.bValid && slot.nDeviceId == static_cast<int>(uDeviceID)) return QString::fromStdString(slot.caps.szPname);
    }
    return QString();
}

void CRondoDoc::ResetLoop()
{
    // The headers are zeroed below: a stream left open by a failed Start
    // must not keep them.
    CloseStream();
    std::memset(m_midiFile, 0, sizeof m_midiFile);
    m_midiHdr[0] = MidiHdr{};
    m_midiHdr[1] = MidiHdr{};

    const QString year = QString::number(QDate::currentDate().year()).rightJustified(4, u'0');

    m_uDeviceID = static_cast<uint32_t>(m_settings.GetInt("Device", "ID", -1));
    RebuildDeviceTable();
    // The name wins: ids move when ports come and go, and a remembered name
    // that is not listed never falls back on whatever port took its id.
    const std::string name = m_settings.GetString("Device", "Name", QString()).toStdString();
    bool bListed = false;
    for (const DeviceSlot& slot : m_devices) {
        if (!slot.bValid) continue;
        if (name.empty() ? slot.nDeviceId == static_cast<int>(m_uDeviceID) : slot.caps.szPname == name) {
            m_uDeviceID = static_cast<uint32_t>(slot.nDeviceId);
            bListed = true;
            break;
        }
    }
    if (!bListed) m_uDeviceID = 0xFFFFFFFFu;
    m_bClockOut = m_settings.GetInt("Device", "ClockOut", 0) != 0;
    m_midiOut.OnDeviceChosen(m_uDeviceID);

    // The stored numbers are cut to one signed byte before they are checked.
    int8_t channel = static_cast<int8_t>(m_settings.GetInt("Doc", "Channel", 9) & 0xFF);
    if (channel < 0 || channel > 15) channel = 9;
    int8_t instrument = static_cast<int8_t>(m_settings.GetInt("Doc", "Instrument", 0) & 0xFF);
    if (instrument < 0) instrument = 0;

    m_bProgChgExport = m_settings.GetInt("Doc", "ProgChgExport", 1) != 0;
    m_bProgChgStream = m_settings.GetInt("Doc", "ProgChgStream", 1) != 0;
    SetChannel(channel);
    m_nInstrument = instrument;
    m_bNoSavePrompt = m_settings.GetInt("Doc", "Save", 0) != 0;

    m_strComposer = ansi::Bounded(ansi::FromUnicode(m_settings.GetString("Prefs", "Composer", "Your Name")), kTextMax);
    m_strCompany = ansi::Bounded(ansi::FromUnicode(m_settings.GetString("Prefs", "Company", "Your Company")), kTextMax);
    m_strCopyright = std::string("Copyright \xA9 ") + year.toStdString() + " by ";
    m_strLoopTitle = ansi::Bounded(ansi::FromUnicode(m_settings.GetString("Prefs", "LoopTitle", "Your Title")), kTextMax);
    m_strTrackName = "Rondo";

    m_nFormat = 1;
    m_nTracks = 2;
    m_nDivision = 120;
    m_nBPM = 100;
    m_nSwing = swing::kStraight;
    m_bReadTempo = true;
    m_nUsedVoices = 0;
    m_hStream = nullptr;
    m_nCallbackState = 0;
    m_bHeadersPrepared = false;
    m_bPlaying = false;
    m_nTicksPerStep = 30;

    ++m_nHistoryHold;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_muted = 0;
        m_solo = 0;
        for (int v = 0; v < kVoices; ++v) {
            VoiceRecord& voice = m_voices[v];
            voice.byPitch = static_cast<uint8_t>(50 + 2 * v);
            voice.byVelocity = 100;
            std::memset(voice.szName, 0, sizeof voice.szName);
            std::snprintf(voice.szName, sizeof voice.szName, "Voice %d", v + 1);
            for (int b = 0; b < kBeats; ++b) m_cells[v][b] = 0;
        }
    }

    if (m_pView) {
        while (m_pView->VoicesShown() > kMinRows) m_pView->DeleteVoice();
        m_pView->SetCurVoice(0);
    }
    m_strFilePath.clear();
    if (m_pView) {
        m_pView->SetWindowTitle(QStringLiteral("Rondo"));
        m_pView->SetTempoPos(100);
    }
    --m_nHistoryHold;
    m_bDirty = false;
    m_history.Reset(CaptureState());
    if (m_pView) {
        m_pView->SetSwingPos(m_nSwing);
        m_pView->HistoryChanged();
        m_pView->InvalidateView();
    }
}

bool CRondoDoc::NewLoop()
{
    if (!PromptSave()) return false;
    ResetLoop();
    return true;
}

bool CRondoDoc::PromptSave()
{
    if (!m_bDirty || !m_pView) return true;
    switch (m_pView->MessageBox(QString::fromLatin1(kMsgSavePrompt), IRondoView::MsgKind::YesNoCancel)) {
    case IRondoView::MsgResult::Yes:
        // Going on after a save that did not happen would drop the changes.
        return m_pView->SaveLoop();
    case IRondoView::MsgResult::No:
        return true;
    default:
        return false;
    }
}

void CRondoDoc::CountUsedVoices()
{
    m_nUsedVoices = 1;
    for (int v = kVoices - 1; v >= 0; --v) {
        for (int b = 0; b < kBeats; ++b) {
            if (m_cells[v][b] != 0) {
                m_nUsedVoices = v + 1;
                return;
            }
        }
    }
}

void CRondoDoc::ShiftBeats(bool bRight)
{
    if (!m_pView) return;
    m_pView->SetShifting(true);
    const int v = m_pView->CurVoice();
    if (v >= 0 && v < kVoices) {
        std::lock_guard<std::mutex> guard(m_lock);
        int* row = m_cells[v];
        if (bRight) {
            const int last = row[kBeats - 1];
            for (int b = kBeats - 2; b >= 0; --b) row[b + 1] = row[b];
            row[0] = last;
        } else {
            const int first = row[0];
            for (int b = 1; b < kBeats; ++b) row[b - 1] = row[b];
            row[kBeats - 1] = first;
        }
    }
    m_pView->SetShifting(false);
    if (v >= 0 && v < kVoices) {
        m_pView->InvalidateCells(v);
        // A rotation changes the loop: it must not slip past the save prompt.
        CommitEdit(bRight ? "Rotate Right" : "Rotate Left");
    }
}

void CRondoDoc::ClearVoiceCells(int nVoice)
{
    if (nVoice < 0 || nVoice >= kVoices) return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int b = 0; b < kBeats; ++b) m_cells[nVoice][b] = 0;
    }
    // The row was the last one shown: the view has hidden it already.
    CommitEdit("Delete Voice", 0, nVoice + 1);
}

void CRondoDoc::RememberFolder(const char* section, const QString& path)
{
    const qsizetype sep = path.lastIndexOf(QDir::separator());
    if (sep >= 0) m_settings.SetString(section, "DirPath", path.left(sep));
}

QString CRondoDoc::InitialName(const char* section, const QString& name, const QString& firstFolder) const
{
    QString folder = m_settings.GetString(section, "DirPath", QString());
    if (folder.isEmpty()) folder = firstFolder;
    return folder.isEmpty() ? name : folder + QDir::separator() + name;
}

void CRondoDoc::ReportFileError(const QString& text)
{
    m_strLastError = text;
    if (m_pView) m_pView->MessageBox(text, IRondoView::MsgKind::Ok);
}

bool CRondoDoc::OpenLoopCommand()
{
    if (m_bDirty && !PromptSave()) return false;
    if (!m_pView) return false;
    const std::optional<QString> path =
        m_pView->ChooseFile(IRondoView::FileKind::OpenLoop,
                            InitialName("Open", QStringLiteral("untitled"), m_strExampleFolder));
    if (!path) return false;
    RememberFolder("Open", *path);
    return LoadLoopFrom(*path) == LoadResult::Loaded;
}

bool CRondoDoc::OpenLoopPathCommand(const QString& path)
{
    if (m_bDirty && !PromptSave()) return false;
    return LoadLoopFrom(path) == LoadResult::Loaded;
}

bool CRondoDoc::SaveLoopCommand()
{
    if (m_strFilePath.isEmpty()) return SaveLoopAsCommand();
    return SaveLoopFile();
}

bool CRondoDoc::SaveLoopAsCommand()
{
    if (!m_pView) return false;
    const std::optional<QString> path =
        m_pView->ChooseFile(IRondoView::FileKind::SaveLoop, InitialName("Save", QStringLiteral("untitled"), QDir::homePath()));
    if (!path) return false;
    RememberFolder("Save", *path);
    return SaveLoopTo(*path);
}

void CRondoDoc::ExportMidiFile()
{
    BuildMidiFile(false);
    if (!m_pView) return;
    const std::optional<QString> path = m_pView->ChooseFile(IRondoView::FileKind::ExportMidi, ExportInitialName());
    if (!path) return;
    ExportTo(*path);
}

QString CRondoDoc::ExportInitialName() const
{
    const QString title = ansi::ToUnicode(m_strLoopTitle);
    // Never the folder a loop was opened from: the example loops' is not writable.
    return InitialName("Export", title.isEmpty() ? QStringLiteral("untitled") : title, QDir::homePath());
}

bool CRondoDoc::ExportTo(const QString& path)
{
    RememberFolder("Export", path);
    return WriteMidiImage(path);
}
