// "Settings": the controls show the settings, the enabling rule, OK stores and saves all
// the values (clamped), Cancel changes nothing, the two sound buttons, the first-run offer.
#include "Settings.h"

#include "FileNames.h"
#include "ModalDriver.h"
#include "SettingsF.h"
#include "SoundPathEdit.h"
#include "SoundPlayer.h"
#include "SpinEdit.h"

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>

using namespace dialogtest;

namespace {

class SettingsDialog : public testing::Test {
protected:
    SettingsDialog() {
        ResetSettings();
        SettingsFileName = Dir.filePath(QStringLiteral("tallyvane.ini")).toStdString();
    }
    ~SettingsDialog() override { ResetSettings(); }

    QByteArray FileContent() const {
        QFile file(QString::fromStdString(SettingsFileName));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool FileExists() const { return QFile::exists(QString::fromStdString(SettingsFileName)); }

    void WriteWav(const QString& path) const {
        // 0.01 s of silence, 8 kHz mono 8-bit.
        QByteArray wav("RIFF", 4);
        const auto le32 = [&](quint32 v) {
            for (int i = 0; i < 4; ++i)
                wav.append(static_cast<char>((v >> (8 * i)) & 0xFF));
        };
        const auto le16 = [&](quint16 v) {
            wav.append(static_cast<char>(v & 0xFF));
            wav.append(static_cast<char>(v >> 8));
        };
        le32(36 + 80);
        wav.append("WAVEfmt ", 8);
        le32(16);
        le16(1);
        le16(1);
        le32(8000);
        le32(8000);
        le16(1);
        le16(8);
        wav.append("data", 4);
        le32(80);
        wav.append(QByteArray(80, '\x80'));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(wav);
    }

    QTemporaryDir Dir;
};

std::vector<QWidget*> TrayDependents(TSettingsF& f) {
    return {f.IgnoreSelfBlocksCB, f.IgnoreNotWarningsCB, f.AutoHideCB, f.ShowBaloonCB,
            f.DeadlockNoticeCB};
}

} // namespace

TEST_F(SettingsDialog, ShowsTheCurrentSettingsWithDisabledDependentsStillShowingTheirValues) {
    ShowInSystemTray = false;
    IgnoreSelfBlocks = true;
    AutoHideOnMinimize = true;
    AutoRefresh = false;
    AutoRefreshInterval = 5000; // more than the field offers
    WarningTimeout = 1500;
    PlaySoundOnWarning = false;
    WarningSoundPath = "/tmp/x.wav";
    TSettingsF f;
    f.SettingsToControls();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Settings"));
    for (QWidget* w : TrayDependents(f))
        EXPECT_FALSE(w->isEnabled());
    EXPECT_TRUE(f.IgnoreSelfBlocksCB->isChecked());
    EXPECT_TRUE(f.AutoHideCB->isChecked());
    EXPECT_FALSE(f.AutoRefreshIntervalSE->isEnabled());
    EXPECT_EQ(f.AutoRefreshIntervalSE->value(), 999);
    EXPECT_EQ(f.WarningTimeoutSE->value(), 1500);
    EXPECT_FALSE(f.SoundPathBE->isEnabled());
    EXPECT_FALSE(f.SoundPathBE->PlayButton->isEnabled());
    EXPECT_FALSE(f.SoundPathBE->FolderButton->isEnabled());
    EXPECT_EQ(f.SoundPathBE->text(), QStringLiteral("/tmp/x.wav"));
    for (QWidget* w : std::initializer_list<QWidget*>{f.AutoRefreshCB, f.ShowTrayCB, f.PlaySoundCB,
                                                      f.WarningTimeoutSE, f.WarnOnlyOnceCB})
        EXPECT_TRUE(w->isEnabled());
}

TEST_F(SettingsDialog, EachCheckBoxEnablesOnlyItsOwnDependents) {
    TSettingsF f;
    f.SettingsToControls(); // defaults: everything on
    f.ShowTrayCB->click();
    for (QWidget* w : TrayDependents(f))
        EXPECT_FALSE(w->isEnabled());
    EXPECT_TRUE(f.AutoRefreshIntervalSE->isEnabled());
    EXPECT_TRUE(f.SoundPathBE->isEnabled());
    f.ShowTrayCB->click();
    for (QWidget* w : TrayDependents(f))
        EXPECT_TRUE(w->isEnabled());

    f.AutoRefreshCB->click();
    EXPECT_FALSE(f.AutoRefreshIntervalSE->isEnabled());
    EXPECT_TRUE(f.IgnoreSelfBlocksCB->isEnabled());
    EXPECT_TRUE(f.SoundPathBE->isEnabled());

    f.PlaySoundCB->click();
    EXPECT_FALSE(f.SoundPathBE->isEnabled());
    EXPECT_TRUE(f.ShowBaloonCB->isEnabled());
    EXPECT_TRUE(f.WarnOnlyOnceCB->isEnabled());
}

TEST_F(SettingsDialog, OkStoresAllElevenValuesAndSavesThem) {
    OnNext<TSettingsF>([](TSettingsF* f) {
        f->AutoRefreshCB->click();
        f->AutoRefreshIntervalSE->setValue(25);
        f->ShowTrayCB->click(); // off: its dependents are disabled but still read
        f->IgnoreSelfBlocksCB->setChecked(true);
        f->WarningTimeoutSE->setValue(4000);
        TypeInto(f->SoundPathBE, QStringLiteral("/sounds/alarm.wav"));
        f->WarnOnlyOnceCB->click();
        EXPECT_TRUE(f->DeadlockNoticeCB->isChecked()) << "on unless switched off";
        f->DeadlockNoticeCB->setChecked(false);
        EXPECT_EQ(f->ServerStopsCB->text(), "Warn when a server stops answering");
        EXPECT_TRUE(f->ServerStopsCB->isChecked()) << "on unless switched off";
        f->ServerStopsCB->click();
        EXPECT_TRUE(f->OpenChainsCB->isChecked());
        f->OpenChainsCB->click();
        f->OkB->click();
    });
    ASSERT_TRUE(EditSettings());
    EXPECT_FALSE(NotifyDeadlocks);
    EXPECT_FALSE(WarnWhenServerStops);
    EXPECT_FALSE(OpenBlockingChains);
    EXPECT_FALSE(AutoRefresh);
    EXPECT_EQ(AutoRefreshInterval, 25);
    EXPECT_FALSE(ShowInSystemTray);
    EXPECT_TRUE(IgnoreSelfBlocks);
    EXPECT_FALSE(IgnoreNotWarningBlocks);
    EXPECT_TRUE(AutoHideOnMinimize);
    EXPECT_EQ(WarningTimeout, 4000);
    EXPECT_TRUE(PlaySoundOnWarning);
    EXPECT_EQ(WarningSoundPath, "/sounds/alarm.wav");
    EXPECT_TRUE(ShowBaloonOnWarning);
    EXPECT_TRUE(WarnOnlyOnce);

    // The file holds the same values.
    ResetSettings();
    LoadSettings();
    EXPECT_FALSE(AutoRefresh);
    EXPECT_EQ(AutoRefreshInterval, 25);
    EXPECT_FALSE(ShowInSystemTray);
    EXPECT_TRUE(IgnoreSelfBlocks);
    EXPECT_EQ(WarningTimeout, 4000);
    EXPECT_EQ(WarningSoundPath, "/sounds/alarm.wav");
    EXPECT_TRUE(WarnOnlyOnce);
    EXPECT_FALSE(NotifyDeadlocks);
    EXPECT_FALSE(WarnWhenServerStops);
    EXPECT_FALSE(OpenBlockingChains);
}

TEST_F(SettingsDialog, HistorySettingsAndAMinimumDurationThatFollowsTheThreshold) {
    struct {
        const char* Name;
        std::int32_t Stored;                  // HistoryMinDuration when the dialog opens
        std::function<void(TSettingsF*)> Act; // before OK
        std::int32_t Expected;                // HistoryMinDuration after OK
    } cases[] = {
        {"untouched: keeps following", -1, [](TSettingsF*) {}, -1},
        {"the threshold changes: still following", -1,
         [](TSettingsF* f) {
             f->WarningTimeoutSE->setValue(5000);
             EXPECT_EQ(f->HistoryMinDurationSE->value(), 5000) << "shown as it will apply";
         },
         -1},
        {"typed: a value of its own", -1,
         [](TSettingsF* f) {
             f->HistoryMinDurationSE->lineEdit()->selectAll();
             QTest::keyClicks(f->HistoryMinDurationSE->lineEdit(), QStringLiteral("60000"));
             f->WarningTimeoutSE->setValue(5000);
         },
         60000},
        {"set with the arrows", -1, [](TSettingsF* f) { f->HistoryMinDurationSE->stepBy(1); },
         3001},
        {"a value of its own is kept", 45000, [](TSettingsF*) {}, 45000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ResetSettings();
        HistoryMinDuration = c.Stored;
        OnNext<TSettingsF>([&](TSettingsF* f) {
            EXPECT_TRUE(f->RecordHistoryCB->isChecked());
            EXPECT_EQ(f->HistoryRetentionDaysSE->value(), 14);
            c.Act(f);
            f->OkB->click();
        });
        ASSERT_TRUE(EditSettings());
        EXPECT_EQ(HistoryMinDuration, c.Expected);
    }

    // Recording off disables the two fields, which are still read; the file keeps them.
    OnNext<TSettingsF>([](TSettingsF* f) {
        f->RecordHistoryCB->click();
        EXPECT_FALSE(f->HistoryMinDurationSE->isEnabled());
        EXPECT_FALSE(f->HistoryRetentionDaysSE->isEnabled());
        EXPECT_TRUE(f->WarnOnlyOnceCB->isEnabled());
        f->HistoryRetentionDaysSE->setValue(30);
        f->OkB->click();
    });
    ASSERT_TRUE(EditSettings());
    ResetSettings();
    LoadSettings();
    EXPECT_FALSE(RecordHistory);
    EXPECT_EQ(HistoryRetentionDays, 30);
    EXPECT_EQ(HistoryMinDuration, 45000);
}

TEST_F(SettingsDialog, SpinFieldsAreReadWithinTheirRangesAndWithinSixteenBits) {
    const struct {
        const char* interval;
        const char* threshold;
        std::uint16_t intervalResult;
        std::uint16_t thresholdResult;
    } cases[] = {
        {"", "", 1, 0},
        {"abc", "-", 1, 0},
        {"0", "-5", 1, 0},
        {"1000", "10000001", 999, 65535},
        {"30", "65536", 30, 65535},
        {"30", "65535", 30, 65535},
        {"2.5", "3000", 1, 3000},
    };
    for (const auto& c : cases) {
        TSettingsF f;
        f.SettingsToControls();
        f.AutoRefreshIntervalSE->lineEdit()->setText(QString::fromLatin1(c.interval));
        f.WarningTimeoutSE->lineEdit()->setText(QString::fromLatin1(c.threshold));
        f.ControlsToSettings();
        EXPECT_EQ(AutoRefreshInterval, c.intervalResult) << c.interval;
        EXPECT_EQ(WarningTimeout, c.thresholdResult) << c.threshold;
    }
}

TEST_F(SettingsDialog, CancelChangesNothingEvenAfterTryingTheSoundAndPickingAFile) {
    const QString wav = Dir.filePath(QStringLiteral("bell.wav"));
    WriteWav(wav);
    SaveSettings();
    const QByteArray before = FileContent();
    for (int way = 0; way < 3; ++way) {
        OnNext<TSettingsF>([&, way](TSettingsF* f) {
            f->AutoRefreshCB->click();
            f->SoundPathBE->setText(wav);
            f->SoundPathBEButtonClick(0);
            OnNext<QFileDialog>([&](QFileDialog* d) { ChooseFile(d, wav); });
            f->SoundPathBEButtonClick(1);
            if (way == 0)
                f->CancelB->click();
            else if (way == 1)
                QTest::keyClick(f, Qt::Key_Escape);
            else
                f->close();
        });
        EXPECT_FALSE(EditSettings()) << way;
        EXPECT_TRUE(AutoRefresh);
        EXPECT_EQ(WarningSoundPath, "chord.wav");
        EXPECT_EQ(FileContent(), before);
    }
}

TEST_F(SettingsDialog, LoudspeakerReportsAFileThatCannotBePlayed) {
    TSettingsF f;
    f.SettingsToControls();
    const struct {
        QString path;
        QString message;
    } cases[] = {
        {Dir.filePath(QStringLiteral("missing.wav")),
         QStringLiteral("System Error.  Code: 2.\nNo such file or directory")},
        {Dir.filePath(QStringLiteral("notes.txt")),
         QStringLiteral("A call to an OS function failed")},
    };
    QFile text(Dir.filePath(QStringLiteral("notes.txt")));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("not a sound at all");
    text.close();
    for (const auto& c : cases) {
        f.SoundPathBE->setText(c.path);
        QString shown;
        AcceptNextMessage(&shown);
        f.SoundPathBE->PlayButton->trigger();
        // The error box adds the full stop after the system's text.
        EXPECT_EQ(shown, c.message + u'.') << c.path.toStdString();
    }
    // A WAV file plays without a message (the driver would fail on a box left unanswered).
    const QString wav = Dir.filePath(QStringLiteral("bell.wav"));
    WriteWav(wav);
    f.SoundPathBE->setText(wav);
    bool boxShown = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxShown = true;
            box->accept();
        }
    });
    watch.start(5);
    f.SoundPathBE->PlayButton->trigger();
    QTest::qWait(50);
    EXPECT_FALSE(boxShown);
}

