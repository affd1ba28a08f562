// The loop file: one 1472-byte little-endian record, and two older, shorter
// forms that lack the instrument (1468 bytes) or the channel too (1464 bytes).
// After the record, tagged blocks carry what the record has no room for
// (docs/loop-file.md); readers that know none ignore them.

#include "settings/Ansi.h"
#include "doc/RondoDoc.h"
#include "settings/SafeFile.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr size_t kRecordSize = 1472;
constexpr size_t kFormASize = 1468;
constexpr size_t kFormBSize = 1464;

constexpr size_t kOffMagic = 0;
constexpr size_t kOffRows = 16;
constexpr size_t kOffComposer = 20;
constexpr size_t kOffCompany = 101;
constexpr size_t kOffTitle = 182;
constexpr size_t kTextField = 81;
constexpr size_t kOffBPM = 264;
constexpr size_t kOffCells = 268;
constexpr size_t kOffVoices = 1036;
constexpr size_t kVoiceSize = 19;
constexpr size_t kNameField = 17;
constexpr size_t kOffChannel = 1468;
constexpr size_t kOffInstrument = 1469;

// Blocks after the record: a four-character tag, a 32-bit length, the data.
constexpr qsizetype kBlockHeader = 8;
constexpr qsizetype kBlocksRead = 4096;  // what the reader looks at after the record
constexpr char kSwingTag[4] = {'S', 'W', 'N', 'G'};

using Record = std::array<uint8_t, kRecordSize>;

void PutInt32(Record& rec, size_t off, int32_t value)
{
    const uint32_t u = static_cast<uint32_t>(value);
    for (size_t i = 0; i < 4; ++i) rec[off + i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t GetInt32(const Record& rec, size_t off)
{
    uint32_t u = 0;
    for (size_t i = 0; i < 4; ++i) u |= static_cast<uint32_t>(rec[off + i]) << (8 * i);
    return static_cast<int32_t>(u);
}

void PutText(Record& rec, size_t off, size_t fieldSize, const std::string& text)
{
    // At least one NUL always ends the field.
    const std::string bounded = ansi::Bounded(text, fieldSize - 1);
    std::memcpy(rec.data() + off, bounded.data(), bounded.size());
}

void AppendLe32(QByteArray& bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i) bytes.append(char((value >> (8 * i)) & 0xFF));
}

uint32_t Le32At(const QByteArray& bytes, qsizetype off)
{
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= uint32_t(uint8_t(bytes[off + i])) << (8 * i);
    return u;
}

void AppendBlock(QByteArray& bytes, const char (&tag)[4], uint32_t value)
{
    bytes.append(tag, 4);
    AppendLe32(bytes, 4);
    AppendLe32(bytes, value);
}

} // namespace

void CRondoDoc::UpdateTitle()
{
    const qsizetype sep = m_strFilePath.lastIndexOf(QDir::separator());
    if (sep >= 0) {
        QString name = m_strFilePath.mid(sep + 1);
        const qsizetype dot = name.lastIndexOf(u'.');
        if (dot >= 0) name.truncate(dot);
        if (m_pView) m_pView->SetWindowTitle(name + QStringLiteral(" - Rondo"));
        if (m_pView) m_pView->NoteRecentFile(m_strFilePath);
    }
    m_bDirty = false;
    // Undoing back to here returns to a loop that is not modified.
    m_history.MarkSaved();
    if (m_pView) m_pView->HistoryChanged();
}

