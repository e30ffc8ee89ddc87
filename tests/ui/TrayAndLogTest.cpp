// The state icon and tray icon rules as tables, Warn, the sound lookup, the error log.
#include "ErrorLog.h"
#include "Errors.h"
#include "Icons.h"
#include "OleException.h"
#include "ProcessList.h"
#include "ServerListView.h"
#include "Settings.h"
#include "StatusSummary.h"
#include "TrayWarnings.h"
#include "UiTestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>

namespace {

TEST(ServerIcon, OffBeatsBusyBeatsState) {
    TNullOwner owner;
    auto s = MakeMonitor(owner, "S");
    struct TCase {
        bool Enabled, Busy;
        int State, Icon;
    };
    for (const TCase c :
         {TCase{false, false, 2, 0}, TCase{false, true, 1, 0}, TCase{true, true, 2, 1},
          TCase{true, false, 0, 2}, TCase{true, false, 1, 3}, TCase{true, false, 2, 4}}) {
        s->Enabled = c.Enabled;
        s->Busy = c.Busy;
        s->State = static_cast<std::uint8_t>(c.State);
        EXPECT_EQ(TServerListView::StateIcon(*s), c.Icon) << c.Enabled << c.Busy << c.State;
    }
    s->Enabled = false;
    s->Busy = false;
}

class TrayRuleTest : public testing::Test {
protected:
    TNullOwner Owner;
    std::unique_ptr<TServerData> Idle = MakeMonitor(Owner, "IDLE");
    std::unique_ptr<TServerData> SelfBlock = MakeMonitor(Owner, "SELF");
    std::unique_ptr<TServerData> Young = MakeMonitor(Owner, "YOUNG");
    std::unique_ptr<TServerData> Real = MakeMonitor(Owner, "REAL");
    std::unique_ptr<TServerData> Failed = MakeMonitor(Owner, "FAILED");