TEST_F(SettingsDialog, FolderButtonTakesTheChosenFilesFullPathAndACancelKeepsTheText) {
    const QString wav = Dir.filePath(QStringLiteral("bell.wav"));
    WriteWav(wav);
    TSettingsF f;
    f.SettingsToControls();
    OnNext<QFileDialog>([&](QFileDialog* d) {
        EXPECT_EQ(d->windowTitle(), QStringLiteral("Select WAV file for warning sound"));
        EXPECT_EQ(d->nameFilters(), QStringList({QStringLiteral("WAV files (*.wav)"),
                                                 QStringLiteral("All files (*.*)")}));
        EXPECT_EQ(d->selectedNameFilter(), QStringLiteral("WAV files (*.wav)"));
        d->reject();
    });
    f.SoundPathBE->FolderButton->trigger();
    EXPECT_EQ(f.SoundPathBE->text(), QStringLiteral("chord.wav"));

    OnNext<QFileDialog>([&](QFileDialog* d) { ChooseFile(d, wav); });
    f.SoundPathBE->FolderButton->trigger();
    EXPECT_EQ(f.SoundPathBE->text(), wav);
}

TEST_F(SettingsDialog, FirstRunOffersTheDialogUntilASettingsFileExists) {
    ASSERT_FALSE(FileExists());
    OnNext<TSettingsF>([](TSettingsF* f) {
        EXPECT_EQ(f->AutoRefreshIntervalSE->value(), 10); // the built-in defaults
        f->CancelB->click();
    });
    FirstRunSettings();
    EXPECT_FALSE(FileExists());

    OnNext<TSettingsF>([](TSettingsF* f) {
        f->WarningTimeoutSE->setValue(5000);
        f->OkB->click();
    });
    FirstRunSettings();
    ASSERT_TRUE(FileExists());
    EXPECT_TRUE(FileContent().contains("WarningTimeout=5000"));

    // With the file there, nothing is offered (the driver's fallback would fail the test).
    bool offered = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            offered = true;
            w->close();
        }
    });
    watch.start(5);
    FirstRunSettings();
    QTest::qWait(20);
    EXPECT_FALSE(offered);
}

TEST_F(SettingsDialog, ASaveErrorPassesOutAfterTheDialogAndKeepsTheNewValues) {
    SettingsFileName = Dir.filePath(QStringLiteral("no/such/folder/tallyvane.ini")).toStdString();
    OnNext<TSettingsF>([](TSettingsF* f) {
        f->WarnOnlyOnceCB->click();
        f->OkB->click();
    });
    EXPECT_THROW(EditSettings(), std::exception);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(WarnOnlyOnce);
}
