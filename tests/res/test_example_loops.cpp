// The example loops that ship with Rondo, as a user opens them.

#include "doc/DocFixture.h"

#include <QDir>

#include <set>
#include <string>

namespace {

const QString kFolder = QStringLiteral(RONDO_EXAMPLE_LOOPS);

} // namespace

using ExampleLoopsTest = DocTest;

TEST_F(ExampleLoopsTest, EveryShownVoiceIsANamedGeneralMidiDrumThatPlays)
{
    const QStringList loops = QDir(kFolder).entryList({QStringLiteral("*.rlf")}, QDir::Files, QDir::Name);
    EXPECT_EQ(loops, QStringList({"Bossa Nova.rlf", "Funk Groove.rlf", "Hip-Hop Beat.rlf", "Latin Groove.rlf",
                                  "Rock Beat.rlf"}));
    for (const QString& name : loops) {
        SCOPED_TRACE(name.toStdString());
        ASSERT_EQ(doc->LoadLoopFrom(kFolder + "/" + name), CRondoDoc::LoadResult::Loaded);
        EXPECT_EQ(doc->m_nChannel, 9) << "General MIDI percussion is channel 10";
        EXPECT_GE(doc->m_nBPM, CRondoDoc::kMinBPM);
        EXPECT_LE(doc->m_nBPM, CRondoDoc::kMaxBPM);
        EXPECT_FALSE(doc->m_strLoopTitle.empty());
        EXPECT_GE(view->VoicesShown(), 5);
        std::set<QString> names;
        for (int v = 0; v < view->VoicesShown(); ++v) {
            SCOPED_TRACE(v);
            const QString voice = doc->VoiceName(v);
            EXPECT_FALSE(voice.isEmpty() || voice.startsWith(QStringLiteral("Voice "))) << voice.toStdString();
            EXPECT_TRUE(names.insert(voice).second) << "two voices named " << voice.toStdString();
            EXPECT_GE(doc->m_voices[v].byPitch, 35);
            EXPECT_LE(doc->m_voices[v].byPitch, 81);
            EXPECT_GT(doc->m_voices[v].byVelocity, 0);
            bool bPlays = false;
            for (int b = 0; b < CRondoDoc::kBeats; ++b) bPlays = bPlays || doc->IsCellOn(v, b);
            EXPECT_TRUE(bPlays) << "a shown row without a beat";
        }
        if (name == QStringLiteral("Latin Groove.rlf")) {
            EXPECT_EQ(view->VoicesShown(), CRondoDoc::kMaxRows);
        }
    }
}