    void SetUp() override {
        ResetSettings();
        FillSnapshot(*Idle, {{10, 0}});
        FillSnapshot(*SelfBlock, {{20, 20, 9000}});     // blocked by itself, long wait
        FillSnapshot(*Young, {{30, 0}, {31, 30, 100}}); // real block, below WarningTimeout
        FillSnapshot(*Real, {{40, 0}, {41, 40, 5000}});
        FillSnapshot(*Failed, {});
        Failed->State = 2; // switched off after failing: still an error for the tray
    }
    void TearDown() override { ResetSettings(); }
};

TEST_F(TrayRuleTest, WorstCountingStateOverAllServers) {
    struct TCase {
        std::vector<TServerData*> Servers;
        bool IgnoreSelf, IgnoreYoung;
        int Index;
    };
    const std::vector<TCase> cases = {
        {{}, false, false, 2},
        {{Idle.get()}, true, true, 2},
        {{SelfBlock.get()}, false, false, 3},
        {{SelfBlock.get()}, true, false, 2},
        {{Young.get()}, false, false, 3},
        {{Young.get()}, false, true, 2},
        {{Young.get(), SelfBlock.get()}, true, true, 2},
        {{Young.get(), Real.get()}, true, true, 3},
        // Blocks show through another server's error (with a mark, see TrustTest).
        {{Real.get(), Failed.get()}, true, true, 3},
        {{Failed.get(), Young.get()}, false, true, 4},
        {{Idle.get(), SelfBlock.get(), Failed.get()}, true, false, 4},
    };
    for (const TCase& c : cases) {
        IgnoreSelfBlocks = c.IgnoreSelf;
        IgnoreNotWarningBlocks = c.IgnoreYoung;
        std::string names;
        for (auto* s : c.Servers)
            names += s->Info.Name + " ";
        EXPECT_EQ(TTrayWarnings::TrayIconIndex(c.Servers), c.Index)
            << names << c.IgnoreSelf << c.IgnoreYoung;
    }
}

TEST_F(TrayRuleTest, WarnGivesSoundAndBalloonByTheSettings) {
    QMainWindow window;
    TImageList states = MakeServerStatesIL();
    TTrayWarnings tray(window, states);
    EXPECT_EQ(TTrayWarnings::BalloonTitle(), "MSTallyvane");
    EXPECT_EQ(TTrayWarnings::BalloonText("SRV1"), "Warning! SRV1 have blocks!");

    WarningSoundPath = "no-such-sound-here.wav"; // a failed sound still counts (beep)
    struct TCase {
        bool Sound, Balloon, Shown, Result;
    };
    for (const TCase c : {TCase{false, false, true, false}, TCase{false, true, false, false},
                          TCase{false, true, true, true}, TCase{true, false, false, true},
                          TCase{true, true, false, true}}) {
        PlaySoundOnWarning = c.Sound;
        ShowBaloonOnWarning = c.Balloon;
        tray.SetShown(c.Shown);
        EXPECT_EQ(tray.Warn(*Real), c.Result) << c.Sound << c.Balloon << c.Shown;
    }
    tray.SetShown(false);
}

TEST_F(TrayRuleTest, CountedIconFollowsEachServersChangeLikeAFullCount) {
    QMainWindow window;
    TImageList states = MakeServerStatesIL();
    TTrayWarnings tray(window, states);
    IgnoreSelfBlocks = true;
    std::vector<TServerData*> all{Idle.get(), SelfBlock.get(), Young.get(), Real.get(),
                                  Failed.get()};
    tray.UpdateTrayIcon(all);
    EXPECT_EQ(tray.IconIndex(), 3);
    EXPECT_TRUE(tray.ErrorMarked());
    // Each step changes one server and counts only that one again.
    struct TStep {
        TServerData* Server;
        int State; // -1: unregistered
        int Index;
    };
    for (const TStep step :
         {TStep{Failed.get(), 0, 3}, TStep{Real.get(), 0, 3}, TStep{Young.get(), 2, 4},
          TStep{Young.get(), -1, 2}, TStep{SelfBlock.get(), 2, 4}, TStep{SelfBlock.get(), 1, 2},
          TStep{Real.get(), 1, 3}}) {
        if (step.State < 0) {
            tray.Forget(*step.Server);
            all.erase(std::find(all.begin(), all.end(), step.Server));
        } else {
            step.Server->State = static_cast<std::uint8_t>(step.State);
            tray.Recount(*step.Server);
        }
        tray.ShowCounted();
        EXPECT_EQ(tray.IconIndex(), step.Index) << step.Server->Info.Name << step.State;
        EXPECT_EQ(tray.IconIndex(), TTrayWarnings::TrayIconIndex(all));
    }
}

TEST(WarningText, NamesTheServersWarnedTogether) {
    struct TCase {
        QStringList Names;
        QString Text;
    };
    QStringList seventeen{"PROD-SQL01", "REPORT-SQL02"};
    for (int i = 0; i < 15; ++i)
        seventeen << QString("SRV%1").arg(i);
    for (const TCase& c :
         {TCase{{"SRV1"}, "Warning! SRV1 have blocks!"},
          TCase{{"A", "B"}, "Warning! A and B have blocks!"},
          TCase{{"A", "B", "C"}, "Warning! A, B and C have blocks!"},
          TCase{{"A", "B", "C", "D"}, "Warning! A, B and 2 more have blocks!"},
          TCase{seventeen, "Warning! PROD-SQL01, REPORT-SQL02 and 15 more have blocks!"}})
        EXPECT_EQ(TTrayWarnings::BalloonText(c.Names), c.Text) << c.Names.join(",").toStdString();
}

TEST_F(TrayRuleTest, WarningsThatComeTogetherAreGivenAsOne) {
    QMainWindow window;
    TImageList states = MakeServerStatesIL();
    TTrayWarnings tray(window, states);
    tray.HoldOffMs = 200;
    PlaySoundOnWarning = false;
    ShowBaloonOnWarning = true;
    tray.SetShown(true);
    // The first warning is given at once.
    EXPECT_TRUE(tray.Warn(*Real));
    EXPECT_EQ(tray.WarningsGiven(), 1);
    EXPECT_EQ(tray.LastBalloonText().section('\n', 0, 0), "Warning! REAL have blocks!");
    // Those that follow wait for the hold-off and come as one, each server named once; each
    // still reports a warning, so "warn only once" holds per server as before.
    EXPECT_TRUE(tray.Warn(*Young));
    EXPECT_TRUE(tray.Warn(*SelfBlock));
    EXPECT_TRUE(tray.Warn(*Young));
    EXPECT_EQ(tray.WarningsGiven(), 1);
    ASSERT_TRUE(WaitUntil([&] { return tray.WarningsGiven() == 2; }));
    EXPECT_EQ(tray.LastBalloonText().section('\n', 0, 0), "Warning! YOUNG and SELF have blocks!");
    // A quiet hold-off gives nothing; after it the next warning is given at once again.
    QTest::qWait(2 * tray.HoldOffMs + 100);
    EXPECT_EQ(tray.WarningsGiven(), 2);
    EXPECT_TRUE(tray.Warn(*Idle));
    EXPECT_EQ(tray.WarningsGiven(), 3);
    EXPECT_EQ(tray.LastBalloonText(), "Warning! IDLE have blocks!"); // nothing blocked: no incident
    // Neither sound nor a shown balloon: no warning, nothing kept for later.
    ShowBaloonOnWarning = false;
    EXPECT_FALSE(tray.Warn(*Real));
    QTest::qWait(2 * tray.HoldOffMs + 100);
    EXPECT_EQ(tray.WarningsGiven(), 3);
    tray.SetShown(false);
}

TEST_F(TrayRuleTest, TheBalloonCarriesEachIncidentUnderItsSentence) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    // 40 heads 41 <- 42 and 43; 60 heads 61 (shorter wait). The head's login and program as
    // a server may send them: padded, with a line break and a bidi control.
    FillSnapshot(*Real,
                 {{40, 0}, {60, 0}, {41, 40, 26000}, {42, 41, 3000}, {43, 40, 800}, {61, 60, 500}});
    TProcessItem* head = Real->ProcessList.Item(0);
    head->LoginName = "app\nuser";
    head->ProgramName = "Order\u202Eexe.gnp " + std::string(100, 'P');
    EXPECT_EQ(IncidentHeadSpid(*Real), 40);
    const QString incident = IncidentText(*Real);
    EXPECT_EQ(incident, "Head blocker SPID 40 · app user · Order<U+202E>exe.gnp " +
                            QString(18, 'P') + QChar(0x2026) +
                            "\n3 blocked, longest wait 26.0 s (4 blocked in all)");
    // Nothing blocked, or only a self-block: no incident. A cycle has no head to name.
    EXPECT_EQ(IncidentText(*Idle), "");
    EXPECT_EQ(IncidentText(*SelfBlock), "");
    FillSnapshot(*Young, {{30, 31, 700}, {31, 30, 900}});
    EXPECT_EQ(IncidentHeadSpid(*Young), 0);
    EXPECT_EQ(IncidentText(*Young), "2 blocked, longest wait 0.9 s (SPID 31 ← 30)");
    EXPECT_EQ(IncidentStatement("  UPDATE dbo.Orders\r\n   SET qty = 1\tWHERE id = 7  "),
              "UPDATE dbo.Orders SET qty = 1 WHERE id = 7");
    EXPECT_EQ(IncidentStatement(QString(500, 'x')).size(), 90);

