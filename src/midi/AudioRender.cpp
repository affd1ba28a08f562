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

bool CLoopRenderer::Render(const AudioRenderOptions& options, const Sink& sink, QString& error)
{
    error.clear();
    const int nBPM = options.nTempo > 0 ? options.nTempo : m_doc.m_nBPM;
    const int rate = m_synth.Options().sampleRate;
    m_view.SetTempoPos(nBPM);
    // Only the passes asked for are queued: the first hit of the next pass,
    // due on the frame after the last, never reaches the synthesizer.
    m_doc.SetPassLimit(options.nPasses);
    if (!m_doc.Play()) {
        m_doc.SetPassLimit(0);
        error = m_doc.PlayError();
        return false;
    }
    COfflineSynthDriver* pRenderer = m_midiOut.Renderer();
    const int64_t nFrames = PassFrames(options.nPasses, nBPM, rate);
    std::array<float, kBlock> left{}, right{};
    float peak = 0.0f;
    bool bOk = true;
    for (int64_t done = 0; done < nFrames && bOk;) {
        const int n = int(std::min<int64_t>(kBlock, nFrames - done));
        if (const int err = pRenderer->Render(n, left.data(), right.data())) {
            error = midiout::GetErrorText(err);
            bOk = false;
        } else if (m_view.RunPosted() > 0) {
            error = m_doc.PlayError();
            bOk = false;
        } else {
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
    if (!bOk) return false;

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
