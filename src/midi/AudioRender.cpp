#include "midi/AudioRender.h"

#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr int kBlock = COfflineSynthDriver::kMaxBlock;

float PeakOf(const float* left, const float* right, int n)
{
    float peak = 0.0f;
    for (int i = 0; i < n; ++i) peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    return peak;
}

} // namespace

int64_t PassFrames(int nPasses, int nBPM, int nSampleRate)
{
    if (nPasses <= 0 || nBPM <= 0 || nSampleRate <= 0) return 0;
    // The stream's tempo is whole microseconds per quarter, and a tick's
    // frame is rounded down: a pass is four quarters.
    const int64_t usPerQuarter = CRondoDoc::kMicrosPerMinute / uint32_t(nBPM);
    return int64_t(nPasses) * 4 * usPerQuarter * nSampleRate / 1000000;
}

CLoopRenderer::CLoopRenderer(CSettingsStore& settings, const SynthOptions& options)
    : m_synth(options), m_midiOut(m_synth), m_doc(settings, m_midiOut), m_view(m_doc)
{
    m_doc.SetView(&m_view);
    m_doc.ResetLoop();
}

CRondoDoc::LoadResult CLoopRenderer::Load(const QString& path)
{
    m_doc.ResetLoop();
    return m_doc.LoadLoopFrom(QFileInfo(path).absoluteFilePath());
}

int CLoopRenderer::CheckSoundFont(QString& error)
{
    const int err = m_synth.WaitReady();
    if (err != MMSYSERR_NOERROR) error = midiout::GetErrorText(err);
    return err;
}

int64_t CLoopRenderer::MaxFrames(const AudioRenderOptions& options) const
{
    const int nBPM = options.nTempo > 0 ? options.nTempo : m_doc.m_nBPM;
    const int rate = m_synth.Options().sampleRate;
    const int64_t passes = PassFrames(options.nPasses, nBPM, rate);
    return options.bLoopReady ? passes : passes + int64_t(kMaxTailSeconds) * rate;
}

bool CLoopRenderer::Render(const AudioRenderOptions& options, const Sink& sink, QString& error)
{
    error.clear();
    const int nBPM = options.nTempo > 0 ? options.nTempo : m_doc.m_nBPM;
    const int rate = m_synth.Options().sampleRate;
    // Loop-ready: passes that play first and are not kept, enough for what
    // rings longest, so that the kept ones start as in a loop going round.
    const int64_t passFrames = std::max<int64_t>(PassFrames(1, nBPM, rate), 1);
    const int nPreroll = options.bLoopReady ? int((int64_t(kMaxTailSeconds) * rate + passFrames - 1) / passFrames) : 0;
    m_view.SetTempoPos(nBPM);
    // Only the passes asked for are queued: the first hit of the next pass,
    // due on the frame after the last, never reaches the synthesizer.
    m_doc.SetPassLimit(nPreroll + options.nPasses);
    if (!m_doc.Play()) {
        m_doc.SetPassLimit(0);
        error = m_doc.PlayError();
        return false;
    }
    COfflineSynthDriver* pRenderer = m_midiOut.Renderer();
    const int64_t nSkipped = PassFrames(nPreroll, nBPM, rate);
    const int64_t nFrames = nSkipped + PassFrames(options.nPasses, nBPM, rate);
    std::array<float, kBlock> left{}, right{};
    float peak = 0.0f;
    bool bOk = true;
    for (int64_t done = 0; done < nFrames && bOk;) {
        // Blocks end where the kept frames begin.
        const int64_t end = done < nSkipped ? nSkipped : nFrames;
        const int n = int(std::min<int64_t>(kBlock, end - done));
        if (const int err = pRenderer->Render(n, left.data(), right.data())) {
            error = midiout::GetErrorText(err);
            bOk = false;
        } else if (m_view.RunPosted() > 0) {
            error = m_doc.PlayError();
            bOk = false;
        } else if (done >= nSkipped) {
            peak = std::max(peak, PeakOf(left.data(), right.data(), n));
            bOk = sink(left.data(), right.data(), n);
        }
        done += n;
    }
    if (!m_doc.Stop() && bOk) {
        error = QStringLiteral("The built-in synthesizer did not stop cleanly.");
        bOk = false;
    }
    m_doc.SetPassLimit(0);
    if (!bOk || options.bLoopReady) return bOk;

    // The release tail: what still sounds after the stop, until it has
    // faded far below the loop's own level (or after a few seconds).
    const float floor = peak * kTailFloor;
    const int64_t quietEnough = rate / 10;
    int64_t quiet = 0;
    for (int64_t done = 0; done < int64_t(kMaxTailSeconds) * rate && quiet < quietEnough; done += kBlock) {
        if (const int err = m_synth.RenderTail(kBlock, left.data(), right.data())) {
            error = midiout::GetErrorText(err);
            return false;
        }
        quiet = PeakOf(left.data(), right.data(), kBlock) <= floor ? quiet + kBlock : 0;
        if (!sink(left.data(), right.data(), kBlock)) return false;
    }
    return true;
}

RenderFailure CLoopRenderer::RenderToFile(const AudioFileJob& job, QString& error, std::atomic<int64_t>* pnDone,
                                          const std::atomic<bool>* pbCancel)
{
    error.clear();
    if (CheckSoundFont(error) != 0) return RenderFailure::SoundFont;
    CAudioFileWriter file;
    if (!file.Open(job.target, m_synth.Options().sampleRate, job.format)) {
        error = file.ErrorString();
        return RenderFailure::Target;
    }
    bool bCancelled = false;
    const bool bRendered = Render(
        job.render,
        [&](const float* left, const float* right, int n) {
            if (pbCancel && pbCancel->load(std::memory_order_relaxed)) {
                bCancelled = true;
                return false;
            }
            if (pnDone) pnDone->fetch_add(n, std::memory_order_relaxed);
            return file.Append(left, right, n);
        },
        error);
    if (bCancelled) return RenderFailure::Cancelled;
    // A sink that refused is the file's failure, reported as such.
    if (!bRendered && !error.isEmpty()) return RenderFailure::Rendering;
    if (!bRendered || !file.Close()) {
        error = file.ErrorString();
        return RenderFailure::Target;
    }
    return RenderFailure::None;
}
