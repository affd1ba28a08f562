#pragma once

#include "view/DialogUnits.h"

#include <QWidget>

class CRondoView;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

// The MIDI page of the property window: output device, channel and the
// program change sent at each start and written on export. Its own "Apply"
// puts the choices into the document and the settings.
class CMidiPage final : public QWidget
{
    Q_OBJECT

public:
    static constexpr const char* kMsgNotInteger = "Please enter an integer.";

    // The exchange values start at 0; the sheet sets them from the document
    // before OnInitDialog.
    explicit CMidiPage(CRondoView& view, QWidget* pParent = nullptr);

    // Puts the values into the controls and fills the device list.
    bool OnInitDialog();
    // Exchanges the values with the controls. Reading them checks every
    // field; the first failure is reported and takes the focus, and the
    // result is false. A field that failed leaves its member out of range,
    // so Apply keeps the document's value.
    bool UpdateData(bool bSaveAndValidate);
    // The instrument field is enabled while either program change is ticked.
    void UpdateInstrumentState();
    // Following the transport needs a JACK server; MIDI clock a device that
    // is not the built-in synthesizer.
    void UpdateSyncState();
    void OnApplyButton();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    QLineEdit* ChannelEdit() const { return m_editChannel; }
    QCheckBox* StreamCheck() const { return m_checkStream; }
    QCheckBox* ExportCheck() const { return m_checkExport; }
    QPushButton* ApplyButton() const { return m_btnApply; }
    QCheckBox* FollowTransportCheck() const { return m_checkFollow; }
    QCheckBox* ClockCheck() const { return m_checkClock; }

    QLineEdit* m_editInstrument;
    QComboBox* m_comboDevice;
    int m_nChannelNo = 0;
    unsigned m_nInstrumentNo = 0;
    int m_bProgChgExport = 0;
    int m_bProgChgStream = 0;

protected:
    // Enter anywhere on the page presses "Apply", the page's default button.
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    CRondoView& m_view;
    CDialogUnits m_du;
    QLineEdit* m_editChannel;
    QCheckBox* m_checkStream;
    QCheckBox* m_checkExport;
    QCheckBox* m_checkFollow;
    QCheckBox* m_checkClock;
    QPushButton* m_btnApply;
    bool m_bJackRunning = false;
};
