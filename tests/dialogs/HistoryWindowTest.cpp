// "Blocking history": a history file written by the store, read by the window: the table,
// its filters, the selected episode's tree and statement, the CSV export.
#include "HistoryF.h"
#include "HistoryKillsView.h"
#include "HistoryStore.h"
#include "SpinEdit.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <functional>
#include <gtest/gtest.h>

namespace {

TEpisodeSession Blocked(std::int32_t spid, std::int32_t by, std::int32_t wait) {
    TEpisodeSession s;
    s.Key = {spid, "web", "WEB-" + std::to_string(spid), "Shop"};
    s.DBName = "Sales";
    s.LastWaitType = "LCK_M_U";
    s.WaitResource = "KEY: 5:1 (ab)";
    s.BlockedBy = by;
    s.LongestWait = wait;
    s.TotalWait = wait;
    return s;
}

TEpisode Episode(const std::string& server, std::int64_t start, std::int64_t duration,
                 std::vector<TEpisodeSession> sessions) {
    TEpisode e;
    e.Server = server;
    e.Start = start;
    e.End = start + duration;
    e.EndKind = TEpisodeEnd::Ended;
    e.Head = {51, "payroll", "APP-SRV-01", "Payroll Service"};
    e.HeadDBName = "Sales";
    e.HeadStatus = "sleeping";
    e.HeadOpenTran = 1;
    e.Sessions = std::move(sessions);
    e.PeakBlocked = static_cast<std::int32_t>(e.Sessions.size());
    for (const TEpisodeSession& s : e.Sessions)
        e.PeakWait = std::max(e.PeakWait, s.LongestWait);
    return e;
}

// The texts of a tree, one item per line, indented by depth: "51 payroll".
std::string TreeText(QTreeWidget* tree) {
    std::string text;
    std::function<void(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* item, int depth) {
        text += std::string(2 * depth, ' ') + item->text(0).toStdString() + " " +
                item->text(1).toStdString() + "\n";
        for (int c = 0; c < item->childCount(); ++c)
            walk(item->child(c), depth + 1);
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        walk(tree->topLevelItem(i), 0);
    return text;
}

std::string Column(QTreeWidget* tree, int column) {
    std::string text;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        text += (i ? "|" : "") + tree->topLevelItem(i)->text(column).toStdString();
    return text;
}

class HistoryWindow : public testing::Test {
protected:
    QTemporaryDir Dir;
    std::string File = Dir.filePath("h.sqlite").toStdString();
    const std::int64_t Hour = 3600 * 1000;
    const std::int64_t Now = QDateTime::currentMSecsSinceEpoch();

    void SetUp() override {
        THistoryStore store(File, THistoryStore::TMode::Write);
        store.Transaction([&] {
            // A chain 51 <- 60 <- 61 and a fan 51 <- 62, with the statement read.
            const std::int64_t chain = store.SaveEpisode(
                0,
                Episode("PROD", Now - 2 * Hour, 95'000,
                        {Blocked(60, 51, 95'000), Blocked(61, 60, 30'000), Blocked(62, 51, 4'000)}),
                nullptr);
            store.SaveStatement(chain, "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = 1");
            store.SaveEpisode(0, Episode("QA", Now - Hour, 3'500, {Blocked(70, 51, 3'500)}),
                              nullptr);
            store.SaveEpisode(
                0, Episode("PROD", Now - 30 * Hour, 7'200'000, {Blocked(80, 51, 7'200'000)}),
                nullptr);
        });
    }
};

TEST_F(HistoryWindow, ListsEpisodesNewestFirstAndFiltersThem) {
    THistoryF f(File, {"PROD", "DEV"});
    EXPECT_EQ(Column(f.EpisodesTV, THistoryF::ServerC), "QA|PROD") << "the last day";
    EXPECT_EQ(Column(f.EpisodesTV, THistoryF::DurationC), "3.5 s|1 min 35 s");
    EXPECT_EQ(Column(f.EpisodesTV, THistoryF::BlockedC), "1|3");
    EXPECT_EQ(Column(f.EpisodesTV, THistoryF::ProgramC), "Payroll Service|Payroll Service");
    EXPECT_EQ(f.ServerCB->count(), 4) << "all, DEV, PROD, QA";

    struct {
        const char* Name;
        std::function<void()> Set;
        const char* Servers;
    } cases[] = {
        {"one server", [&] { f.ServerCB->setCurrentText("PROD"); }, "PROD"},
        {"a longer time range",
         [&] { f.FromDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Now - 48 * Hour)); },
         "PROD|PROD"},
        {"a minimum duration", [&] { f.MinDurationSE->setValue(100); }, "PROD"},
        {"a range that ends before all of them",
         [&] {
             f.ServerCB->setCurrentIndex(0);
             f.MinDurationSE->setValue(0);
             f.ToDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Now - 40 * Hour));
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Set();
        f.ShowB->click();
        EXPECT_EQ(Column(f.EpisodesTV, THistoryF::ServerC), c.Servers);
    }
    EXPECT_EQ(f.StatusL->text(), "0 episodes.");
}

TEST_F(HistoryWindow, ShowsTheSelectedEpisodesSessionsAsATreeAndTheStatement) {
    THistoryF f(File, {});
    f.EpisodesTV->setCurrentItem(f.EpisodesTV->topLevelItem(1));
    EXPECT_EQ(TreeText(f.SessionsTV), "51 payroll\n"
                                      "  60 web\n"
                                      "    61 web\n"
                                      "  62 web\n");
    EXPECT_EQ(f.SessionsTV->topLevelItem(0)->text(THistoryF::StatusC),
              "sleeping, 1 open transaction(s)");
    EXPECT_EQ(f.SessionsTV->topLevelItem(0)->child(0)->text(THistoryF::LongestWaitC), "1 min 35 s");
    EXPECT_EQ(f.StatementE->toPlainText(), "BEGIN TRAN\nUPDATE dbo.Salaries SET Amount = 1");

    f.EpisodesTV->setCurrentItem(f.EpisodesTV->topLevelItem(0));
    EXPECT_EQ(TreeText(f.SessionsTV), "51 payroll\n  70 web\n");
    EXPECT_TRUE(f.StatementE->toPlainText().startsWith("(not read"));
}

TEST_F(HistoryWindow, ExportsTheFilteredEpisodesOneRowPerBlockedSession) {
    THistoryF f(File, {});
    f.ServerCB->setCurrentText("PROD");
    f.FromDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Now - 48 * Hour));
    const QString path = Dir.filePath("out.csv");
    f.ExportTo(path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString csv = QString::fromUtf8(file.readAll());
    const QStringList lines = csv.split("\r\n", Qt::SkipEmptyParts);
    // The header, three sessions of the chain (its statement's line break is quoted, so it
    // splits one record in two here), one of the two-hour episode.
    ASSERT_EQ(lines.size(), 1 + 3 * 2 + 1);
    EXPECT_TRUE(lines[0].startsWith("server,start,end,duration_ms"));
    EXPECT_TRUE(lines[1].startsWith("PROD,")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("UPDATE dbo.Salaries SET Amount = 1\",60,web,WEB-60"))
        << lines[2].toStdString();
    EXPECT_TRUE(lines[7].contains(",7200000,ended,")) << lines[7].toStdString();
    EXPECT_EQ(f.StatusL->text(), "2 episodes exported to " + path + ".");

    EXPECT_THROW(f.ExportTo(Dir.filePath("missing/out.csv")), THistoryError);
}

