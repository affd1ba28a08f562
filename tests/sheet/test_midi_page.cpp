#include "app/AppFixture.h"
#include "midiout/JackServer.h"
#include "sheet/MidiPage.h"
#include "view/Commands.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class MidiPageTest : public AppTest
{
protected:
    // The page as the property window opens it.
    std::unique_ptr<CMidiPage> OpenPage()
    {
        auto pPage = std::make_unique<CMidiPage>(view());
        pPage->m_nChannelNo = doc().m_nChannel + 1;
        pPage->m_nInstrumentNo = unsigned(doc().m_nInstrument + 1);
        pPage->m_bProgChgExport = doc().m_bProgChgExport;
        pPage->m_bProgChgStream = doc().m_bProgChgStream;
        EXPECT_TRUE(pPage->OnInitDialog());
        return pPage;
    }
    int Stored(const char* section, const char* name) { return app->m_settings.GetInt(section, name, -99); }
};

TEST_F(MidiPageTest, EmptySettingsShowTheDefaultsAndTheBoxesSwitchTheInstrumentField)
{
    auto pPage = OpenPage();
    EXPECT_EQ(pPage->m_comboDevice->currentText(), QStringLiteral("Built-in Synthesizer"));
    EXPECT_EQ(pPage->m_comboDevice->currentData().toInt(), -1);
    EXPECT_EQ(pPage->ChannelEdit()->text(), QStringLiteral("10"));
    EXPECT_EQ(pPage->m_editInstrument->text(), QStringLiteral("1"));
    EXPECT_TRUE(pPage->StreamCheck()->isChecked());
    EXPECT_TRUE(pPage->ExportCheck()->isChecked());
    EXPECT_TRUE(pPage->m_editInstrument->isEnabled());

    pPage->StreamCheck()->click();
    EXPECT_TRUE(pPage->m_editInstrument->isEnabled());
    pPage->ExportCheck()->click();
    EXPECT_FALSE(pPage->m_editInstrument->isEnabled());
    pPage->StreamCheck()->click();
    EXPECT_TRUE(pPage->m_editInstrument->isEnabled());
    EXPECT_TRUE(messages.isEmpty());

    // Every click reads all fields, and says so when one is wrong.
    pPage->ChannelEdit()->setText(QStringLiteral("0"));
    pPage->ExportCheck()->click();
    EXPECT_EQ(messages, QStringList{QStringLiteral("Please enter an integer between 1 and 16.")});
    EXPECT_EQ(pPage->m_bProgChgExport, 1) << "the boxes are read past the failing field";
}

TEST_F(MidiPageTest, AFieldThatFailsIsReportedAndKeptWhileTheRestApplies)
{
    auto pPage = OpenPage();
    pPage->show();
    pPage->ChannelEdit()->setText(QStringLiteral("17"));
    pPage->m_editInstrument->setText(QStringLiteral("5"));
    pPage->ExportCheck()->click();
    messages.clear();
    pPage->ApplyButton()->click();
    EXPECT_EQ(messages, QStringList{QStringLiteral("Please enter an integer between 1 and 16.")});
    EXPECT_EQ(pPage->focusWidget(), pPage->ChannelEdit());
    EXPECT_EQ(pPage->ChannelEdit()->selectedText(), QStringLiteral("17"));
    EXPECT_EQ(doc().m_nChannel, 9);
    EXPECT_EQ(doc().m_byNoteOn, 0x99);
    EXPECT_EQ(Stored("Doc", "Channel"), -99);
    EXPECT_EQ(doc().m_nInstrument, 4);
    EXPECT_FALSE(doc().m_bProgChgExport);
    EXPECT_EQ(Stored("Doc", "ProgChgExport"), 0);

    // Both wrong: one message, for the first; neither applies.
    messages.clear();
    pPage->ChannelEdit()->setText(QStringLiteral("two"));
    pPage->m_editInstrument->setText(QStringLiteral("129"));
    pPage->ApplyButton()->click();
    EXPECT_EQ(messages, QStringList{QStringLiteral("Please enter an integer.")});
    EXPECT_EQ(doc().m_nChannel, 9);
    EXPECT_EQ(doc().m_nInstrument, 4);
    EXPECT_EQ(Stored("Doc", "Instrument"), 4);

    messages.clear();
    pPage->ChannelEdit()->setText(QStringLiteral("3"));
    pPage->ApplyButton()->click();
    EXPECT_EQ(messages, QStringList{QStringLiteral("Please enter an integer between 1 and 128.")});
    EXPECT_EQ(pPage->focusWidget(), pPage->m_editInstrument);
    EXPECT_EQ(doc().m_nChannel, 2);
}

