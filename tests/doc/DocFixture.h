#pragma once

#include "TestSupport.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/SettingsStore.h"

#include <gtest/gtest.h>

#include <memory>

// A document with a headless view on a fresh settings store in temporary
// folders, reset to a new loop.
class DocTest : public ::testing::Test
{
protected:
    void SetUp() override { Recreate(); }
    // The document first: it may still talk to its view.
    void TearDown() override { doc.reset(); }

    // Builds the document anew, so that settings written by a test apply.
    void Recreate(IMidiOutService* pMidiOut = nullptr)
    {
        doc.reset();
        view.reset();
        settings.Open(QString(), QStringLiteral("Quillon Software/Rondo"));
        doc = std::make_unique<CRondoDoc>(settings, pMidiOut ? *pMidiOut : midiOut);
        view = std::make_unique<CHeadlessView>(*doc);
        doc->SetView(view.get());
        doc->ResetLoop();
    }

    QString TempPath(const QString& name) const { return files.path() + "/" + name; }

    rondo_test::ScopedConfigDirs dirs;
    QTemporaryDir files;
    CSettingsStore settings;
    CVirtualMidiOut midiOut;
    std::unique_ptr<CRondoDoc> doc;
    std::unique_ptr<CHeadlessView> view;
};