QByteArray CRondoDoc::LoopFileImage()
{
    Record rec{};
    std::memcpy(rec.data() + kOffMagic, "Rondo3", 7);
    int swing = swing::kStraight;
    {
        // The whole record is taken under the lock: the playback thread may
        // write the tempo it reads back from the device.
        std::lock_guard<std::mutex> guard(m_lock);
        CountUsedVoices();
        PutInt32(rec, kOffRows, std::max(m_nUsedVoices, kMinRows));
        PutText(rec, kOffComposer, kTextField, m_strComposer);
        PutText(rec, kOffCompany, kTextField, m_strCompany);
        PutText(rec, kOffTitle, kTextField, m_strLoopTitle);
        PutInt32(rec, kOffBPM, m_nBPM);
        for (int v = 0; v < kVoices; ++v) {
            for (int b = 0; b < kBeats; ++b) PutInt32(rec, kOffCells + 4 * static_cast<size_t>(v * kBeats + b), m_cells[v][b]);
            const size_t off = kOffVoices + kVoiceSize * static_cast<size_t>(v);
            rec[off] = m_voices[v].byPitch;
            rec[off + 1] = m_voices[v].byVelocity;
            PutText(rec, off + 2, kNameField, ansi::FromField(reinterpret_cast<const unsigned char*>(m_voices[v].szName), kNameField, kNameMax));
        }
        rec[kOffChannel] = static_cast<uint8_t>(m_nChannel);
        rec[kOffInstrument] = static_cast<uint8_t>(m_nInstrument);
        swing = m_nSwing;
    }
    QByteArray bytes(reinterpret_cast<const char*>(rec.data()), kRecordSize);
    // A straight loop is the record alone, as it always was.
    if (swing != swing::kStraight) AppendBlock(bytes, kSwingTag, uint32_t(swing));
    return bytes;
}

bool CRondoDoc::SaveLoopFile()
{
    const QByteArray bytes = LoopFileImage();
    // Written beside the target and renamed over it, so a failed or
    // interrupted save never leaves a truncated loop behind.
    QString error;
    if (!files::WriteWholeFile(m_strFilePath, QByteArrayView(bytes), error)) {
        ReportFileError(QStringLiteral("The loop could not be saved to %1.\n\n%2")
                            .arg(QDir::toNativeSeparators(m_strFilePath), error));
        return false;
    }
    m_strLastError.clear();
    UpdateTitle();
    return true;
}

CRondoDoc::LoadResult CRondoDoc::LoadLoopFile()
{
    // Only the record and the blocks after it are read, whatever the
    // file's size; a FIFO or a device gives its first bytes.
    QByteArray bytes;
    QString error;
    if (files::ReadPrefix(m_strFilePath, qsizetype(kRecordSize) + kBlocksRead, bytes, error) != files::ReadResult::Read) {
        ReportFileError(QStringLiteral("The file %1 could not be opened.\n\n%2")
                            .arg(QDir::toNativeSeparators(m_strFilePath), error));
        return LoadResult::OpenFailed;
    }
    return LoadLoopImage(bytes);
}