TEST_F(MidiPageTest, ChannelAndInstrumentApplyZeroBasedAndOnlyChangesMarkTheLoop)
{
    auto pPage = OpenPage();
    pPage->ChannelEdit()->setText(QStringLiteral("1"));
    pPage->m_editInstrument->setText(QStringLiteral("128"));
    pPage->ApplyButton()->click();
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(Stored("Doc", "Channel"), 0);
    EXPECT_EQ(doc().m_byNoteOn, 0x90);
    EXPECT_EQ(doc().m_byProgChange, 0xC0);
    EXPECT_EQ(Stored("Doc", "Instrument"), 127);
    EXPECT_EQ(doc().m_nInstrument, 127);
    EXPECT_TRUE(doc().m_bDirty);

    doc().m_bDirty = false;
    pPage->ApplyButton()->click();
    EXPECT_FALSE(doc().m_bDirty) << "the same values again";
    EXPECT_EQ(Stored("Device", "ID"), -1);

    pPage->StreamCheck()->click();
    pPage->ExportCheck()->click();
    pPage->ApplyButton()->click();
    EXPECT_FALSE(doc().m_bProgChgStream);
    EXPECT_FALSE(doc().m_bProgChgExport);
    EXPECT_EQ(Stored("Doc", "ProgChgStream"), 0);
    EXPECT_FALSE(doc().m_bDirty) << "the flags alone";

    // Enter in a field presses Apply.
    pPage->ChannelEdit()->setText(QStringLiteral("4"));
    QTest::keyClick(pPage->ChannelEdit(), Qt::Key_Return);
    QTRY_COMPARE(doc().m_nChannel, 3);
}

TEST_F(MidiPageTest, TheChosenDeviceIsStoredAndComesBackSelected)
{
    midiOut.m_names = {"Port A", "Port \xC3\x9C"};
    midiOut.m_failingCaps = {0};
    doc().ResetLoop();
    auto pPage = OpenPage();
    ASSERT_EQ(pPage->m_comboDevice->count(), 2) << "a device without caps is left out";
    EXPECT_EQ(pPage->m_comboDevice->itemText(1), QStringLiteral("Port \u00DC"));

    pPage->m_comboDevice->setCurrentIndex(1);
    pPage->ApplyButton()->click();
    EXPECT_EQ(Stored("Device", "ID"), 1);
    EXPECT_EQ(doc().m_uDeviceID, 1u);
    EXPECT_TRUE(doc().m_bDirty);

    doc().m_bDirty = false;
    pPage = OpenPage();
    EXPECT_EQ(pPage->m_comboDevice->currentText(), QStringLiteral("Port \u00DC"));
    pPage->m_comboDevice->setCurrentIndex(-1);
    pPage->ApplyButton()->click();
    EXPECT_EQ(doc().m_uDeviceID, 0xFFFFFFFFu) << "nothing selected is the mapper";
    EXPECT_EQ(Stored("Device", "ID"), -1);
}

TEST_F(MidiPageTest, ApplyKeepsTheDeviceByNameAndTheStudioSyncChoices)
{
    midiOut.m_names = {"Port A", "DAW In"};
    doc().ResetLoop();
    auto pPage = OpenPage();
    // The built-in synthesizer keeps its own time: no MIDI clock for it.
    EXPECT_EQ(pPage->m_comboDevice->currentData().toInt(), -1);
    EXPECT_FALSE(pPage->ClockCheck()->isEnabled());
    EXPECT_TRUE(pPage->ClockCheck()->toolTip().startsWith(QStringLiteral("The built-in synthesizer needs no MIDI clock")));
    // Without a JACK server following its transport is off, and says why.
    const bool bJack = midiout::JackServerRunning();
    EXPECT_EQ(pPage->FollowTransportCheck()->isEnabled(), bJack);
    EXPECT_EQ(pPage->FollowTransportCheck()->toolTip().startsWith(QStringLiteral("No JACK server is running.")), !bJack);

    pPage->m_comboDevice->setCurrentIndex(pPage->m_comboDevice->findData(1));
    EXPECT_TRUE(pPage->ClockCheck()->isEnabled());
    pPage->ClockCheck()->setChecked(true);
    pPage->ApplyButton()->click();
    EXPECT_EQ(Stored("Device", "ID"), 1);
    EXPECT_EQ(app->m_settings.GetString("Device", "Name", QString()), QStringLiteral("DAW In"));
    EXPECT_EQ(Stored("Device", "ClockOut"), 1);
    EXPECT_TRUE(doc().m_bClockOut);
    EXPECT_EQ(Stored("Device", "FollowTransport"), bJack ? 0 : -99) << "a choice that could not be made is not stored";

    // The port list changes: the next new loop finds "DAW In" by its name.
    midiOut.m_names = {"DAW In", "Port A"};
    doc().ResetLoop();
    EXPECT_EQ(doc().m_uDeviceID, 0u);
    pPage = OpenPage();
    EXPECT_EQ(pPage->m_comboDevice->currentText(), QStringLiteral("DAW In"));
    EXPECT_TRUE(pPage->ClockCheck()->isChecked());
}

TEST_F(MidiPageTest, AnAppliedChangeIsOneUndoStep)
{
    auto pPage = OpenPage();
    pPage->ChannelEdit()->setText(QStringLiteral("3"));
    pPage->m_editInstrument->setText(QStringLiteral("20"));
    pPage->ApplyButton()->click();
    EXPECT_EQ(command(ID_EDIT_UNDO).text(), QStringLiteral("&Undo MIDI Settings"));
    command(ID_EDIT_UNDO).trigger();
    EXPECT_EQ(doc().m_nChannel, 9);
    EXPECT_EQ(doc().m_byNoteOn, 0x99);
    EXPECT_EQ(doc().m_nInstrument, 0);
    EXPECT_FALSE(doc().m_bDirty);
    command(ID_EDIT_REDO).trigger();
    EXPECT_EQ(doc().m_nChannel, 2);
    EXPECT_EQ(doc().m_nInstrument, 19);
    EXPECT_TRUE(doc().m_bDirty);
}
