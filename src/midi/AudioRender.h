#pragma once

// The loop as audio: played through the built-in synthesizer on the offline
// clock, by the same Play, refill and Stop as the Start button, much faster
// than real time. The command line's --render and the window's audio export
// both come here.

#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midi/AudioFileJob.h"
#include "midiout/AudioFileWriter.h"
#include "midiout/SystemMidiOut.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

class CSettingsStore;

// Where RenderToFile stopped, for the caller's own words.
enum class RenderFailure { None, SoundFont, Target, Rendering, Cancelled };

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
    // How many frames Render gives at most (for a progress bar).
    int64_t MaxFrames(const AudioRenderOptions& options) const;
    // Checks the sound font before the target is touched, then renders into
    // a file that takes the target's place only once it is complete. Adds
    // each block's frames to *pnDone; *pbCancel set stops the render and
    // keeps the target as it was. The reason of a failure goes to error.
    RenderFailure RenderToFile(const AudioFileJob& job, QString& error, std::atomic<int64_t>* pnDone = nullptr,
                               const std::atomic<bool>* pbCancel = nullptr);

private:
    CSynthEngine m_synth;
    COfflineMidiOut m_midiOut;
    CRondoDoc m_doc;
    CHeadlessView m_view;
};
