#pragma once

#include "TestSupport.h"
#include "app/MainFrame.h"
#include "app/RondoApp.h"
#include "doc/RondoDoc.h"
#include "midiout/VirtualMidiOut.h"
#include "view/RondoView.h"

#include <QAction>
#include <QApplication>
#include <QStringList>

#include <gtest/gtest.h>

#include <deque>
#include <memory>

// The whole program on a virtual MIDI device, with fresh settings in
// temporary folders and scripted answers to its questions.
class AppTest : public ::testing::Test
{
protected:
    void SetUp() override { Start(); }
    void TearDown() override
    {
        if (app) doc().m_bDirty = false;
        app.reset();
    }

    // Starts the program as `rondo [loopFile]`.
    void Start(const QString& loopFile = QString())
    {
        if (app) doc().m_bDirty = false;
        app.reset();
        app = std::make_unique<CRondoApp>(&midiOut);
        ASSERT_TRUE(app->InitInstance(loopFile));
        CRondoView& v = view();
        v.m_onMessage = [this](const QString& text, IRondoView::MsgKind) {
            messages.append(text);
            if (answers.empty()) return IRondoView::MsgResult::Cancel;
            const IRondoView::MsgResult answer = answers.front();
            answers.pop_front();
            return answer;
        };
        v.m_onChooseFile = [this](IRondoView::FileKind kind, const QString& initialName) -> std::optional<QString> {
            dialogs.push_back({kind, initialName});
            if (chosenFiles.empty()) return std::nullopt;
            const QString path = chosenFiles.front();
            chosenFiles.pop_front();
            if (path.isEmpty()) return std::nullopt;
            return path;
        };
        QApplication::processEvents();
    }

    CMainFrame& frame() const { return *app->MainFrame(); }
    CRondoView& view() const { return *frame().GetActiveView(); }
    CRondoDoc& doc() const { return *app->Document(); }
    QAction& command(int nId) const { return *frame().Command(nId); }
    QString TempPath(const QString& name) const { return files.path() + "/" + name; }

    struct Dialog
    {
        IRondoView::FileKind kind;
        QString initialName;
    };

    rondo_test::ScopedConfigDirs dirs;
    QTemporaryDir files;
    CVirtualMidiOut midiOut;
    std::unique_ptr<CRondoApp> app;
    // What the program asked, and the answers it gets (Cancel and a
    // cancelled dialog when the lists run out; an empty path cancels).
    QStringList messages;
    std::deque<IRondoView::MsgResult> answers;
    std::vector<Dialog> dialogs;
    std::deque<QString> chosenFiles;
};
