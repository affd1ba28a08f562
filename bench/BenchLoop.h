#pragma once

#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/SettingsStore.h"

#include <QTemporaryDir>

// A document with a busy groove, on settings of its own.
struct Loop
{
    QTemporaryDir dir;
    CSettingsStore settings;
    CVirtualMidiOut midiOut;
    CRondoDoc doc{settings, midiOut};
    CHeadlessView view{doc};

    Loop()
    {
        settings.Open(dir.path(), QStringLiteral("Quillon Software/Rondo"));
        doc.SetView(&view);
        doc.ResetLoop();
        // A busy groove: every voice on every other step.
        for (int v = 0; v < CRondoDoc::kVoices; ++v)
            for (int s = v % 2; s < CRondoDoc::kBeats; s += 2) doc.m_cells[v][s] = 1;
    }
};

