#include "doc/DocFixture.h"
#include "midi/SmfReader.h"

#include <array>
#include <random>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Image(const CRondoDoc& doc) { return Bytes(doc.m_midiFile, doc.m_midiFile + doc.m_nDocSize); }

Bytes NoteEvents(const CRondoDoc& doc)
{
    return Bytes(static_cast<const uint8_t*>(doc.m_pNoteEvents), doc.m_midiFile + doc.m_nDocSize);
}

void Append(Bytes& out, std::initializer_list<int> bytes)
{
    for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
}

void AppendText(Bytes& out, int type, const std::string& text)
{
    Append(out, {0x00, 0xFF, type, static_cast<int>(text.size())});
    out.insert(out.end(), text.begin(), text.end());
}

void AppendLength(Bytes& out, size_t len)
{
    Append(out, {int(len >> 24) & 0xFF, int(len >> 16) & 0xFF, int(len >> 8) & 0xFF, int(len) & 0xFF});
}

} // namespace

class BuilderTest : public DocTest
{
};

TEST_F(BuilderTest, ExportImageOfAnEmptyLoopByteForByte)
{
    doc->BuildMidiFile(false);
    const std::string copyright = doc->m_strCopyright + "Your Name";
    Bytes track1;
    AppendText(track1, 0x03, "Your Title");
    AppendText(track1, 0x02, copyright);
    AppendText(track1, 0x02, "Your Company");
    Append(track1, {0x00, 0xFF, 0x58, 0x04, 0x04, 0x02, 0x18, 0x08, 0x00, 0xFF, 0x59, 0x02, 0x00, 0x00});
    Append(track1, {0x00, 0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0, 0x00, 0xFF, 0x2F, 0x00});
    Bytes track2;
    Append(track2, {0x00, 0xFF, 0x21, 0x01, 0x37});
    AppendText(track2, 0x03, "Rondo");
    Append(track2, {0x00, 0xC9, 0x00});
    Append(track2, {0x83, 0x60, 0xFF, 0x2F, 0x00});  // the bar's full 480 ticks

    Bytes expected = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0, 120, 'M', 'T', 'r', 'k'};
    AppendLength(expected, track1.size());
    expected.insert(expected.end(), track1.begin(), track1.end());
    Append(expected, {'M', 'T', 'r', 'k'});
    AppendLength(expected, track2.size());
    expected.insert(expected.end(), track2.begin(), track2.end());

    EXPECT_EQ(Image(*doc), expected);
    EXPECT_EQ(doc->m_pNoteEvents, doc->m_midiFile + expected.size() - 5);
    EXPECT_EQ(copyright[10], '\xA9');
    EXPECT_EQ(doc->m_nUsedVoices, 1);
}

TEST_F(BuilderTest, TempoEventIsSixtyMillionOverTheTempo)
{
    struct Case { int bpm; Bytes tempo; };
    for (const Case& c : {Case{100, {0x09, 0x27, 0xC0}}, Case{40, {0x16, 0xE3, 0x60}}, Case{200, {0x04, 0x93, 0xE0}}}) {
        doc->m_nBPM = c.bpm;
        doc->BuildMidiFile(false);
        const smf::File f = smf::Parse(Image(*doc));
        ASSERT_EQ(f.error, "");
        bool found = false;
        for (const smf::Event& e : f.trackEvents[0])
            if (e.status == 0xFF && e.metaType == 0x51) found = e.data == c.tempo;
        EXPECT_TRUE(found) << c.bpm;
    }
}

