#include "doc/DocFixture.h"

#include <QDate>

#include <cstring>
#include <vector>

namespace {

CVirtualMidiOut Ports(unsigned count, std::vector<unsigned> failing = {})
{
    std::vector<std::string> names;
    for (unsigned d = 0; d < count; ++d) names.push_back("Port " + std::to_string(d));
    CVirtualMidiOut ports(names);
    ports.m_failingCaps = std::move(failing);
    return ports;
}

std::vector<int> Row(const CRondoDoc& doc, int v)
{
    return std::vector<int>(doc.m_cells[v], doc.m_cells[v] + CRondoDoc::kBeats);
}

void SetRow(CRondoDoc& doc, int v, const std::vector<int>& cells)
{
    for (int b = 0; b < CRondoDoc::kBeats; ++b) doc.m_cells[v][b] = cells[static_cast<size_t>(b)];
}

} // namespace

TEST_F(DocTest, NewLoopTakesTheDefaults)
{
    // A view left with more rows and another current voice is brought back.
    view->m_nVoices = 9;
    view->m_nCurVoice = 7;
    view->m_nTempoPos = 150;
    view->m_strTitle = "x - Rondo";
    doc->m_cells[8][3] = 1;
    doc->m_bDirty = true;
    doc->ResetLoop();

    for (int v = 0; v < CRondoDoc::kVoices; ++v) {
        EXPECT_EQ(doc->m_voices[v].byPitch, 50 + 2 * v);
        EXPECT_EQ(doc->m_voices[v].byVelocity, 100);
        EXPECT_STREQ(doc->m_voices[v].szName, ("Voice " + std::to_string(v + 1)).c_str());
        EXPECT_EQ(Row(*doc, v), std::vector<int>(16, 0));
    }
    EXPECT_EQ(view->m_nVoices, 4);
    EXPECT_EQ(view->m_nCurVoice, 0);
    EXPECT_EQ(view->m_nTempoPos, 100);
    EXPECT_EQ(view->m_strTitle, "Rondo");
    EXPECT_FALSE(doc->m_bDirty);
    EXPECT_EQ(doc->m_nBPM, 100);
    EXPECT_EQ(doc->m_nChannel, 9);
    EXPECT_EQ(doc->m_byNoteOn, 0x99);
    EXPECT_EQ(doc->m_byProgChange, 0xC9);
    EXPECT_EQ(doc->m_nInstrument, 0);
    EXPECT_TRUE(doc->m_bProgChgExport);
    EXPECT_TRUE(doc->m_bProgChgStream);
    EXPECT_FALSE(doc->m_bNoSavePrompt);
    EXPECT_EQ(doc->m_strComposer, "Your Name");
    EXPECT_EQ(doc->m_strCompany, "Your Company");
    EXPECT_EQ(doc->m_strLoopTitle, "Your Title");
    EXPECT_EQ(doc->m_strTrackName, "Rondo");
    EXPECT_EQ(doc->m_strCopyright, "Copyright \xA9 " + std::to_string(QDate::currentDate().year()) + " by ");
    EXPECT_TRUE(doc->m_strFilePath.isEmpty());
    EXPECT_EQ(doc->m_uDeviceID, 0xFFFFFFFFu);
}

TEST_F(DocTest, SettingsAreValidatedAsOneSignedByte)
{
    struct Case { int stored; int channel; };
    for (const Case c : {Case{16, 9}, Case{-1, 9}, Case{265, 9}, Case{3, 3}, Case{0, 0}, Case{15, 15}}) {
        settings.SetInt("Doc", "Channel", c.stored);
        doc->ResetLoop();
        EXPECT_EQ(doc->m_nChannel, c.channel) << c.stored;
        EXPECT_EQ(doc->m_byNoteOn, 0x90 + c.channel) << c.stored;
        EXPECT_EQ(doc->m_byProgChange, 0xC0 + c.channel) << c.stored;
    }
    struct Inst { int stored; int instrument; };
    for (const Inst c : {Inst{200, 0}, Inst{300, 44}, Inst{127, 127}, Inst{-5, 0}}) {
        settings.SetInt("Doc", "Instrument", c.stored);
        doc->ResetLoop();
        EXPECT_EQ(doc->m_nInstrument, c.instrument) << c.stored;
    }
}

TEST_F(DocTest, TextsComeFromTheSettingsAsBoundedWindows1252)
{
    settings.SetString("Prefs", "Composer", QString::fromUtf8("Zoë – ☃"));
    settings.SetString("Prefs", "Company", QString(100, u'c'));
    settings.SetString("Prefs", "LoopTitle", QString());
    settings.SetInt("Doc", "ProgChgExport", 0);
    settings.SetInt("Doc", "Save", 1);
    doc->ResetLoop();
    EXPECT_EQ(doc->m_strComposer, "Zo\xEB \x96 ?");
    EXPECT_EQ(doc->m_strCompany, std::string(80, 'c'));
    EXPECT_EQ(doc->m_strLoopTitle, "");
    EXPECT_FALSE(doc->m_bProgChgExport);
    EXPECT_TRUE(doc->m_bProgChgStream);
    EXPECT_TRUE(doc->m_bNoSavePrompt);
}

