#include "SettingsF.h"

#include "ErrorBox.h"
#include "FileNames.h"
#include "Settings.h"
#include "SoundPathEdit.h"
#include "SoundPlayer.h"
#include "SpinEdit.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace {

QCheckBox* CheckBox(const char* caption, int left, int top, int width, QWidget* parent) {
    auto* box = new QCheckBox(QString::fromLatin1(caption), parent);
    box->setGeometry(left, top, width, 17);
    return box;
}

} // namespace

TSettingsF::TSettingsF(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Settings"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(5, 0, 351, 246);
    QWidget* g = GroupBox1;
    AutoRefreshCB = CheckBox("Refresh automatically with interval (sec)", 15, 20, 211, g);
    AutoRefreshIntervalSE = new TSpinEdit(1, 999, g);
    AutoRefreshIntervalSE->setGeometry(245, 17, 61, 22);
    ShowTrayCB = CheckBox("Show in system tray", 15, 45, 211, g);
    IgnoreSelfBlocksCB =
        CheckBox("Don't change tray icon if process blocks itself", 30, 65, 296, g);
    IgnoreNotWarningsCB =
        CheckBox("Don't change tray icon if block is not warning", 30, 85, 296, g);
    AutoHideCB = CheckBox("Auto hide on minimize", 30, 105, 201, g);
    Label2 = new QLabel(QStringLiteral("Warning is when wait_time greater then (msec)"), g);
    Label2->setGeometry(15, 128, 228, 17);
    WarningTimeoutSE = new TSpinEdit(0, 10000000, g);
    WarningTimeoutSE->setGeometry(245, 125, 81, 22);
    Label2->setBuddy(WarningTimeoutSE);
    PlaySoundCB = CheckBox("Play sound on warning", 30, 150, 201, g);
    SoundPathBE = new TSoundPathEdit(g);
    SoundPathBE->setGeometry(50, 170, 286, 22);
    ShowBaloonCB = CheckBox("Show baloon on warning", 30, 197, 201, g);
    WarnOnlyOnceCB = CheckBox("Warn me only once", 30, 217, 201, g);

    OkB = new QPushButton(QStringLiteral("OK"), this);
    OkB->setGeometry(103, 255, 75, 25);
    OkB->setDefault(true);
    CancelB = new QPushButton(QStringLiteral("Cancel"), this);
    CancelB->setGeometry(183, 255, 75, 25);

    QWidget* order[] = {AutoRefreshCB,
                        AutoRefreshIntervalSE,
                        ShowTrayCB,
                        IgnoreSelfBlocksCB,
                        IgnoreNotWarningsCB,
                        AutoHideCB,
                        WarningTimeoutSE,
                        PlaySoundCB,
                        SoundPathBE,
                        ShowBaloonCB,
                        WarnOnlyOnceCB,
                        OkB,
                        CancelB};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    setFixedSize(361, 286);

    const auto update = [this] { GuardedCall([this] { UpdateControlStates(); }); };
    connect(AutoRefreshCB, &QCheckBox::toggled, this, update); // CommonChange
    connect(ShowTrayCB, &QCheckBox::toggled, this, update);    // ShowTrayCBClick
    connect(PlaySoundCB, &QCheckBox::toggled, this, update);   // PlaySoundCBClick
    connect(SoundPathBE, &TSoundPathEdit::ButtonClick, this,
            [this](int index) { GuardedCall([this, index] { SoundPathBEButtonClick(index); }); });
    connect(OkB, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelB, &QPushButton::clicked, this, &QDialog::reject);
}

void TSettingsF::SettingsToControls() {
    AutoRefreshCB->setChecked(AutoRefresh);
    AutoRefreshIntervalSE->setValue(AutoRefreshInterval);
    ShowTrayCB->setChecked(ShowInSystemTray);
    IgnoreSelfBlocksCB->setChecked(IgnoreSelfBlocks);
    IgnoreNotWarningsCB->setChecked(IgnoreNotWarningBlocks);
    AutoHideCB->setChecked(AutoHideOnMinimize);
    WarningTimeoutSE->setValue(WarningTimeout);
    PlaySoundCB->setChecked(PlaySoundOnWarning);
    SoundPathBE->setText(QString::fromStdString(WarningSoundPath));
    ShowBaloonCB->setChecked(ShowBaloonOnWarning);
    WarnOnlyOnceCB->setChecked(WarnOnlyOnce);
    UpdateControlStates();
}

void TSettingsF::ControlsToSettings() {
    AutoRefresh = AutoRefreshCB->isChecked();
    AutoRefreshInterval = LimitToUInt16Setting(AutoRefreshIntervalSE->TakenValue(), 1);
    ShowInSystemTray = ShowTrayCB->isChecked();
    IgnoreSelfBlocks = IgnoreSelfBlocksCB->isChecked();
    IgnoreNotWarningBlocks = IgnoreNotWarningsCB->isChecked();
    AutoHideOnMinimize = AutoHideCB->isChecked();
    // The field offers up to 10,000,000 ms; the setting holds 16 bits, so more becomes 65535.
    WarningTimeout = LimitToUInt16Setting(WarningTimeoutSE->TakenValue(), 0);
    PlaySoundOnWarning = PlaySoundCB->isChecked();
    WarningSoundPath = SoundPathBE->text().toStdString();
    ShowBaloonOnWarning = ShowBaloonCB->isChecked();
    WarnOnlyOnce = WarnOnlyOnceCB->isChecked();
}

void TSettingsF::UpdateControlStates() {
    AutoRefreshIntervalSE->setEnabled(AutoRefreshCB->isChecked());
    IgnoreSelfBlocksCB->setEnabled(ShowTrayCB->isChecked());
    IgnoreNotWarningsCB->setEnabled(ShowTrayCB->isChecked());
    AutoHideCB->setEnabled(ShowTrayCB->isChecked());
    SoundPathBE->setEnabled(PlaySoundCB->isChecked());
    ShowBaloonCB->setEnabled(ShowTrayCB->isChecked());
}

void TSettingsF::SoundPathBEButtonClick(int index) {
    if (index == 0) {
        PlaySoundFile(SoundPathBE->text());
    } else if (index == 1) {
        QFileDialog dialog(this, QStringLiteral("Select WAV file for warning sound"));
        dialog.setNameFilters(
            {QStringLiteral("WAV files (*.wav)"), QStringLiteral("All files (*.*)")});
        dialog.setDefaultSuffix(QStringLiteral("wav"));
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        const QFileInfo current(SoundPathBE->text());
        if (!SoundPathBE->text().isEmpty()) {
            if (current.isAbsolute())
                dialog.setDirectory(current.absolutePath());
            dialog.selectFile(current.fileName());
        }
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            SoundPathBE->setText(QFileInfo(dialog.selectedFiles().front()).absoluteFilePath());
    }
}

bool EditSettings(QWidget* parent) {
    bool ok = false;
    {
        TSettingsF dialog(parent);
        dialog.SettingsToControls();
        ok = dialog.exec() == QDialog::Accepted;
        if (ok)
            dialog.ControlsToSettings();
    }
    // Saved after the dialog is gone, so that a save error leaves no dialog behind it.
    if (ok)
        SaveSettings();
    return ok;
}

void FirstRunSettings() {
    if (!QFileInfo(QString::fromStdString(SettingsFileName)).isFile())
        EditSettings();
}