TEST_F(BuilderTest, ExportNoteEventsUseRunningStatusAndEndAtTheBar)
{
    doc->m_bProgChgExport = false;
    doc->m_cells[0][0] = 1;
    doc->m_cells[0][4] = 1;
    doc->BuildMidiFile(false);
    // The note events, then the end of track 330 ticks after the last note-off.
    EXPECT_EQ(NoteEvents(*doc), (Bytes{0x00, 0x99, 0x32, 0x64, 0x1E, 0x32, 0x00, 0x5A, 0x32, 0x64, 0x1E, 0x32, 0x00,
                                       0x82, 0x4A, 0xFF, 0x2F, 0x00}));
    // Without the program change the notes follow the track name directly.
    EXPECT_EQ(Bytes(doc->m_pNoteEvents - 8, doc->m_pNoteEvents), (Bytes{0xFF, 0x03, 0x05, 'R', 'o', 'n', 'd', 'o'}));

    struct Case { std::vector<std::pair<int, int>> cells; Bytes events; };
    const Case cases[] = {
        {{{0, 0}}, {0x00, 0x99, 0x32, 0x64, 0x1E, 0x32, 0x00, 0x83, 0x42, 0xFF, 0x2F, 0x00}},
        {{{1, 5}}, {0x81, 0x16, 0x99, 0x34, 0x64, 0x1E, 0x34, 0x00, 0x82, 0x2C, 0xFF, 0x2F, 0x00}},
        {{{0, 15}}, {0x83, 0x42, 0x99, 0x32, 0x64, 0x1E, 0x32, 0x00, 0x00, 0xFF, 0x2F, 0x00}},
        {{{2, 3}, {0, 3}},
         {0x5A, 0x99, 0x32, 0x64, 0x00, 0x36, 0x64, 0x1E, 0x32, 0x00, 0x00, 0x36, 0x00, 0x82, 0x68, 0xFF, 0x2F, 0x00}},
    };
    for (const Case& c : cases) {
        doc->ResetLoop();
        doc->m_bProgChgExport = false;
        for (auto [v, s] : c.cells) doc->m_cells[v][s] = 1;
        doc->BuildMidiFile(false);
        EXPECT_EQ(NoteEvents(*doc), c.events) << c.cells.front().first << "/" << c.cells.front().second;
    }
}

TEST_F(BuilderTest, StreamBlockHasEveryVoiceOfEveryStep)
{
    doc->SetChannel(2);
    doc->m_nInstrument = 33;
    doc->m_cells[3][7] = 1;
    doc->m_cells[11][0] = 1;
    doc->m_voices[11].byVelocity = 77;
    doc->BuildMidiFile(true);

    ASSERT_EQ(doc->m_pNoteEvents[-3], 0x00);
    EXPECT_EQ(doc->m_pNoteEvents[-2], 0xC2);
    EXPECT_EQ(doc->m_pNoteEvents[-1], 33);
    const uint8_t* block = doc->m_pNoteEvents;
    for (int s = 0; s < 16; ++s) {
        for (int v = 0; v < 12; ++v) {
            const uint8_t* on = block + 96 * s + 4 * v;
            const uint8_t* off = on + 48;
            const int velocity = doc->m_cells[v][s] ? doc->m_voices[v].byVelocity : 0;
            EXPECT_EQ(Bytes(on, on + 4), (Bytes{0, 0x92, uint8_t(50 + 2 * v), uint8_t(velocity)})) << s << "/" << v;
            EXPECT_EQ(Bytes(off, off + 4), (Bytes{uint8_t(v == 0 ? 30 : 0), 0x92, uint8_t(50 + 2 * v), 0}));
        }
    }
    EXPECT_EQ(Bytes(block + 1536, static_cast<const uint8_t*>(doc->m_midiFile + doc->m_nDocSize)), (Bytes{0x00, 0xFF, 0x2F, 0x00}));
    const size_t texts = doc->m_strLoopTitle.size() + doc->m_strCopyright.size() + doc->m_strComposer.size() +
                         doc->m_strCompany.size() + doc->m_strTrackName.size();
    EXPECT_EQ(static_cast<size_t>(doc->m_nDocSize), 80 + texts + 3 + 1536);

    // Rewriting the block from changed cells keeps its place and size.
    doc->m_cells[3][7] = 0;
    EXPECT_EQ(doc->WriteNoteEvents(true), block + 1536);
    EXPECT_EQ(block[96 * 7 + 4 * 3 + 3], 0);

    doc->m_bProgChgStream = false;
    doc->BuildMidiFile(true);
    EXPECT_EQ(Bytes(doc->m_pNoteEvents - 8, doc->m_pNoteEvents), (Bytes{0xFF, 0x03, 0x05, 'R', 'o', 'n', 'd', 'o'}));
}

