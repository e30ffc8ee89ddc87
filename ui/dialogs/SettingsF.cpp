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
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int Indent = 16;

// A row of the frame: its controls after an indentation of the given number of steps.
QHBoxLayout* Row(QGridLayout* grid, int row, int steps, QWidget* widget) {
    auto* line = new QHBoxLayout;
    line->setSpacing(0);
    line->addSpacing(steps * Indent);
    line->addWidget(widget, 1);
    grid->addLayout(line, row, 0);
    return line;
}

} // namespace

TSettingsF::TSettingsF(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Settings"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    GroupBox1 = new QGroupBox(this);
    QWidget* g = GroupBox1;
    AutoRefreshCB = new QCheckBox(QStringLiteral("Refresh automatically with interval (sec)"), g);
    AutoRefreshIntervalSE = new TSpinEdit(1, 999, g);
    ShowTrayCB = new QCheckBox(QStringLiteral("Show in system tray"), g);
    IgnoreSelfBlocksCB =
        new QCheckBox(QStringLiteral("Don't change tray icon if process blocks itself"), g);
    IgnoreNotWarningsCB =
        new QCheckBox(QStringLiteral("Don't change tray icon if block is not warning"), g);
    AutoHideCB = new QCheckBox(QStringLiteral("Auto hide on minimize"), g);
    Label2 = new QLabel(QStringLiteral("Warning is when wait_time greater then (msec)"), g);
    WarningTimeoutSE = new TSpinEdit(0, 10000000, g);
    Label2->setBuddy(WarningTimeoutSE);
    PlaySoundCB = new QCheckBox(QStringLiteral("Play sound on warning"), g);
    SoundPathBE = new TSoundPathEdit(g);
    ShowBaloonCB = new QCheckBox(QStringLiteral("Show baloon on warning"), g);
    WarnOnlyOnceCB = new QCheckBox(QStringLiteral("Warn me only once"), g);
    ConfirmKillCB = new QCheckBox(QStringLiteral("Ask before killing a process"), g);
    DeadlockNoticeCB = new QCheckBox(QStringLiteral("Show a tray notice for each deadlock"), g);
    ServerStopsCB = new QCheckBox(QStringLiteral("Warn when a server stops answering"), g);
    OpenChainsCB = new QCheckBox(QStringLiteral("Open blocking chains"), g);
    OpenChainsCB->setToolTip(
        QStringLiteral("Expand every blocking chain at each refresh. Off: a chain you open "
                       "stays open while its head session blocks."));

    AutoRefreshIntervalSE->setFixedWidth(61);
    WarningTimeoutSE->setFixedWidth(81);
    SoundPathBE->setMinimumWidth(286);

    // The indentation carries the grouping: the tray options under "Show in system tray", the
    // warning options under the threshold, the sound file under "Play sound on warning".
    auto* grid = new QGridLayout(GroupBox1);
    grid->setContentsMargins(10, 12, 12, 10);
    grid->setVerticalSpacing(4);
    grid->setHorizontalSpacing(10);
    Row(grid, 0, 0, AutoRefreshCB);
    grid->addWidget(AutoRefreshIntervalSE, 0, 1, Qt::AlignLeft);
    Row(grid, 1, 0, ShowTrayCB);
    Row(grid, 2, 1, IgnoreSelfBlocksCB);
    Row(grid, 3, 1, IgnoreNotWarningsCB);
    Row(grid, 4, 1, AutoHideCB);
    Row(grid, 5, 0, Label2);
    grid->addWidget(WarningTimeoutSE, 5, 1, Qt::AlignLeft);
    Row(grid, 6, 1, PlaySoundCB);
    auto* soundRow = new QHBoxLayout;
    soundRow->addSpacing(2 * Indent + 4);
    soundRow->addWidget(SoundPathBE, 1);
    grid->addLayout(soundRow, 7, 0, 1, 2);
    Row(grid, 8, 1, ShowBaloonCB);
    Row(grid, 9, 1, WarnOnlyOnceCB);
    Row(grid, 10, 0, ConfirmKillCB);
    Row(grid, 11, 0, DeadlockNoticeCB);
    Row(grid, 12, 0, ServerStopsCB);
    Row(grid, 13, 0, OpenChainsCB);
    grid->setRowMinimumHeight(5, WarningTimeoutSE->sizeHint().height() + 6);

    HistoryGB = new QGroupBox(QStringLiteral("Blocking history"), this);
    QWidget* h = HistoryGB;
    RecordHistoryCB = new QCheckBox(QStringLiteral("Record blocking episodes"), h);
    HistoryMinDurationL = new QLabel(QStringLiteral("Only episodes lasting at least (msec)"), h);
    HistoryMinDurationSE = new TSpinEdit(0, MaxHistoryMinDuration, h);
    HistoryMinDurationL->setBuddy(HistoryMinDurationSE);
    HistoryRetentionL = new QLabel(QStringLiteral("Keep episodes for (days)"), h);
    HistoryRetentionDaysSE = new TSpinEdit(1, 65535, h);
    HistoryRetentionL->setBuddy(HistoryRetentionDaysSE);
    HistoryMinDurationSE->setFixedWidth(81);
    HistoryRetentionDaysSE->setFixedWidth(81);
    auto* history = new QGridLayout(HistoryGB);
    history->setContentsMargins(10, 8, 12, 8);
    history->setVerticalSpacing(4);
    history->setHorizontalSpacing(10);
    Row(history, 0, 0, RecordHistoryCB);
    Row(history, 1, 1, HistoryMinDurationL);
    history->addWidget(HistoryMinDurationSE, 1, 1, Qt::AlignLeft);
    Row(history, 2, 1, HistoryRetentionL);
    history->addWidget(HistoryRetentionDaysSE, 2, 1, Qt::AlignLeft);

    OkB = new QPushButton(QStringLiteral("OK"), this);
    OkB->setFixedSize(75, 25);
    OkB->setDefault(true);
    CancelB = new QPushButton(QStringLiteral("Cancel"), this);
    CancelB->setFixedSize(75, 25);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OkB);
    buttons->addWidget(CancelB);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 6);
    layout->addWidget(GroupBox1);
    layout->addWidget(HistoryGB);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setMinimumSize(361, 286);

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
                        RecordHistoryCB,
                        HistoryMinDurationSE,
                        HistoryRetentionDaysSE,
                        ConfirmKillCB,
                        DeadlockNoticeCB,
                        ServerStopsCB,
                        OpenChainsCB,
                        OkB,
                        CancelB};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    const auto update = [this] { GuardedCall([this] { UpdateControlStates(); }); };
    connect(AutoRefreshCB, &QCheckBox::toggled, this, update); // CommonChange
    connect(ShowTrayCB, &QCheckBox::toggled, this, update);    // ShowTrayCBClick
    connect(PlaySoundCB, &QCheckBox::toggled, this, update);   // PlaySoundCBClick
    connect(RecordHistoryCB, &QCheckBox::toggled, this, update);
    connect(WarningTimeoutSE, &QSpinBox::valueChanged, this, [this](int value) {
        if (MinDurationFollows)
            HistoryMinDurationSE->setValue(value);
    });
    // Typing into the field ends the following; a value set with the arrows that differs from
    // the threshold is taken as it is on OK.
    connect(HistoryMinDurationSE->lineEdit(), &QLineEdit::textEdited, this,
            [this] { MinDurationFollows = false; });
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
    RecordHistoryCB->setChecked(RecordHistory);
    MinDurationFollows = HistoryMinDuration < 0;
    HistoryMinDurationSE->setValue(HistoryMinDurationMs());
    HistoryRetentionDaysSE->setValue(HistoryRetentionDays);
    ConfirmKillCB->setChecked(ConfirmKill);
    DeadlockNoticeCB->setChecked(NotifyDeadlocks);
    ServerStopsCB->setChecked(WarnWhenServerStops);
    OpenChainsCB->setChecked(OpenBlockingChains);
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
    RecordHistory = RecordHistoryCB->isChecked();
    const int minDuration = HistoryMinDurationSE->TakenValue();
    HistoryMinDuration =
        MinDurationFollows && minDuration == static_cast<int>(WarningTimeout) ? -1 : minDuration;
    HistoryRetentionDays = LimitToUInt16Setting(HistoryRetentionDaysSE->TakenValue(), 1);
    ConfirmKill = ConfirmKillCB->isChecked();
    NotifyDeadlocks = DeadlockNoticeCB->isChecked();
    WarnWhenServerStops = ServerStopsCB->isChecked();
    OpenBlockingChains = OpenChainsCB->isChecked();
}

void TSettingsF::UpdateControlStates() {
    AutoRefreshIntervalSE->setEnabled(AutoRefreshCB->isChecked());
    IgnoreSelfBlocksCB->setEnabled(ShowTrayCB->isChecked());
    IgnoreNotWarningsCB->setEnabled(ShowTrayCB->isChecked());
    AutoHideCB->setEnabled(ShowTrayCB->isChecked());
    SoundPathBE->setEnabled(PlaySoundCB->isChecked());
    ShowBaloonCB->setEnabled(ShowTrayCB->isChecked());
    DeadlockNoticeCB->setEnabled(ShowTrayCB->isChecked());
    HistoryMinDurationSE->setEnabled(RecordHistoryCB->isChecked());
    HistoryRetentionDaysSE->setEnabled(RecordHistoryCB->isChecked());
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