TEST_F(DocTest, DeviceTableListsTheSynthesizerAndAtMostNineteenDevices)
{
    settings.SetInt("Device", "ID", 3);
    CVirtualMidiOut none = Ports(0);
    Recreate(&none);
    EXPECT_EQ(doc->m_devices[0].caps.szPname, "Built-in Synthesizer");
    EXPECT_EQ(doc->m_devices[0].nDeviceId, -1);
    for (int i = 1; i < CRondoDoc::kDeviceSlots; ++i) EXPECT_FALSE(doc->m_devices[i].bValid);
    EXPECT_EQ(doc->m_uDeviceID, 0xFFFFFFFFu);

    CVirtualMidiOut many = Ports(25, {2});
    Recreate(&many);
    EXPECT_EQ(doc->m_uDeviceID, 3u);
    EXPECT_FALSE(doc->m_devices[3].bValid);  // device 2 failed
    for (int i = 1; i < CRondoDoc::kDeviceSlots; ++i) {
        if (i == 3) continue;
        EXPECT_TRUE(doc->m_devices[i].bValid);
        EXPECT_EQ(doc->m_devices[i].nDeviceId, i - 1);
        EXPECT_EQ(doc->m_devices[i].caps.szPname, "Port " + std::to_string(i - 1));
    }
    for (int stored : {19, 2}) {  // not listed: beyond slot 19, or failed
        settings.SetInt("Device", "ID", stored);
        doc->ResetLoop();
        EXPECT_EQ(doc->m_uDeviceID, 0xFFFFFFFFu) << stored;
    }
}

TEST_F(DocTest, CountUsedVoicesFindsTheHighestRowInUse)
{
    doc->CountUsedVoices();
    EXPECT_EQ(doc->m_nUsedVoices, 1);
    doc->m_cells[0][5] = 1;
    doc->CountUsedVoices();
    EXPECT_EQ(doc->m_nUsedVoices, 1);
    doc->m_cells[6][15] = 1;
    doc->CountUsedVoices();
    EXPECT_EQ(doc->m_nUsedVoices, 7);
    doc->m_cells[11][0] = 1;
    doc->CountUsedVoices();
    EXPECT_EQ(doc->m_nUsedVoices, 12);
}

TEST_F(DocTest, ShiftRotatesTheCurrentVoiceAndMarksTheLoopModified)
{
    const std::vector<int> start = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    view->m_nCurVoice = 2;
    SetRow(*doc, 2, start);
    SetRow(*doc, 1, start);
    doc->ShiftBeats(true);
    EXPECT_EQ(Row(*doc, 2), (std::vector<int>{1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Row(*doc, 1), start);
    EXPECT_TRUE(doc->m_bDirty);
    EXPECT_EQ(view->m_lastInvalidatedRow, 2);
    EXPECT_FALSE(view->m_bShifting);

    SetRow(*doc, 2, start);
    doc->ShiftBeats(false);
    EXPECT_EQ(Row(*doc, 2), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1}));

    const std::vector<int> pattern = {1, 0, 1, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 1};
    SetRow(*doc, 2, pattern);
    for (int i = 0; i < 16; ++i) doc->ShiftBeats(false);
    EXPECT_EQ(Row(*doc, 2), pattern);
}

TEST_F(DocTest, SavePromptGoesOnOnlyWhenNothingIsLost)
{
    EXPECT_TRUE(doc->PromptSave());  // unchanged: nothing asked
    EXPECT_TRUE(view->m_messages.isEmpty());

    IRondoView::MsgResult answer = IRondoView::MsgResult::Cancel;
    view->m_onMessage = [&](const QString&, IRondoView::MsgKind) { return answer; };
    doc->m_bDirty = true;
    EXPECT_FALSE(doc->PromptSave());
    EXPECT_EQ(view->m_messages.last(), "The Rondo file has changed?\n\nDo you want to save it?");
    answer = IRondoView::MsgResult::No;
    EXPECT_TRUE(doc->PromptSave());

    // Yes on a never-saved loop whose Save As is cancelled: stop, keep the changes.
    answer = IRondoView::MsgResult::Yes;
    EXPECT_FALSE(doc->PromptSave());
    EXPECT_TRUE(doc->m_bDirty);
    EXPECT_EQ(view->m_fileRequests.size(), 1);

    // Yes with a save that fails: stop as well.
    doc->m_strFilePath = TempPath("missing-folder/x.rlf");
    EXPECT_FALSE(doc->PromptSave());
    EXPECT_TRUE(doc->m_bDirty);

    // Yes with a save that works: go on.
    doc->m_strFilePath = TempPath("x.rlf");
    EXPECT_TRUE(doc->PromptSave());
    EXPECT_FALSE(doc->m_bDirty);
    EXPECT_TRUE(QFile::exists(TempPath("x.rlf")));
}

