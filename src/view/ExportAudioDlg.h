#pragma once

#include "midi/AudioFileJob.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;

// Export Audio's choices: passes, tempo, format and whether the file is
// made ready to loop. The file itself is chosen after it.
class CExportAudioDlg final : public QDialog
{
    Q_OBJECT

public:
    CExportAudioDlg(const AudioFileJob& initial, QWidget* pParent = nullptr);

    // The choices as they stand (no target).
    AudioFileJob Choices() const;
    // What the file will hold, e.g. "16 s, 44.1 kHz stereo, about 2.8 MB".
    QString SummaryText() const;

    QSpinBox* m_pPasses;
    QSpinBox* m_pTempo;
    QComboBox* m_pFormat;
    QCheckBox* m_pLoopReady;
    QLabel* m_pSummary;

private:
    void UpdateSummary();
};
