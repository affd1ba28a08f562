#pragma once

#include "midiout/SynthDriver.h"

#include <QWidget>

#include <thread>

class CRondoView;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// The built-in synthesizer: audio output, sound font, gain and buffer size,
// with a Test that sounds one hit through what the page shows. Nothing is
// kept before "Apply"; the next Start plays through what it keeps.
class CSoundPage final : public QWidget
{
    Q_OBJECT

public:
    explicit CSoundPage(CRondoView& view, QWidget* pParent = nullptr);
    // Waits for a Test that still runs.
    ~CSoundPage() override;

    // Shows the preferences' values.
    bool OnInitDialog();
    // The choices as the controls show them.
    SynthOptions Options() const;
    void OnApplyButton();
    // Sounds one hit through the controls' choices, off the UI thread; the
    // result shows in TestResult() when it is known.
    void OnTestButton();
    // Asks for a sound font file and shows it.
    void OnBrowse();
    bool IsTesting() const { return m_tester.joinable() && m_bTesting; }

    QComboBox* DriverBox() const { return m_comboDriver; }
    QComboBox* SoundFontBox() const { return m_comboFont; }
    QPushButton* BrowseButton() const { return m_btnBrowse; }
    QDoubleSpinBox* GainBox() const { return m_spinGain; }
    QComboBox* BufferBox() const { return m_comboBuffer; }
    QLabel* LatencyLabel() const { return m_labelLatency; }
    QPushButton* TestButton() const { return m_btnTest; }
    QPlainTextEdit* TestResult() const { return m_labelResult; }
    QPushButton* ApplyButton() const { return m_btnApply; }

Q_SIGNALS:
    // A Test has ended; its text is in TestResult().
    void testFinished(bool bWorked);

private:
    // Selects path in the sound font list, adding it when it is not there.
    void ShowSoundFont(const QString& path);
    void UpdateLatency();
    void ShowTestResult(bool bWorked, const QString& report);

    CRondoView& m_view;
    SynthOptions m_options;  // what the page started with: AudioFile and the rate
    QComboBox* m_comboDriver;
    QComboBox* m_comboFont;
    QPushButton* m_btnBrowse;
    QDoubleSpinBox* m_spinGain;
    QComboBox* m_comboBuffer;
    QLabel* m_labelLatency;
    QPushButton* m_btnTest;
    QPlainTextEdit* m_labelResult;
    QPushButton* m_btnApply;
    std::thread m_tester;
    bool m_bTesting = false;
};
