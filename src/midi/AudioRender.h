#pragma once

// The loop as audio: played through the built-in synthesizer on the offline
// clock, by the same Play, refill and Stop as the Start button, much faster
// than real time. The command line's --render and the window's audio export
// both come here.

#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midiout/SystemMidiOut.h"

#include <QString>

#include <cstdint>
#include <functional>

class CSettingsStore;

struct AudioRenderOptions
{
    int nPasses = 4;
    int nTempo = 0;  // 0: the loop's own
};

// The frames that nPasses passes last at nBPM, exactly as the stream's clock
// counts them: the first frame of the pass after them is the one returned.
int64_t PassFrames(int nPasses, int nBPM, int nSampleRate);

class CLoopRenderer
{
public:
    // Takes blocks of audio as they are rendered; false stops the render.
    using Sink = std::function<bool(const float* left, const float* right, int nFrames)>;

    static constexpr int kMaxTailSeconds = 4;
    // The tail ends when the sound has stayed this far below the render's
    // peak (-60 dB) for a tenth of a second.
    static constexpr float kTailFloor = 0.001f;

    // Holds a new loop until Load.
    CLoopRenderer(CSettingsStore& settings, const SynthOptions& options);
    CLoopRenderer(const CLoopRenderer&) = delete;
    CLoopRenderer& operator=(const CLoopRenderer&) = delete;

    // The loop, loaded as Open loads it (the new-loop defaults first).
    CRondoDoc::LoadResult Load(const QString& path);
    CRondoDoc& Doc() { return m_doc; }
    CHeadlessView& View() { return m_view; }
    CSynthEngine& Synth() { return m_synth; }

    // Loads the sound font now: 0, or an error code with its reason in error.
    int CheckSoundFont(QString& error);
    // Renders the passes, then the release tail, into sink. False with the
    // reason in error; a sink that refused leaves error empty.
    bool Render(const AudioRenderOptions& options, const Sink& sink, QString& error);

private:
    CSynthEngine m_synth;
    COfflineMidiOut m_midiOut;
    CRondoDoc m_doc;
    CHeadlessView m_view;
};
