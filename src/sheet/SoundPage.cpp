#include "sheet/SoundPage.h"

#include "doc/RondoDoc.h"
#include "midiout/SystemMidiOut.h"
#include "settings/SettingsStore.h"
#include "view/DialogUnits.h"
#include "view/RondoView.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

namespace {

QString DriverTitle(const QString& name)
{
    static const struct
    {
        const char* name;
        const char* title;
    } kTitles[] = {
        {"alsa", "ALSA"},          {"pulseaudio", "PulseAudio"}, {"pipewire", "PipeWire"},
        {"jack", "JACK"},          {"oss", "OSS"},               {"file", "WAV file (no sound)"},
    };
    for (const auto& entry : kTitles) {
        if (name == QLatin1String(entry.name)) return QString::fromLatin1(entry.title);
    }
    return name;
}

// The name a sound font goes by in the list; a link (default-GM.sf2) also
// names the file it stands for.
QString FontTitle(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink()) return QStringLiteral("%1 (%2)").arg(info.fileName(), QFileInfo(info.canonicalFilePath()).fileName());
    return info.fileName();
}

} // namespace

CSoundPage::CSoundPage(CRondoView& view, QWidget* pParent) : QWidget(pParent), m_view(view)
{
    setWindowTitle(QStringLiteral("Sound"));
    const CDialogUnits du(fontMetrics());
    setFixedSize(du.X(175), du.Y(250));
    const auto label = [&](const QString& text, QRect rc, QWidget* pBuddy = nullptr) {
        auto* pLabel = new QLabel(text, this);
        pLabel->setGeometry(rc);
        if (pBuddy) pLabel->setBuddy(pBuddy);
        return pLabel;
    };
    const auto place = [&](QWidget* pWidget, QRect rc) {
        // Boxes keep their own height; the list drops below them.
        pWidget->setGeometry(rc.x(), rc.y(), rc.width(), std::max(rc.height(), pWidget->sizeHint().height()));
    };

    // Group boxes first: the controls inside lie above them. Created in the
    // order of the form: it is the tab order.
    (new QGroupBox(QStringLiteral("Built-in Synthesizer Output"), this))->setGeometry(du.Rect(5, 5, 164, 62));
    (new QGroupBox(QStringLiteral("Sound Font"), this))->setGeometry(du.Rect(5, 71, 164, 48));
    (new QGroupBox(QStringLiteral("Volume"), this))->setGeometry(du.Rect(5, 123, 164, 28));
    (new QGroupBox(QStringLiteral("Test"), this))->setGeometry(du.Rect(5, 155, 164, 64));

    m_comboDriver = new QComboBox(this);
    place(m_comboDriver, du.Rect(50, 16, 112, 12));
    label(QStringLiteral("&Output:"), du.Rect(12, 18, 36, 10), m_comboDriver);
    m_comboBuffer = new QComboBox(this);
    place(m_comboBuffer, du.Rect(50, 33, 60, 12));
    label(QStringLiteral("&Buffer:"), du.Rect(12, 35, 36, 10), m_comboBuffer);
    m_labelLatency = label(QString(), du.Rect(114, 35, 50, 10));
    label(QStringLiteral("Automatic tries each output in turn. JACK sets its own buffer."), du.Rect(12, 50, 152, 16))
        ->setWordWrap(true);

    m_comboFont = new QComboBox(this);
    place(m_comboFont, du.Rect(12, 83, 150, 12));
    m_btnBrowse = new QPushButton(QStringLiteral("B&rowse..."), this);
    m_btnBrowse->setGeometry(du.Rect(112, 100, 50, 14));

    m_spinGain = new QDoubleSpinBox(this);
    m_spinGain->setRange(0.05, 5.0);
    m_spinGain->setSingleStep(0.05);
    m_spinGain->setDecimals(2);
    place(m_spinGain, du.Rect(50, 134, 45, 12));
    label(QStringLiteral("&Gain:"), du.Rect(12, 136, 36, 10), m_spinGain);
    label(QStringLiteral("(default 0.35)"), du.Rect(99, 136, 66, 10));

    m_btnTest = new QPushButton(QStringLiteral("&Test"), this);
    m_btnTest->setGeometry(du.Rect(12, 167, 50, 14));
    // A failure's reasons may run to several lines: they scroll.
    m_labelResult = new QPlainTextEdit(QStringLiteral("Test sounds one snare drum hit through the choices above."), this);
    m_labelResult->setGeometry(du.Rect(10, 183, 156, 34));
    m_labelResult->setReadOnly(true);
    m_labelResult->setFrameShape(QFrame::NoFrame);
    m_labelResult->viewport()->setAutoFillBackground(false);
    m_labelResult->setFocusPolicy(Qt::ClickFocus);

    m_btnApply = new QPushButton(QStringLiteral("Apply"), this);
    m_btnApply->setGeometry(du.Rect(110, 225, 50, 14));

    m_comboDriver->setAccessibleName(QStringLiteral("Output"));
    m_comboBuffer->setAccessibleName(QStringLiteral("Buffer"));
    m_comboFont->setAccessibleName(QStringLiteral("Sound Font"));
    m_spinGain->setAccessibleName(QStringLiteral("Gain"));
    m_labelResult->setAccessibleName(QStringLiteral("Test result"));

    connect(m_comboBuffer, &QComboBox::currentIndexChanged, this, &CSoundPage::UpdateLatency);
    connect(m_btnBrowse, &QPushButton::clicked, this, &CSoundPage::OnBrowse);
    connect(m_btnTest, &QPushButton::clicked, this, &CSoundPage::OnTestButton);
    connect(m_btnApply, &QPushButton::clicked, this, &CSoundPage::OnApplyButton);
}

