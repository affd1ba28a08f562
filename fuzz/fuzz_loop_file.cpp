// Any bytes as a loop file: opened into a new loop as the Open command does,
// then built as both MIDI forms, played out step by step into stream
// buffers, saved and opened again. Every invariant is checked after the call.

#include "FuzzCheck.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midi/SmfReader.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/SettingsStore.h"

#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Doc = CRondoDoc;

struct Editor
{
    CVirtualMidiOut midiOut;
    std::unique_ptr<CRondoDoc> doc;
    std::unique_ptr<CHeadlessView> view;

    explicit Editor(CSettingsStore& settings)
        : doc(std::make_unique<CRondoDoc>(settings, midiOut)), view(std::make_unique<CHeadlessView>(*doc))
    {
        doc->SetView(view.get());
    }
    void Reset()
    {
        doc->ResetLoop();
        view->m_messages.clear();
    }
};

struct Context
{
    QTemporaryDir dir{fuzz::TemporaryTemplate()};
    CSettingsStore settings;
    std::unique_ptr<Editor> editor, copy;
    QString input, saved, resaved;
};
Context* g_context = nullptr;

int32_t Le32(const uint8_t* p)
{
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// The loop file format: the magic in any case, then the record of this
// version (marked '3'; anything after it is not read) or an older one.
bool IsLoopFile(const uint8_t* data, size_t size)
{
    if (size < 5) return false;
    for (int i = 0; i < 5; ++i) {
        if (std::tolower(data[i]) != "rondo"[i]) return false;
    }
    return (size >= 1472 && data[5] == '3') || size == 1468 || size == 1464;
}

struct Snapshot
{
    std::vector<int> cells;
    std::vector<std::string> voices;
    std::string composer, company, title;
    int bpm, channel, instrument, rows, swing;
    QString path, windowTitle;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const Editor& e)
{
    const Doc& d = *e.doc;
    Snapshot s{{}, {}, d.m_strComposer, d.m_strCompany, d.m_strLoopTitle, d.m_nBPM, d.m_nChannel, d.m_nInstrument,
               e.view->VoicesShown(), d.m_nSwing, d.m_strFilePath, e.view->m_strTitle};
    for (int v = 0; v < Doc::kVoices; ++v) {
        s.cells.insert(s.cells.end(), d.m_cells[v], d.m_cells[v] + Doc::kBeats);
        s.voices.push_back(std::string(d.m_voices[v].szName) + char(d.m_voices[v].byPitch) +
                           char(d.m_voices[v].byVelocity));
    }
    return s;
}

bool Bounded(const std::string& text, size_t max)
{
    return text.size() <= max && text.find('\0') == std::string::npos;
}

// What a loaded loop always is, whatever the file held.
void CheckLoaded(const Editor& e, const uint8_t* data)
{
    const Doc& d = *e.doc;
    const int shown = e.view->VoicesShown();
    FUZZ_CHECK(shown >= Doc::kMinRows && shown <= Doc::kMaxRows);
    FUZZ_CHECK(d.m_nUsedVoices >= 1 && d.m_nUsedVoices <= shown);
    for (int v = 0; v < Doc::kVoices; ++v) {
        for (int b = 0; b < Doc::kBeats; ++b) {
            // Any non-zero cell is on, as everything that reads cells takes it.
            FUZZ_CHECK(d.IsCellOn(v, b) == (Le32(data + 268 + 4 * (16 * v + b)) != 0));
            FUZZ_CHECK(v < shown || !d.IsCellOn(v, b));
        }
        const Doc::VoiceRecord& voice = d.m_voices[v];
        FUZZ_CHECK(voice.byPitch < 0x80 && voice.byVelocity < 0x80);
        FUZZ_CHECK(std::memchr(voice.szName, 0, sizeof voice.szName) != nullptr);
    }
    FUZZ_CHECK(d.m_nBPM >= Doc::kMinBPM && d.m_nBPM <= Doc::kMaxBPM);
    FUZZ_CHECK(e.view->TempoPos() == d.m_nBPM);
    FUZZ_CHECK(Bounded(d.m_strComposer, Doc::kTextMax) && Bounded(d.m_strCompany, Doc::kTextMax) &&
               Bounded(d.m_strLoopTitle, Doc::kTextMax));
    FUZZ_CHECK(d.m_nChannel >= 0 && d.m_nChannel <= 15);
    FUZZ_CHECK(d.m_byNoteOn == 0x90 + d.m_nChannel && d.m_byProgChange == 0xC0 + d.m_nChannel);
    FUZZ_CHECK(d.m_nInstrument >= 0);
    FUZZ_CHECK(d.m_nSwing >= swing::kStraight && d.m_nSwing <= swing::kMax);
    FUZZ_CHECK(!d.m_bDirty);
    FUZZ_CHECK(!d.History().CanUndo() && !d.History().CanRedo());
}

using Note = std::array<unsigned, 3>;  // tick, pitch, velocity

// Both forms parse as strict Standard MIDI Files of one bar whose notes are
// exactly the loop's.
void CheckMidiImage(Doc& d, bool bForStream)
{
    d.BuildMidiFile(bForStream);
    FUZZ_CHECK(d.m_nDocSize > 0 && d.m_nDocSize <= Doc::kMidiFileSize);
    const smf::File f = smf::Parse(std::vector<uint8_t>(d.m_midiFile, d.m_midiFile + d.m_nDocSize));
    if (!f.error.empty()) std::fprintf(stderr, "MIDI image: %s\n", f.error.c_str());
    FUZZ_CHECK(f.error.empty());
    FUZZ_CHECK(f.format == 1 && f.tracks == 2 && f.division == 120);

    const uint32_t tempo = Doc::kMicrosPerMinute / uint32_t(d.m_nBPM);
    int nTempi = 0;
    for (const smf::Event& e : f.trackEvents[0]) {
        FUZZ_CHECK(e.status == 0xFF);
        if (e.metaType != 0x51) continue;
        ++nTempi;
        FUZZ_CHECK(e.data == (std::vector<uint8_t>{uint8_t(tempo >> 16), uint8_t(tempo >> 8), uint8_t(tempo)}));
    }
    FUZZ_CHECK(nTempi == 1);

    const std::vector<smf::Event>& drums = f.trackEvents[1];
    FUZZ_CHECK(drums.back().tick == Doc::kLoopTicks);
    const bool bProgramChange = bForStream ? d.m_bProgChgStream : d.m_bProgChgExport;
    int nProgramChanges = 0;
    std::vector<Note> got, want;
    for (const smf::Event& e : drums) {
        if (e.status == 0xFF) continue;
        if (e.status == d.m_byProgChange) {
            ++nProgramChanges;
            FUZZ_CHECK(e.tick == 0 && e.data[0] == unsigned(d.m_nInstrument));
            continue;
        }
        FUZZ_CHECK(e.status == d.m_byNoteOn);
        got.push_back({e.tick, e.data[0], e.data[1]});
    }
    FUZZ_CHECK(nProgramChanges == (bProgramChange ? 1 : 0));
    const unsigned late = unsigned(swing::DelayTicks(d.m_nSwing, d.m_nTicksPerStep));
    for (unsigned s = 0; s < Doc::kBeats; ++s) {
        for (int v = 0; v < Doc::kVoices; ++v) {
            const bool bOn = d.IsCellOn(v, int(s));
            if (!bOn && !bForStream) continue;
            const unsigned pitch = d.m_voices[v].byPitch;
            want.push_back({30 * s + (s % 2 ? late : 0), pitch, cells::Velocity(d.Cell(v, int(s)), d.m_voices[v].byVelocity)});
            want.push_back({30 * s + 30, pitch, 0});
        }
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    FUZZ_CHECK(got == want);
    if (bForStream) {
        FUZZ_CHECK(d.m_pNoteEvents - (bProgramChange ? 3 : 0) >= d.m_midiFile);
        FUZZ_CHECK(d.m_pNoteEvents + Doc::kStreamBlockSize <= d.m_midiFile + d.m_nDocSize);
    }
}

// Playback reads the stream form a step at a time, as Start and the refills
// do: every buffer holds whole records of short messages on the channel.
void CheckStreamBuffers(Doc& d)
{
    d.BuildMidiFile(true);
    const bool bProgramChange = d.m_bProgChgStream;
    d.m_pStreamPos = bProgramChange ? d.m_pNoteEvents - 3 : d.m_pNoteEvents;
    uint32_t ticks = 0;
    const uint32_t late = uint32_t(swing::DelayTicks(d.m_nSwing, d.m_nTicksPerStep));
    for (int s = 0; s < Doc::kBeats; ++s) {
        MidiHdr hdr;
        const bool bFirst = s == 0 && bProgramChange;
        const int n = d.FillBuffer(&hdr, d.m_streamEvents[s & 1], bFirst);
        FUZZ_CHECK(n > 0 && n % int(kMidiEventSize) == 0 && uint32_t(n) <= hdr.dwBufferLength &&
                   n <= Doc::kStreamEventsSize);
        for (int at = 0; at < n; at += int(kMidiEventSize)) {
            const uint8_t* r = hdr.lpData + at;
            const uint32_t delta = uint32_t(Le32(r)), event = uint32_t(Le32(r + 8));
            FUZZ_CHECK(Le32(r + 4) == 0 && (event >> 24) == MEVT_SHORTMSG);
            FUZZ_CHECK(((event >> 8) & 0x80) == 0 && ((event >> 16) & 0x80) == 0);
            FUZZ_CHECK((event & 0xFF) == (bFirst && at == 0 ? d.m_byProgChange : d.m_byNoteOn));
            FUZZ_CHECK(delta == 0 || delta == d.m_nTicksPerStep || (s % 2 == 1 && (delta == late || delta == d.m_nTicksPerStep - late)));
            ticks += delta;
        }
    }
    FUZZ_CHECK(d.m_pStreamPos == d.m_pNoteEvents + Doc::kStreamBlockSize);
    FUZZ_CHECK(ticks == uint32_t(Doc::kLoopTicks));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_context = new Context;
    Context& c = *g_context;
    if (!c.dir.isValid()) return 1;
    qputenv("XDG_CONFIG_HOME", (c.dir.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_CONFIG_DIRS", (c.dir.path() + QStringLiteral("/system")).toLocal8Bit());
    if (!c.settings.OpenForApplication()) return 1;
    c.editor = std::make_unique<Editor>(c.settings);
    c.copy = std::make_unique<Editor>(c.settings);
    c.input = c.dir.filePath(QStringLiteral("input.rlf"));
    c.saved = c.dir.filePath(QStringLiteral("saved.rlf"));
    c.resaved = c.dir.filePath(QStringLiteral("resaved.rlf"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Context& c = *g_context;
    if (!fuzz::WriteAll(c.input, data, size)) return 0;
    Editor& e = *c.editor;
    e.Reset();
    const Snapshot before = Take(e);

    const Doc::LoadResult result = e.doc->LoadLoopFrom(c.input);
    FUZZ_CHECK(result != Doc::LoadResult::OpenFailed);
    FUZZ_CHECK((result == Doc::LoadResult::Loaded) == IsLoopFile(data, size));
    if (result != Doc::LoadResult::Loaded) {
        FUZZ_CHECK(Take(e) == before);
        FUZZ_CHECK(e.view->m_messages.size() == 1);
        return 0;
    }
    CheckLoaded(e, data);
    CheckMidiImage(*e.doc, false);
    CheckMidiImage(*e.doc, true);
    CheckStreamBuffers(*e.doc);

    // Saved, the loop opens again as the same loop, and saves to the same bytes.
    FUZZ_CHECK(e.doc->SaveLoopTo(c.saved));
    const QByteArray saved = fuzz::ReadAll(c.saved);
    // The record alone, unless the loop swings.
    FUZZ_CHECK(saved.size() == (e.doc->m_nSwing == swing::kStraight ? 1472 : 1472 + 12));
    Editor& copy = *c.copy;
    copy.Reset();
    FUZZ_CHECK(copy.doc->LoadLoopFrom(c.saved) == Doc::LoadResult::Loaded);
    Snapshot original = Take(e), reopened = Take(copy);
    FUZZ_CHECK(reopened.rows == std::max(e.doc->m_nUsedVoices, int(Doc::kMinRows)));
    original.rows = reopened.rows;
    FUZZ_CHECK(reopened == original);
    FUZZ_CHECK(copy.doc->SaveLoopTo(c.resaved));
    FUZZ_CHECK(fuzz::ReadAll(c.resaved) == saved);
    return 0;
}