TEST_F(HistoryWindow, ListsTheKillsOfTheSameServersAndTimeBesideTheEpisodes) {
    {
        THistoryStore store(File, THistoryStore::TMode::Write);
        TKillRecord done;
        done.Server = "PROD";
        done.Time = Now - 3 * Hour;
        done.Spid = 51;
        done.Login = "payroll";
        done.Host = "APP-SRV-01";
        done.Program = "Payroll Service";
        done.Statement = "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = 1";
        done.KilledBy = "dba";
        done.OpenTran = 1;
        done.BlockedCount = 3;
        TKillRecord refused = done;
        refused.Time = Now - Hour;
        refused.Spid = 52;
        refused.Login = "evil\u202egnp.exe";
        refused.Statement.reset();
        refused.Outcome = "User does not have permission to use the KILL statement.";
        TKillRecord old = done;
        old.Time = Now - 40 * Hour;
        TKillRecord qa = done;
        qa.Server = "QA";
        store.Transaction([&] {
            for (const TKillRecord& k : {done, refused, old, qa})
                store.SaveKill(k);
        });
    }
    THistoryF f(File, {});
    EXPECT_EQ(f.PagesTC->tabText(f.PagesTC->indexOf(f.KillsV)), "&Kills");
    QTreeWidget* kills = f.KillsV->KillsTV;
    EXPECT_EQ(Column(kills, THistoryKillsView::SpidC), "52|51|51") << "the last day, newest first";
    f.ServerCB->setCurrentText("PROD");
    f.ShowB->click();
    EXPECT_EQ(Column(kills, THistoryKillsView::SpidC), "52|51");
    EXPECT_EQ(Column(kills, THistoryKillsView::OutcomeC),
              "not killed: User does not have permission to use the KILL statement.|killed");
    EXPECT_EQ(Column(kills, THistoryKillsView::LoginC), "evil<U+202E>gnp.exe|payroll");
    EXPECT_EQ(Column(kills, THistoryKillsView::BlockedC), "3|3");
    EXPECT_EQ(Column(kills, THistoryKillsView::KilledByC), "dba|dba");
    EXPECT_EQ(f.KillsV->StatusL->text(), "2 kills.");
    EXPECT_TRUE(f.KillsV->StatementE->toPlainText().startsWith("(not read"));
    kills->setCurrentItem(kills->topLevelItem(1));
    EXPECT_EQ(f.KillsV->StatementE->toPlainText(),
              "BEGIN TRAN\nUPDATE dbo.Salaries SET Amount = 1");
}

TEST_F(HistoryWindow, SaysSoWhenNothingWasRecordedYet) {
    THistoryF f(Dir.filePath("none.sqlite").toStdString(), {"PROD"});
    EXPECT_EQ(f.EpisodesTV->topLevelItemCount(), 0);
    EXPECT_TRUE(f.StatusL->text().startsWith("No blocking history has been recorded yet"));
    EXPECT_EQ(f.ServerCB->count(), 2);
}

} // namespace