TEST_F(DocTest, NewKeepsTheLoopWhenThePromptIsCancelled)
{
    view->m_onMessage = [](const QString&, IRondoView::MsgKind) { return IRondoView::MsgResult::Cancel; };
    doc->m_cells[0][0] = 1;
    doc->m_bDirty = true;
    EXPECT_FALSE(doc->NewLoop());
    EXPECT_EQ(doc->m_cells[0][0], 1);
    view->m_onMessage = [](const QString&, IRondoView::MsgKind) { return IRondoView::MsgResult::No; };
    EXPECT_TRUE(doc->CanCloseFrame());
    EXPECT_TRUE(doc->NewLoop());
    EXPECT_EQ(doc->m_cells[0][0], 0);
    EXPECT_FALSE(doc->m_bDirty);
}

TEST_F(DocTest, FileCommandsRememberTheirFoldersApart)
{
    QDir(files.path()).mkpath("saved");
    QDir(files.path()).mkpath("opened");
    doc->m_strExampleFolder = TempPath("examples");
    const QString saved = TempPath("saved/beat.rlf");
    view->m_onChooseFile = [&](IRondoView::FileKind kind, const QString&) -> std::optional<QString> {
        return kind == IRondoView::FileKind::SaveLoop ? saved : TempPath("opened/none.rlf");
    };
    EXPECT_TRUE(doc->SaveLoopCommand());  // no file yet: goes through Save As, from the home folder
    EXPECT_EQ(view->m_fileRequests.last(), QDir::homePath() + "/untitled");
    EXPECT_EQ(view->m_strTitle, "beat - Rondo");
    EXPECT_EQ(settings.GetString("Save", "DirPath", "?"), TempPath("saved"));

    EXPECT_TRUE(doc->SaveLoopCommand());  // now straight to the file, no dialog
    EXPECT_EQ(view->m_fileRequests.size(), 1);

    // Open starts among the example loops until it has a folder of its own;
    // saving elsewhere does not count.
    EXPECT_FALSE(doc->OpenLoopCommand());  // the chosen file does not exist
    EXPECT_EQ(view->m_fileRequests.last(), TempPath("examples") + "/untitled");
    EXPECT_EQ(settings.GetString("Open", "DirPath", "?"), TempPath("opened"));
    EXPECT_EQ(doc->m_strFilePath, saved);  // the failed open left the loop's file alone

    EXPECT_TRUE(doc->SaveLoopAsCommand());
    EXPECT_EQ(view->m_fileRequests.last(), TempPath("saved") + "/untitled");
    EXPECT_FALSE(doc->OpenLoopCommand());
    EXPECT_EQ(view->m_fileRequests.last(), TempPath("opened") + "/untitled");

    // A cancelled dialog changes nothing, not even the folder.
    view->m_onChooseFile = [](IRondoView::FileKind, const QString&) { return std::optional<QString>(); };
    doc->m_bDirty = true;
    EXPECT_FALSE(doc->SaveLoopAsCommand());
    EXPECT_TRUE(doc->m_bDirty);
    EXPECT_EQ(settings.GetString("Save", "DirPath", "?"), TempPath("saved"));
}

TEST_F(DocTest, ARememberedDeviceNameWinsOverItsIdWhenThePortsMove)
{
    CVirtualMidiOut ports({"Synth A", "DAW In", "Synth B"});
    settings.SetInt("Device", "ID", 1);
    settings.SetString("Device", "Name", QStringLiteral("DAW In"));
    Recreate(&ports);
    EXPECT_EQ(doc->m_uDeviceID, 1u);
    // The list changed order: the name finds the port where it went.
    ports.m_names = {"DAW In", "Synth A", "Synth B"};
    doc->ResetLoop();
    EXPECT_EQ(doc->m_uDeviceID, 0u);
    EXPECT_EQ(doc->DeviceName(doc->m_uDeviceID), QStringLiteral("DAW In"));
    // Gone: never whichever port now has its id, but the built-in synthesizer.
    ports.m_names = {"Synth A", "Synth B"};
    doc->ResetLoop();
    EXPECT_EQ(doc->m_uDeviceID, MIDI_MAPPER);
    // Without a name (older preferences) the id chooses, as before.
    settings.SetString("Device", "Name", QString());
    doc->ResetLoop();
    EXPECT_EQ(doc->m_uDeviceID, 1u);
}