CRondoDoc::LoadResult CRondoDoc::LoadLoopImage(const QByteArray& bytes)
{
    Record rec{};
    const size_t n = size_t(bytes.size());
    std::memcpy(rec.data(), bytes.constData(), std::min(n, kRecordSize));

    enum class Form { Current, A, B, Invalid } form = Form::Invalid;
    if (rec[5] == '3' && n >= kRecordSize) form = Form::Current;
    else if (n == kFormASize) form = Form::A;
    else if (n == kFormBSize) form = Form::B;
    if (form == Form::Invalid || QByteArray::fromRawData(reinterpret_cast<const char*>(rec.data()), 5).compare("Rondo", Qt::CaseInsensitive) != 0) {
        m_strLastError = QString::fromLatin1(kMsgInvalidFile);
        if (m_pView) m_pView->MessageBox(m_strLastError, IRondoView::MsgKind::Ok);
        return LoadResult::Invalid;
    }

    // The blocks after the record, as far as they hold together.
    int swing = swing::kStraight;
    for (qsizetype at = qsizetype(kRecordSize); form == Form::Current && at + kBlockHeader <= bytes.size();) {
        const uint32_t length = Le32At(bytes, at + 4);
        if (length > uint32_t(bytes.size() - at - kBlockHeader)) break;
        if (std::memcmp(bytes.constData() + at, kSwingTag, 4) == 0 && length == 4)
            swing = std::clamp(int(int32_t(Le32At(bytes, at + kBlockHeader))), int(swing::kStraight), int(swing::kMax));
        at += kBlockHeader + qsizetype(length);
    }

    ++m_nHistoryHold;
    int rows = GetInt32(rec, kOffRows);
    m_strComposer = ansi::FromField(rec.data() + kOffComposer, kTextField, kTextMax);
    m_strCompany = ansi::FromField(rec.data() + kOffCompany, kTextField, kTextMax);
    m_strLoopTitle = ansi::FromField(rec.data() + kOffTitle, kTextField, kTextMax);
    // Only the slider's tempi can be played and exported.
    m_nBPM = std::clamp(GetInt32(rec, kOffBPM), kMinBPM, kMaxBPM);
    if (m_pView) m_pView->SetTempoPos(m_nBPM);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int v = 0; v < kVoices; ++v) {
            for (int b = 0; b < kBeats; ++b) m_cells[v][b] = GetInt32(rec, kOffCells + 4 * static_cast<size_t>(v * kBeats + b));
            const size_t off = kOffVoices + kVoiceSize * static_cast<size_t>(v);
            VoiceRecord& voice = m_voices[v];
            voice.byPitch = std::min<uint8_t>(rec[off], 127);
            voice.byVelocity = std::min<uint8_t>(rec[off + 1], 127);
            const std::string name = ansi::FromField(rec.data() + off + 2, kNameField, kNameMax);
            std::memset(voice.szName, 0, sizeof voice.szName);
            std::memcpy(voice.szName, name.data(), name.size());
        }
        CountUsedVoices();
        m_nSwing = swing;
        m_muted = 0;
        m_solo = 0;
    }
    // A channel byte outside 0..15 would turn the note events into other
    // messages; the older form without an instrument kept the default channel.
    int8_t channel = form == Form::Current ? static_cast<int8_t>(rec[kOffChannel]) : int8_t{9};
    if (channel < 0 || channel > 15) channel = 9;
    SetChannel(channel);
    int8_t instrument = form == Form::A ? int8_t{0} : static_cast<int8_t>(rec[kOffInstrument]);
    if (instrument < 0) instrument = 0;
    m_nInstrument = instrument;

    if (m_pView) {
        m_pView->SetCurVoice(0);
        m_pView->CloseSheet();
        // Every row that holds a cell is shown, whatever count the file gives.
        rows = std::max(rows, m_nUsedVoices);
        if (rows < m_pView->VoicesShown()) {
            while (rows < m_pView->VoicesShown() && m_pView->VoicesShown() > kMinRows) m_pView->DeleteVoice();
        } else {
            while (m_pView->VoicesShown() < kMaxRows && rows > m_pView->VoicesShown()) m_pView->AddVoice();
        }
    }
    --m_nHistoryHold;
    m_strLastError.clear();
    m_history.Reset(CaptureState());
    UpdateTitle();
    if (m_pView) {
        m_pView->SetSwingPos(m_nSwing);
        m_pView->HistoryChanged();
        m_pView->InvalidateView();
    }
    return LoadResult::Loaded;
}

CRondoDoc::LoadResult CRondoDoc::LoadLoopFrom(const QString& path)
{
    const QString previous = m_strFilePath;
    m_strFilePath = path;
    const LoadResult result = LoadLoopFile();
    // A later Save must not overwrite a file that was never loaded.
    if (result != LoadResult::Loaded) m_strFilePath = previous;
    return result;
}

bool CRondoDoc::SaveLoopTo(const QString& path)
{
    const QString previous = m_strFilePath;
    m_strFilePath = path;
    if (SaveLoopFile()) return true;
    // The title still names the previous file; keep the path in step with it.
    m_strFilePath = previous;
    return false;
}