TEST_F(BuilderTest, EmptyTextsGiveEmptyMetaEvents)
{
    doc->m_strLoopTitle.clear();
    doc->m_strCompany.clear();
    doc->BuildMidiFile(false);
    EXPECT_EQ(Bytes(doc->m_midiFile + 22, doc->m_midiFile + 26), (Bytes{0x00, 0xFF, 0x03, 0x00}));
    const smf::File f = smf::Parse(Image(*doc));
    ASSERT_EQ(f.error, "");
    EXPECT_TRUE(f.trackEvents[0][2].data.empty());
}

TEST_F(BuilderTest, RandomLoopsParseAndPlaceEveryNoteOnTheGrid)
{
    std::mt19937 rng(20261208);
    for (int round = 0; round < 200; ++round) {
        doc->ResetLoop();
        doc->m_bProgChgExport = (round % 2) != 0;
        doc->m_nBPM = 40 + static_cast<int>(rng() % 161);
        const double density = (rng() % 5) / 4.0;
        for (int v = 0; v < 12; ++v)
            for (int s = 0; s < 16; ++s) doc->m_cells[v][s] = (rng() % 1000) < density * 1000 * ((v % 3) ? 0.3 : 1) ? 1 : 0;

        for (bool bForStream : {false, true}) {
            doc->BuildMidiFile(bForStream);
            const smf::File f = smf::Parse(Image(*doc));
            ASSERT_EQ(f.error, "") << round;
            ASSERT_EQ(f.format, 1);
            ASSERT_EQ(f.division, 120);
            const std::vector<smf::Event>& drums = f.trackEvents[1];
            EXPECT_EQ(drums.back().tick, 480u) << round << (bForStream ? " stream" : " export");
            int sounding[12][16] = {};
            int silenced[12][16] = {};
            for (const smf::Event& e : drums) {
                if (e.status != 0x99) continue;
                const int v = (e.data[0] - 50) / 2;
                if (e.data[1] != 0) {
                    ASSERT_EQ(e.tick % 30, 0u);
                    ++sounding[v][e.tick / 30];
                } else if (!bForStream) {
                    ASSERT_EQ(e.tick % 30, 0u);
                    ASSERT_GT(e.tick, 0u);
                    ++silenced[v][e.tick / 30 - 1];
                }
            }
            for (int v = 0; v < 12; ++v) {
                for (int s = 0; s < 16; ++s) {
                    EXPECT_EQ(sounding[v][s], doc->m_cells[v][s]) << round << " " << v << "/" << s;
                    if (!bForStream) {
                        EXPECT_EQ(silenced[v][s], doc->m_cells[v][s]);
                    }
                }
            }
        }
    }
}

TEST_F(BuilderTest, EachCellPlaysAtItsLevelInBothForms)
{
    doc->m_bProgChgExport = false;
    doc->SetLevel(0, 0, CellLevel::On);
    doc->SetLevel(0, 4, CellLevel::Accent);
    doc->SetLevel(0, 8, CellLevel::Ghost);
    doc->SetCell(1, 8, 7);  // no level of ours: plays as on
    doc->m_voices[1].byVelocity = 90;
    doc->BuildMidiFile(false);
    EXPECT_EQ(NoteEvents(*doc), (Bytes{0x00, 0x99, 0x32, 0x64, 0x1E, 0x32, 0x00,   // on: the voice's 100
                                       0x5A, 0x32, 0x7F, 0x1E, 0x32, 0x00,         // accent: 127
                                       0x5A, 0x32, 0x2D, 0x00, 0x34, 0x5A,         // ghost: 45 % of 100
                                       0x1E, 0x32, 0x00, 0x00, 0x34, 0x00,
                                       0x81, 0x52, 0xFF, 0x2F, 0x00}));

    doc->BuildMidiFile(true);
    auto streamVelocity = [&](int v, int s) { return int(doc->m_pNoteEvents[96 * s + 4 * v + 3]); };
    EXPECT_EQ(streamVelocity(0, 0), 100);
    EXPECT_EQ(streamVelocity(0, 4), 127);
    EXPECT_EQ(streamVelocity(0, 8), 45);
    EXPECT_EQ(streamVelocity(1, 8), 90);
    EXPECT_EQ(streamVelocity(0, 12), 0);

    // A ghost is soft, never silent, while its voice sounds at all.
    EXPECT_EQ(cells::Velocity(cells::kGhost, 2), 1);
    EXPECT_EQ(cells::Velocity(cells::kGhost, 0), 0);
    EXPECT_EQ(cells::Velocity(cells::kGhost, 127), 57);
}

