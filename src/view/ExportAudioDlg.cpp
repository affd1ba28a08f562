#include "view/ExportAudioDlg.h"

#include "midi/AudioRender.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

CExportAudioDlg::CExportAudioDlg(const AudioFileJob& initial, QWidget* pParent)
    : QDialog(pParent)
    , m_pPasses(new QSpinBox(this))
    , m_pTempo(new QSpinBox(this))
    , m_pFormat(new QComboBox(this))
    , m_pLoopReady(new QCheckBox(QStringLiteral("&Loop-ready: seamless in a sampler or a DAW clip"), this))
    , m_pSummary(new QLabel(this))
{
    setWindowTitle(QStringLiteral("Export Audio"));
    m_pPasses->setRange(1, AudioRenderOptions::kMaxPasses);
    m_pPasses->setValue(initial.render.nPasses);
    m_pPasses->setAccessibleName(QStringLiteral("Passes"));
    m_pTempo->setRange(40, 200);
    m_pTempo->setValue(initial.render.nTempo);
    m_pTempo->setSuffix(QStringLiteral(" BPM"));
    m_pTempo->setAccessibleName(QStringLiteral("Tempo"));
    m_pFormat->addItem(QStringLiteral("WAV, 16-bit"), int(AudioFormat::Wav16));
    m_pFormat->addItem(QStringLiteral("WAV, 24-bit"), int(AudioFormat::Wav24));
    m_pFormat->addItem(QStringLiteral("FLAC, 24-bit"), int(AudioFormat::Flac));
    m_pFormat->setCurrentIndex(std::max(0, m_pFormat->findData(int(initial.format))));
    m_pFormat->setAccessibleName(QStringLiteral("Format"));
    m_pLoopReady->setChecked(initial.render.bLoopReady);
    m_pLoopReady->setToolTip(QStringLiteral("Exactly the passes, with the release of the last notes mixed into the "
                                            "start: no click at the seam, nothing after the last bar"));
    m_pSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* pForm = new QFormLayout;
    pForm->addRow(QStringLiteral("&Passes:"), m_pPasses);
    pForm->addRow(QStringLiteral("&Tempo:"), m_pTempo);
    pForm->addRow(QStringLiteral("&Format:"), m_pFormat);
    pForm->addRow(m_pLoopReady);
    pForm->addRow(m_pSummary);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    pButtons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Export..."));
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pForm);
    pLayout->addWidget(pButtons);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_pPasses, &QSpinBox::valueChanged, this, &CExportAudioDlg::UpdateSummary);
    connect(m_pTempo, &QSpinBox::valueChanged, this, &CExportAudioDlg::UpdateSummary);
    connect(m_pFormat, &QComboBox::currentIndexChanged, this, &CExportAudioDlg::UpdateSummary);
    connect(m_pLoopReady, &QCheckBox::toggled, this, &CExportAudioDlg::UpdateSummary);
    UpdateSummary();
}

AudioFileJob CExportAudioDlg::Choices() const
{
    AudioFileJob job;
    job.render.nPasses = m_pPasses->value();
    job.render.nTempo = m_pTempo->value();
    job.render.bLoopReady = m_pLoopReady->isChecked();
    job.format = AudioFormat(m_pFormat->currentData().toInt());
    return job;
}

QString CExportAudioDlg::SummaryText() const
{
    const AudioFileJob job = Choices();
    const int rate = SynthOptions().sampleRate;
    const int64_t frames = PassFrames(job.render.nPasses, job.render.nTempo, rate);
    const double seconds = double(frames) / rate;
    const QLocale locale;
    QString text = QStringLiteral("%1 s").arg(locale.toString(seconds, 'f', seconds < 10 ? 2 : 1));
    if (!job.render.bLoopReady) text += QStringLiteral(" and the release");
    text += QStringLiteral(", 44.1 kHz stereo");
    // FLAC's size depends on the sound; WAV's is known.
    if (job.format != AudioFormat::Flac) {
        const int bytesPerFrame = job.format == AudioFormat::Wav16 ? 4 : 6;
        text += QStringLiteral(", %1").arg(locale.formattedDataSize(frames * bytesPerFrame, 1, QLocale::DataSizeSIFormat));
    }
    return text;
}

void CExportAudioDlg::UpdateSummary()
{
    m_pPasses->setSuffix(m_pPasses->value() == 1 ? QStringLiteral(" pass") : QStringLiteral(" passes"));
    m_pSummary->setText(SummaryText());
}
