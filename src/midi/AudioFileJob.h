#pragma once

// What an audio file of the loop holds, as the command line and the Export
// Audio dialog choose it.

#include "midiout/AudioFileWriter.h"

#include <QString>

struct AudioRenderOptions
{
    static constexpr int kMaxPasses = 1000;

    int nPasses = 4;
    int nTempo = 0;  // 0: the loop's own
    // Exactly the passes, sounding as they do in the middle of a loop that
    // goes round: what still rings from the last pass is heard at the start,
    // and nothing follows the last bar.
    bool bLoopReady = false;
};

// An audio file of the loop: what to render and where.
struct AudioFileJob
{
    AudioRenderOptions render;
    AudioFormat format = AudioFormat::Wav16;
    QString target;
};
