#include "doc/DocFixture.h"

#include <QFile>

#include <cstring>

using rondo_test::ReadFile;
using rondo_test::WriteFile;

namespace {

// A loop record laid out byte by byte, independently of the program's codec.
struct RecordImage
{
    QByteArray bytes = QByteArray(1472, '\0');

    RecordImage()
    {
        Magic("Rondo3");
        Int(16, 4);
        Text(20, "Your Name");
        Text(101, "Your Company");
        Text(182, "Your Title");
        Int(264, 100);
        for (int v = 0; v < 12; ++v) Voice(v, 50 + 2 * v, 100, "Voice " + std::to_string(v + 1));
        bytes[1468] = 9;
    }
    void Magic(const char* magic) { std::memcpy(bytes.data(), magic, std::strlen(magic)); }
    void Int(int off, int32_t value)
    {
        for (int i = 0; i < 4; ++i) bytes[off + i] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
    }
    void Text(int off, const std::string& text, int fieldSize = 81)
    {
        std::memset(bytes.data() + off, 0, fieldSize);
        std::memcpy(bytes.data() + off, text.data(), text.size());
    }
    void Cell(int v, int b, int32_t value) { Int(268 + 4 * (16 * v + b), value); }
    void Voice(int v, int pitch, int velocity, const std::string& name)
    {
        const int off = 1036 + 19 * v;
        bytes[off] = static_cast<char>(pitch);
        bytes[off + 1] = static_cast<char>(velocity);
        Text(off + 2, name, 17);
    }
};

} // namespace

class LoopFileTest : public DocTest
{
protected:
    CRondoDoc::LoadResult Load(const QByteArray& bytes, const QString& name = "loop.rlf")
    {
        EXPECT_TRUE(WriteFile(TempPath(name), bytes));
        return doc->LoadLoopFrom(TempPath(name));
    }
    QByteArray Save(const QString& name = "saved.rlf")
    {
        EXPECT_TRUE(doc->SaveLoopTo(TempPath(name)));
        return ReadFile(TempPath(name));
    }
};

TEST_F(LoopFileTest, NewLoopIsSavedAsTheDefaultRecord)
{
    EXPECT_EQ(Save("groove.old.rlf"), RecordImage().bytes);
    EXPECT_EQ(view->m_strTitle, "groove.old - Rondo");
    EXPECT_FALSE(doc->m_bDirty);
}