    struct TCase {
        QStringList Names, Incidents;
        QString Text;
    };
    const QString big(220, 'i');
    for (const TCase& c : {
             TCase{{"SRV1"}, {"a\nb"}, "Warning! SRV1 have blocks!\na\nb"},
             TCase{{"SRV1"}, {""}, "Warning! SRV1 have blocks!"},
             // Several servers: each incident under its server's name; one without is left out.
             TCase{
                 {"A", "B", "C"}, {"x", "", "z"}, "Warning! A, B and C have blocks!\nA:\nx\nC:\nz"},
             // Whole incidents only, as many as fit in 255 characters.
             TCase{{"A", "B"}, {big, "short"}, "Warning! A and B have blocks!\nA:\n" + big},
             TCase{{"A"}, {big + big}, "Warning! A have blocks!"},
         }) {
        const QString text = TTrayWarnings::BalloonText(c.Names, c.Incidents, 255);
        EXPECT_EQ(text, c.Text) << c.Names.join(",").toStdString();
        EXPECT_LE(text.size(), 255);
    }

    // Through Warn: the figures of the moment of the warning, and no statement where the
    // monitor cannot read one (this one never connects).
    QMainWindow window;
    TImageList states = MakeServerStatesIL();
    TTrayWarnings tray(window, states);
    PlaySoundOnWarning = false;
    ShowBaloonOnWarning = true;
    tray.SetShown(true);
    Real->IsSysAdmin = true;
    EXPECT_TRUE(tray.Warn(*Real));
    EXPECT_EQ(tray.WarningsGiven(), 1);
    EXPECT_EQ(tray.LastBalloonText(), "Warning! REAL have blocks!\n" + incident);
    tray.SetShown(false);
    QLocale::setDefault(saved);
}

TEST(SoundLookup, PathsAsGivenBareNamesBesideTheProgram) {
    QTemporaryDir dir;
    const QString file = dir.filePath("alarm.wav");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("RIFF");
    f.close();
    EXPECT_EQ(TTrayWarnings::FindSoundFile(file), file);
    EXPECT_EQ(TTrayWarnings::FindSoundFile(dir.filePath("missing.wav")), "");
    EXPECT_EQ(TTrayWarnings::FindSoundFile("certainly-not-installed-anywhere.wav"), "");
    EXPECT_EQ(TTrayWarnings::FindSoundFile(""), "");
}