CSoundPage::~CSoundPage()
{
    if (m_tester.joinable()) m_tester.join();
}

bool CSoundPage::OnInitDialog()
{
    m_options = SynthOptions::FromSettings(m_view.GetDocument().Settings());

    m_comboDriver->clear();
    m_comboDriver->addItem(QStringLiteral("Automatic"), QString());
    for (const QString& name : SynthOptions::AudioDrivers()) m_comboDriver->addItem(DriverTitle(name), name);
    int nDriver = m_comboDriver->findData(m_options.audioDriver);
    if (nDriver < 0) {
        // A driver this FluidSynth lacks stays shown as it is stored.
        m_comboDriver->addItem(m_options.audioDriver, m_options.audioDriver);
        nDriver = m_comboDriver->count() - 1;
    }
    m_comboDriver->setCurrentIndex(nDriver);

    m_comboBuffer->clear();
    for (int frames = SynthOptions::kMinPeriodSize; frames <= SynthOptions::kMaxPeriodSize; frames *= 2)
        m_comboBuffer->addItem(QStringLiteral("%1 frames").arg(frames), frames);
    int nBuffer = m_comboBuffer->findData(m_options.periodSize);
    if (nBuffer < 0) {
        m_comboBuffer->addItem(QStringLiteral("%1 frames").arg(m_options.periodSize), m_options.periodSize);
        nBuffer = m_comboBuffer->count() - 1;
    }
    m_comboBuffer->setCurrentIndex(nBuffer);
    UpdateLatency();

    m_comboFont->clear();
    for (const QString& path : SynthOptions::InstalledSoundFonts()) m_comboFont->addItem(FontTitle(path), path);
    ShowSoundFont(m_options.soundFont);

    m_spinGain->setValue(m_options.gain);
    return true;
}

SynthOptions CSoundPage::Options() const
{
    SynthOptions options = m_options;
    options.audioDriver = m_comboDriver->currentData().toString();
    options.soundFont = m_comboFont->currentData().toString();
    options.gain = m_spinGain->value();
    options.periodSize = m_comboBuffer->currentData().toInt();
    return options;
}

void CSoundPage::ShowSoundFont(const QString& path)
{
    int nFont = m_comboFont->findData(path);
    if (nFont < 0) {
        m_comboFont->addItem(QFileInfo(path).fileName(), path);
        nFont = m_comboFont->count() - 1;
    }
    m_comboFont->setItemData(nFont, path, Qt::ToolTipRole);
    m_comboFont->setCurrentIndex(nFont);
}

void CSoundPage::UpdateLatency()
{
    m_labelLatency->setText(QStringLiteral("= %1 ms").arg(qRound(Options().LatencyMs())));
}

void CSoundPage::OnBrowse()
{
    const std::optional<QString> path =
        m_view.ChooseFile(IRondoView::FileKind::SoundFont, m_comboFont->currentData().toString());
    if (path) ShowSoundFont(*path);
}

void CSoundPage::OnApplyButton()
{
    CRondoDoc& doc = m_view.GetDocument();
    m_options = Options();
    m_options.ToSettings(doc.Settings());
    // A new sound font loads in the background; the next Start plays it.
    doc.MidiOut().ApplySynthSettings(doc.Settings());
}

void CSoundPage::OnTestButton()
{
    if (IsTesting()) return;
    if (m_tester.joinable()) m_tester.join();
    m_bTesting = true;
    m_btnTest->setEnabled(false);
    m_labelResult->setPlainText(QStringLiteral("Testing: one snare drum hit..."));
    const SynthOptions options = Options();
    QPointer<CSoundPage> pPage(this);
    m_tester = std::thread([options, pPage] {
        QString report;
        const bool bWorked = CSystemMidiOut::TestOutput(options, report) == MMSYSERR_NOERROR;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [pPage, bWorked, report] {
                if (pPage) pPage->ShowTestResult(bWorked, report);
            },
            Qt::QueuedConnection);
    });
}

void CSoundPage::ShowTestResult(bool bWorked, const QString& report)
{
    if (m_tester.joinable()) m_tester.join();
    m_bTesting = false;
    m_btnTest->setEnabled(true);
    m_labelResult->setPlainText((bWorked ? QStringLiteral("It works. ") : QStringLiteral("No sound. ")) + report);
    Q_EMIT testFinished(bWorked);
}