TEST_F(BuilderTest, SwingMovesTheOffBeatsAndStraightStaysAsItWas)
{
    doc->m_bProgChgExport = false;
    for (int s = 0; s < 16; ++s) doc->SetCell(0, s, cells::kOn);
    doc->SetCell(2, 3, cells::kAccent);
    doc->BuildMidiFile(false);
    const Bytes straight = Image(*doc);

    struct Case { int swing; unsigned late; };
    for (const Case c : {Case{51, 1}, Case{58, 5}, Case{66, 10}, Case{75, 15}}) {
        doc->SetSwing(c.swing);
        doc->BuildMidiFile(false);
        const smf::File f = smf::Parse(Image(*doc));
        ASSERT_EQ(f.error, "") << c.swing;
        std::vector<std::array<unsigned, 3>> notes;  // tick, pitch, velocity
        for (const smf::Event& e : f.trackEvents[1])
            if (e.status == 0x99) notes.push_back({e.tick, e.data[0], e.data[1]});
        std::vector<std::array<unsigned, 3>> want;
        for (unsigned s = 0; s < 16; ++s) {
            const unsigned on = 30 * s + (s % 2 ? c.late : 0);
            want.push_back({on, 50, 100});
            if (s == 3) want.push_back({on, 54, 127});
            want.push_back({30 * s + 30, 50, 0});  // every note still ends at the next step
            if (s == 3) want.push_back({30 * s + 30, 54, 0});
        }
        EXPECT_EQ(notes, want) << c.swing;
        EXPECT_EQ(f.trackEvents[1].back().tick, 480u);
    }

    // The stream form: an off-beat step's notes start late and its step
    // still lasts 30 ticks.
    doc->SetSwing(75);
    doc->BuildMidiFile(true);
    for (int s = 0; s < 16; ++s) {
        const uint8_t* step = doc->m_pNoteEvents + 96 * s;
        EXPECT_EQ(step[0], s % 2 ? 15 : 0) << s;
        EXPECT_EQ(step[48], s % 2 ? 15 : 30) << s;
        for (int v = 1; v < 12; ++v) EXPECT_EQ(step[4 * v] + step[48 + 4 * v], 0) << s;
    }

    doc->SetSwing(50);
    doc->BuildMidiFile(false);
    EXPECT_EQ(Image(*doc), straight);
    // Two steps, swung to 75 %: the off-beat comes 15 ticks late, byte for byte.
    doc->ResetLoop();
    doc->m_bProgChgExport = false;
    doc->SetSwing(75);
    doc->SetCell(0, 0, cells::kOn);
    doc->SetCell(0, 1, cells::kOn);
    doc->BuildMidiFile(false);
    EXPECT_EQ(NoteEvents(*doc), (Bytes{0x00, 0x99, 0x32, 0x64, 0x1E, 0x32, 0x00, 0x0F, 0x32, 0x64, 0x0F, 0x32, 0x00,
                                       0x83, 0x24, 0xFF, 0x2F, 0x00}));
}

TEST_F(BuilderTest, MutedVoicesAreSilentInTheStreamOnly)
{
    doc->SetCell(0, 0, cells::kOn);
    doc->SetCell(1, 0, cells::kOn);
    doc->SetCell(2, 0, cells::kAccent);
    doc->BuildMidiFile(false);
    const Bytes exported = Image(*doc);
    doc->SetMuted(1, true);
    doc->SetSolo(2, true);
    doc->SetSolo(1, true);  // soloed but muted: still silent
    doc->BuildMidiFile(false);
    EXPECT_EQ(Image(*doc), exported) << "the export plays every voice";
    doc->BuildMidiFile(true);
    EXPECT_EQ(doc->m_pNoteEvents[4 * 0 + 3], 0);
    EXPECT_EQ(doc->m_pNoteEvents[4 * 1 + 3], 0);
    EXPECT_EQ(doc->m_pNoteEvents[4 * 2 + 3], 127);
}
