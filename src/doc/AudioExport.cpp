// Export Audio: the loop rendered offline through the same path as the
// command line's --render, on a copy of the loop taken when it begins.
#include "doc/RondoDoc.h"

#include "settings/Ansi.h"
#include "midi/AudioRender.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr char kSection[] = "Export Audio";

} // namespace

AudioFileJob CRondoDoc::AudioExportChoices()
{
    AudioFileJob job;
    job.render.nPasses = std::clamp(m_settings.GetInt(kSection, "Passes", 4), 1, AudioRenderOptions::kMaxPasses);
    {
        // A playing device's clock may set the tempo from the refill.
        std::lock_guard<std::mutex> guard(m_lock);
        job.render.nTempo = m_nBPM;
    }
    job.render.bLoopReady = m_settings.GetInt(kSection, "LoopReady", 0) != 0;
    job.format = CAudioFileWriter::FormatFromName(m_settings.GetString(kSection, "Format", QString()))
                     .value_or(AudioFormat::Wav16);
    return job;
}

bool CRondoDoc::ExportAudioCommand()
{
    if (!m_pView) return false;
    std::optional<AudioFileJob> job = m_pView->ChooseAudioExport(AudioExportChoices());
    if (!job) return false;
    const QString title = ansi::ToUnicode(m_strLoopTitle);
    const QString name = (title.isEmpty() ? QStringLiteral("untitled") : title) + u'.' +
                         CAudioFileWriter::Extension(job->format);
    const std::optional<QString> path =
        m_pView->ChooseFile(IRondoView::FileKind::ExportAudio, InitialName(kSection, name, QDir::homePath()));
    if (!path) return false;
    job->target = *path;
    return ExportAudioTo(*job);
}

bool CRondoDoc::ExportAudioTo(const AudioFileJob& job)
{
    RememberFolder(kSection, job.target);
    m_settings.SetInt(kSection, "Passes", job.render.nPasses);
    m_settings.SetString(kSection, "Format", CAudioFileWriter::FormatName(job.format));
    m_settings.SetInt(kSection, "LoopReady", job.render.bLoopReady ? 1 : 0);
    return RenderAudioFile(job);
}

bool CRondoDoc::RenderAudioFile(const AudioFileJob& job)
{
    // The renderer is made and given the loop here: it reads the settings,
    // which only this thread touches. The render itself runs in the task.
    CLoopRenderer renderer(m_settings, SynthOptions::FromSettings(m_settings));
    if (renderer.Doc().LoadLoopImage(LoopFileImage()) != LoadResult::Loaded) {
        ReportFileError(QStringLiteral("The loop could not be prepared for rendering."));
        return false;
    }
    const QString shown = QDir::toNativeSeparators(job.target);
    RenderFailure failure = RenderFailure::None;
    QString error;
    m_pView->RunTask(QStringLiteral("Rendering %1").arg(QFileInfo(job.target).fileName()),
                     renderer.MaxFrames(job.render), [&](TaskProgress& progress) {
                         failure = renderer.RenderToFile(job, error, &progress.nDone, &progress.bCancel);
                     });
    switch (failure) {
    case RenderFailure::None: return true;
    case RenderFailure::Cancelled: return false;
    case RenderFailure::SoundFont:
        ReportFileError(QStringLiteral("The sound font %1 could not be loaded.\n\n%2")
                            .arg(QDir::toNativeSeparators(renderer.Synth().Options().soundFont), error));
        return false;
    case RenderFailure::Rendering:
        ReportFileError(QStringLiteral("The loop could not be rendered into %1.\n\n%2").arg(shown, error));
        return false;
    case RenderFailure::Target:
        ReportFileError(QStringLiteral("The audio file %1 could not be written.\n\n%2").arg(shown, error));
        return false;
    }
    return false;
}