TEST_F(LoopFileTest, RowCountStoredComesFromTheGrid)
{
    while (view->m_nVoices < 10) view->AddVoice();
    doc->m_cells[6][3] = 1;
    RecordImage expected;
    expected.Int(16, 7);
    expected.Cell(6, 3, 1);
    EXPECT_EQ(Save(), expected.bytes);

    doc->ResetLoop();
    ASSERT_EQ(Load(expected.bytes), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(view->m_nVoices, 7);
    EXPECT_EQ(Save(), expected.bytes);  // saved, loaded and saved again: the same bytes

    doc->ResetLoop();
    doc->m_cells[0][0] = 1;  // only the first voice: still four rows
    EXPECT_EQ(Save()[16], 4);
}

TEST_F(LoopFileTest, LoadTakesEveryFieldAndNamesTheFile)
{
    RecordImage rec;
    rec.Int(16, 5);
    rec.Text(20, "Ana \xE9");
    rec.Text(101, "Quiet Room");
    rec.Text(182, "Shuffle");
    rec.Int(264, 137);
    rec.Cell(0, 0, 1);
    rec.Cell(4, 15, 1);
    rec.Voice(4, 42, 90, "Closed Hi-Hat");
    rec.bytes[1468] = 3;
    rec.bytes[1469] = 25;
    view->m_nCurVoice = 3;
    doc->m_bDirty = true;

    ASSERT_EQ(Load(rec.bytes, "my.groove.rlf"), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(doc->m_strComposer, "Ana \xE9");
    EXPECT_EQ(doc->m_strCompany, "Quiet Room");
    EXPECT_EQ(doc->m_strLoopTitle, "Shuffle");
    EXPECT_EQ(doc->m_nBPM, 137);
    EXPECT_EQ(view->m_nTempoPos, 137);
    EXPECT_EQ(doc->m_cells[4][15], 1);
    EXPECT_EQ(doc->m_voices[4].byPitch, 42);
    EXPECT_EQ(doc->m_voices[4].byVelocity, 90);
    EXPECT_STREQ(doc->m_voices[4].szName, "Closed Hi-Hat");
    EXPECT_EQ(doc->m_nChannel, 3);
    EXPECT_EQ(doc->m_byNoteOn, 0x93);
    EXPECT_EQ(doc->m_byProgChange, 0xC3);
    EXPECT_EQ(doc->m_nInstrument, 25);
    EXPECT_EQ(view->m_nVoices, 5);
    EXPECT_EQ(view->m_nCurVoice, 0);
    EXPECT_EQ(view->m_nSheetCloses, 1);
    EXPECT_EQ(view->m_strTitle, "my.groove - Rondo");
    EXPECT_FALSE(doc->m_bDirty);

    // Saved again, the same bytes come out.
    EXPECT_EQ(Save(), rec.bytes);
}

TEST_F(LoopFileTest, MagicLengthAndOlderForms)
{
    RecordImage upper;
    upper.Magic("RONDO3");
    EXPECT_EQ(Load(upper.bytes), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(Load(RecordImage().bytes + QByteArray(100, 'x')), CRondoDoc::LoadResult::Loaded);

    RecordImage older;
    older.Magic("Rondo2");
    older.bytes[1468] = 4;  // lies beyond the shorter forms
    older.bytes[1469] = 7;
    EXPECT_EQ(Load(older.bytes), CRondoDoc::LoadResult::Invalid);
    for (int size : {1468, 1464}) {
        ASSERT_EQ(Load(older.bytes.left(size)), CRondoDoc::LoadResult::Loaded) << size;
        EXPECT_EQ(doc->m_nChannel, 9) << size;
        EXPECT_EQ(doc->m_nInstrument, 0) << size;
    }
    for (int size : {0, 5, 1463, 1465, 1471}) {
        EXPECT_EQ(Load(RecordImage().bytes.left(size)), CRondoDoc::LoadResult::Invalid) << size;
    }
    RecordImage foreign;
    foreign.Magic("Tango3");
    EXPECT_EQ(Load(foreign.bytes), CRondoDoc::LoadResult::Invalid);
    EXPECT_EQ(view->m_messages.last(), "The file you chose is not a valid Rondo file.");
}

TEST_F(LoopFileTest, FailedOrInvalidOpenKeepsTheLoopAndItsFile)
{
    doc->m_strFilePath = TempPath("mine.rlf");
    doc->m_cells[2][2] = 1;
    doc->m_bDirty = true;
    RecordImage bad;
    bad.Magic("Banjo3");
    bad.Int(264, 180);
    EXPECT_EQ(Load(bad.bytes, "bad.rlf"), CRondoDoc::LoadResult::Invalid);
    EXPECT_EQ(doc->m_strFilePath, TempPath("mine.rlf"));
    EXPECT_EQ(doc->m_nBPM, 100);
    EXPECT_EQ(doc->m_cells[2][2], 1);
    EXPECT_TRUE(doc->m_bDirty);

    EXPECT_EQ(doc->LoadLoopFrom(TempPath("absent.rlf")), CRondoDoc::LoadResult::OpenFailed);
    EXPECT_EQ(doc->m_strFilePath, TempPath("mine.rlf"));
    EXPECT_TRUE(view->m_messages.last().contains("absent.rlf"));
}

TEST_F(LoopFileTest, RowsShownFollowTheCountButNeverHideACell)
{
    struct Case { int stored; int shownBefore; int highestRow; int shownAfter; };
    for (const Case c : {Case{0, 4, -1, 4}, Case{-3, 9, -1, 4}, Case{40, 4, -1, 12}, Case{6, 10, -1, 6},
                         Case{2, 4, 8, 9}, Case{5, 12, 10, 11}}) {
        doc->ResetLoop();
        while (view->m_nVoices < c.shownBefore) view->AddVoice();
        RecordImage rec;
        rec.Int(16, c.stored);
        if (c.highestRow >= 0) rec.Cell(c.highestRow, 7, 1);
        ASSERT_EQ(Load(rec.bytes), CRondoDoc::LoadResult::Loaded);
        EXPECT_EQ(view->m_nVoices, c.shownAfter) << c.stored << " " << c.shownBefore;
        if (c.highestRow >= 0) {
            EXPECT_EQ(doc->m_cells[c.highestRow][7], 1);
        }
    }
}

TEST_F(LoopFileTest, OutOfRangeFieldsAreBroughtIntoRange)
{
    RecordImage rec;
    rec.Int(264, 0);
    rec.bytes.replace(20, 81, QByteArray(81, 'A'));  // no NUL in the field
    rec.bytes.replace(1036 + 2, 17, QByteArray(17, 'N'));
    rec.bytes[1036] = static_cast<char>(200);
    rec.bytes[1037] = static_cast<char>(255);
    rec.bytes[1468] = 0x20;
    rec.bytes[1469] = static_cast<char>(0x80);
    ASSERT_EQ(Load(rec.bytes), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(doc->m_nBPM, 40);
    EXPECT_EQ(doc->m_strComposer, std::string(80, 'A'));
    EXPECT_STREQ(doc->m_voices[0].szName, std::string(16, 'N').c_str());
    EXPECT_EQ(doc->m_voices[0].byPitch, 127);
    EXPECT_EQ(doc->m_voices[0].byVelocity, 127);
    EXPECT_EQ(doc->m_nChannel, 9);
    EXPECT_EQ(doc->m_nInstrument, 0);

    rec.Int(264, 5000);
    rec.bytes[1468] = static_cast<char>(0xFF);
    ASSERT_EQ(Load(rec.bytes), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(doc->m_nBPM, 200);
    EXPECT_EQ(doc->m_nChannel, 9);
}

TEST_F(LoopFileTest, FailedSaveIsReportedAndChangesNothing)
{
    ASSERT_TRUE(doc->SaveLoopTo(TempPath("kept.rlf")));
    const QByteArray before = ReadFile(TempPath("kept.rlf"));
    doc->m_cells[1][1] = 1;
    doc->m_bDirty = true;

    EXPECT_FALSE(doc->SaveLoopTo(TempPath("no/such/folder/x.rlf")));
    EXPECT_TRUE(doc->m_bDirty);
    EXPECT_EQ(view->m_strTitle, "kept - Rondo");
    EXPECT_EQ(doc->m_strFilePath, TempPath("kept.rlf"));
    EXPECT_TRUE(view->m_messages.last().contains("could not be saved"));

    // A directory in the file's place cannot be replaced.
    QDir(files.path()).mkpath("dir.rlf");
    EXPECT_FALSE(doc->SaveLoopTo(TempPath("dir.rlf")));
    EXPECT_EQ(ReadFile(TempPath("kept.rlf")), before);
}

TEST_F(LoopFileTest, LevelsAreTaggedCellValuesAndALoopOfTodayStaysByteIdentical)
{
    // A loop as every earlier version wrote it: 0 and 1 only, and one odd
    // non-zero value that plays as on and is kept.
    RecordImage today;
    today.Int(16, 6);
    today.Cell(0, 0, 1);
    today.Cell(5, 9, 1);
    today.Cell(3, 3, 7);
    ASSERT_EQ(Load(today.bytes), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(doc->LevelAt(3, 3), CellLevel::On);
    EXPECT_EQ(Save(), today.bytes);

    doc->SetLevel(0, 4, CellLevel::Accent);
    doc->SetLevel(0, 8, CellLevel::Ghost);
    doc->SetLevel(0, 0, CellLevel::On);
    RecordImage expected = today;
    expected.Cell(0, 4, 0x43410002);
    expected.Cell(0, 8, 0x43410003);
    const QByteArray saved = Save();
    EXPECT_EQ(saved, expected.bytes);
    EXPECT_EQ(saved.mid(268 + 4 * 4, 4), QByteArray("\x02\x00\x41\x43", 4));
    EXPECT_EQ(saved.mid(268 + 4 * 8, 4), QByteArray("\x03\x00\x41\x43", 4));

    doc->ResetLoop();
    ASSERT_EQ(Load(saved), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(doc->LevelAt(0, 0), CellLevel::On);
    EXPECT_EQ(doc->LevelAt(0, 4), CellLevel::Accent);
    EXPECT_EQ(doc->LevelAt(0, 8), CellLevel::Ghost);
    EXPECT_EQ(doc->LevelAt(0, 12), CellLevel::Off);
    // What a reader that knows only "non-zero is on" sees: every level sounds.
    for (int b : {0, 4, 8}) EXPECT_NE(saved.mid(268 + 4 * b, 4), QByteArray(4, '\0'));
}

TEST_F(LoopFileTest, SwingTravelsInATaggedBlockAfterTheRecord)
{
    const QByteArray straight = Save();
    ASSERT_EQ(straight.size(), 1472);

    doc->SetSwing(62);
    const QByteArray swung = Save();
    ASSERT_EQ(swung.size(), 1472 + 12);
    EXPECT_EQ(swung.left(1472), straight) << "the record is the same; older readers read only it";
    EXPECT_EQ(swung.mid(1472), QByteArray("SWNG\x04\x00\x00\x00\x3E\x00\x00\x00", 12));

    doc->ResetLoop();
    ASSERT_EQ(Load(swung), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(doc->m_nSwing, 62);
    EXPECT_EQ(Save(), swung);

    // Without the block a loop plays straight; other trailing bytes are
    // ignored, blocks the reader does not know are skipped.
    struct Case { QByteArray trailer; int swing; };
    const QByteArray block = swung.mid(1472);
    const Case cases[] = {
        {QByteArray(), 50},
        {QByteArray(100, 'x'), 50},
        {QByteArray("SWNG\x04\x00\x00\x00\x3E\x00", 10), 50},                  // cut short
        {QByteArray("SWNG\x02\x00\x00\x00\x3E\x00", 10), 50},                  // wrong length
        {QByteArray("SWNG\x04\x00\x00\x00\x63\x00\x00\x00", 12), 75},          // 99: at most 75
        {QByteArray("SWNG\x04\x00\x00\x00\xF6\xFF\xFF\xFF", 12), 50},          // -10: straight
        {QByteArray("NEXT\x03\x00\x00\x00\x01\x02\x03", 11) + block, 62},       // an unknown block first
        {block + QByteArray("\xFF\xFF\xFF\xFF trailing", 13), 62},
        {QByteArray("JUNK\xFF\xFF\xFF\x7F", 8) + block, 50},                    // runs past the end: the chain stops
    };
    for (const Case& c : cases) {
        doc->ResetLoop();
        doc->SetSwing(70);
        ASSERT_EQ(Load(RecordImage().bytes + c.trailer), CRondoDoc::LoadResult::Loaded) << c.trailer.toHex().toStdString();
        EXPECT_EQ(doc->m_nSwing, c.swing) << c.trailer.toHex().toStdString();
    }
    // The older forms carry no blocks: their size is their form.
    RecordImage older;
    older.Magic("Rondo2");
    ASSERT_EQ(Load(older.bytes.left(1468)), CRondoDoc::LoadResult::Loaded);
    EXPECT_EQ(doc->m_nSwing, 50);
    EXPECT_EQ(Load(older.bytes + block), CRondoDoc::LoadResult::Invalid);
}
