// "Settings": edits the application settings; OK stores and saves them.
#pragma once

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class TSpinEdit;
class TSoundPathEdit;

class TSettingsF : public QDialog {
    Q_OBJECT
public:
    // The minimum duration follows the threshold field until it is edited itself (it was
    // following when the dialog opened).
    bool MinDurationFollows = false;

    explicit TSettingsF(QWidget* parent = nullptr);

    void SettingsToControls();
    void ControlsToSettings();
    void UpdateControlStates();
    // Button 0: plays the typed path; button 1: picks a WAV file.
    void SoundPathBEButtonClick(int index);

    QGroupBox* GroupBox1;
    QCheckBox* AutoRefreshCB;
    TSpinEdit* AutoRefreshIntervalSE;
    QCheckBox* ShowTrayCB;
    QCheckBox* IgnoreSelfBlocksCB;
    QCheckBox* IgnoreNotWarningsCB;
    QCheckBox* AutoHideCB;
    QLabel* Label2;
    TSpinEdit* WarningTimeoutSE;
    QCheckBox* PlaySoundCB;
    TSoundPathEdit* SoundPathBE;
    QCheckBox* ShowBaloonCB;
    QCheckBox* WarnOnlyOnceCB;
    QGroupBox* HistoryGB;
    QCheckBox* RecordHistoryCB;
    QLabel* HistoryMinDurationL;
    TSpinEdit* HistoryMinDurationSE;
    QLabel* HistoryRetentionL;
    TSpinEdit* HistoryRetentionDaysSE;
    QCheckBox* ConfirmKillCB;
    QCheckBox* DeadlockNoticeCB;
    QCheckBox* ServerStopsCB;
    QCheckBox* OpenChainsCB;
    QPushButton* OkB;
    QPushButton* CancelB;
};

// Runs the dialog. OK: the settings take the shown values and are saved (a save error passes
// out after the dialog is gone; the new values stay in memory). True exactly on OK.
bool EditSettings(QWidget* parent = nullptr);

// Offers the dialog when the settings file does not exist yet (first start); its result is
// not used. Runs before the main window shows and before LoadSettings.
void FirstRunSettings();