TEST(ErrorLog, DescriptionNamesMessageKindAndAddress) {
    EXPECT_EQ(TErrorLog::Description(Exception("Unknown connection ADO error ( EventStatus = "
                                               "esErrorsOccured)!")),
              "Unknown connection ADO error ( EventStatus = esErrorsOccured)! ( Exception at "
              "0x00000000)");
    EXPECT_EQ(
        TErrorLog::Description(EOleException("Login failed for user 'sa'.", 18456, "", "", 0)),
        "Login failed for user 'sa'. ( EOleException at 0x00000000)");
    EXPECT_EQ(TErrorLog::KindName(std::runtime_error("x")), "std::runtime_error");
}

TEST(ErrorLog, NewestFirstAtMostAThousandFocused) {
    TImageList images = MakeLogImages();
    TErrorLog log(images);
    log.show();
    log.Clearerrors1Click(); // on an empty log: nothing happens
    EXPECT_EQ(log.topLevelItemCount(), 0);
    log.LogError("SRV1", Exception("first"));
    ASSERT_EQ(log.topLevelItemCount(), 1);
    EXPECT_EQ(log.topLevelItem(0)->text(TErrorLog::ErrServerTLC), "SRV1");
    for (int i = 2; i <= TErrorLog::MaxEntries + 5; ++i)
        log.LogError("SRV" + std::to_string(i % 3), Exception("error " + std::to_string(i)));
    EXPECT_EQ(log.topLevelItemCount(), TErrorLog::MaxEntries);
    EXPECT_TRUE(log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).startsWith("error 1005 ("));
    // The oldest five ("first" and 2 to 5) are gone: the last row is entry 6.
    EXPECT_TRUE(log.topLevelItem(TErrorLog::MaxEntries - 1)
                    ->text(TErrorLog::ErrDescriptionTLC)
                    .startsWith("error 6 ("));
    QCoreApplication::sendPostedEvents(); // the newest row is focused once the loop runs
    EXPECT_EQ(log.currentItem(), log.topLevelItem(0));
    log.sortByColumn(TErrorLog::ErrServerTLC, Qt::AscendingOrder); // a header never sorts
    EXPECT_TRUE(log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).startsWith("error 1005 ("));
    log.Clearerrors1Click();
    EXPECT_EQ(log.topLevelItemCount(), 0);
    log.LogError("SRV1", Exception("again"));
    EXPECT_EQ(log.topLevelItemCount(), 1);
}

TEST(ErrorLog, ARepeatAfterItsRowWasDroppedIsANewRow) {
    TImageList images = MakeLogImages();
    TErrorLog log(images);
    log.LogError("DR", Exception("refused"));
    log.LogError("DR", Exception("refused"));
    // A thousand other servers' errors push DR's row out of the log.
    for (int i = 0; i < TErrorLog::MaxEntries; ++i)
        log.LogError("SRV" + std::to_string(i), Exception("refused"));
    ASSERT_EQ(log.topLevelItemCount(), TErrorLog::MaxEntries);
    EXPECT_EQ(log.topLevelItem(TErrorLog::MaxEntries - 1)->text(TErrorLog::ErrServerTLC), "SRV0");
    log.LogError("DR", Exception("refused"));
    EXPECT_EQ(log.topLevelItem(0)->text(TErrorLog::ErrServerTLC), "DR");
    EXPECT_FALSE(log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).contains(u'\u00D7'));
    // A server whose row is further down still folds and comes back to the top.
    log.LogError("SRV500", Exception("refused"));
    EXPECT_EQ(log.topLevelItemCount(), TErrorLog::MaxEntries);
    EXPECT_TRUE(log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).endsWith(") \u00D72"));
    EXPECT_EQ(log.topLevelItem(0)->text(TErrorLog::ErrServerTLC), "SRV500");
    log.Clearerrors1Click();
    log.LogError("SRV500", Exception("refused"));
    EXPECT_FALSE(log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).contains(u'\u00D7'));
}

TEST(ErrorLog, TimeLeavesOutMidnight) {
    const QDateTime midnight(QDate(2026, 3, 4), QTime(0, 0));
    const QDateTime later(QDate(2026, 3, 4), QTime(13, 5, 9));
    EXPECT_EQ(TErrorLog::TimeText(midnight),
              QLocale().toString(QDate(2026, 3, 4), QLocale::ShortFormat));
    EXPECT_TRUE(TErrorLog::TimeText(later).startsWith(TErrorLog::TimeText(midnight) + " "));
    EXPECT_TRUE(TErrorLog::TimeText(later).contains("05:09"))
        << TErrorLog::TimeText(later).toStdString();
}

} // namespace
