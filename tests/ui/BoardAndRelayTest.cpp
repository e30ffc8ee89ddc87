// The "Blocking now" board over monitors whose snapshots the test fills: impact order across
// servers, the servers it cannot see at the bottom, muted ones dimmed, the calm text, Enter and
// Ctrl+C. And the notice relay between the monitors and the sender: which notices a run of
// snapshots calls for, and what they name.
#include "BlockingBoard.h"
#include "MuteState.h"
#include "NoticeRelay.h"
#include "Settings.h"
#include "UiTestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

class BlockingBoardTest : public testing::Test {
protected:
    BlockingBoardTest() {
        ResetSettings();
        for (const char* name : {"A", "B", "DOWN", "BLIND", "QUIET"}) {
            Servers.push_back(MakeMonitor(Owner, name));
            Servers.back()->Enabled = true;
        }
        Board.Servers = [this] {
            std::vector<TServerData*> all;
            for (auto& s : Servers)
                all.push_back(s.get());
            return all;
        };
        Board.show();
    }
    ~BlockingBoardTest() override { ResetSettings(); }
    TServerData& Server(int i) { return *Servers[static_cast<std::size_t>(i)]; }
    QString Cell(int row, int column) { return Board.List->topLevelItem(row)->text(column); }

    TNullOwner Owner;
    std::vector<std::unique_ptr<TServerData>> Servers;
    TBlockingBoard Board;
};

TEST_F(BlockingBoardTest, ChainsInImpactOrderTheBlindAtTheBottomMutedDimmed) {
    // A: 51 holds 52 (10 s), which holds 53 (5 s): 15 s in all. B: 70 holds 71 for 20 s.
    FillSnapshot(Server(0), {{51}, {52, 51, 10'000}, {53, 52, 5'000}, {54}});
    FillSnapshot(Server(1), {{70}, {71, 70, 20'000}});
    Server(2).State = 2;
    Server(3).State = 2;
    Server(3).SeesOnlyOwnSession = true;
    Server(3).LoginName = "blind";
    FillSnapshot(Server(4), {{80}, {81, 80, 1'000}});
    MuteServer(Server(4), TMuteSpan::Hour1);
    Board.Update();
    ASSERT_EQ(Board.RowCount(), 5);
    EXPECT_EQ(Cell(0, TBlockingBoard::ServerC), "B");
    EXPECT_EQ(Cell(0, TBlockingBoard::SummedC), "20.0 s");
    EXPECT_EQ(Cell(1, TBlockingBoard::ServerC), "A");
    EXPECT_EQ(Cell(1, TBlockingBoard::HeadC), "51");
    EXPECT_EQ(Cell(1, TBlockingBoard::SummedC), "15.0 s");
    EXPECT_EQ(Cell(1, TBlockingBoard::LongestC), "10.0 s");
    EXPECT_EQ(Cell(1, TBlockingBoard::InAllC), "2");
    EXPECT_EQ(Cell(1, TBlockingBoard::DirectC), "1");
    EXPECT_EQ(Cell(2, TBlockingBoard::ServerC), "QUIET");
    EXPECT_NE(Board.List->topLevelItem(2)->foreground(0).color(),
              Board.List->topLevelItem(1)->foreground(0).color());
    EXPECT_EQ(Cell(3, 0), "DOWN · not seeing: error, see the error log");
    EXPECT_TRUE(Cell(4, 0).startsWith("BLIND · not seeing: sees only its own session"));
    EXPECT_TRUE(Board.SummaryL->text().startsWith("3 chains · not seeing 2"));
    EXPECT_EQ(Board.RowHead(1), std::make_pair(&Server(0), 51));

    // Enter on a row asks for that head; Ctrl+C copies every row with a header.
    TServerData* chosen = nullptr;
    int spid = 0;
    QObject::connect(&Board, &TBlockingBoard::HeadChosen, [&](TServerData* s, int p) {
        chosen = s;
        spid = p;
    });
    Board.List->setCurrentItem(Board.List->topLevelItem(1));
    QTest::keyClick(Board.List, Qt::Key_Return);
    EXPECT_EQ(chosen, &Server(0));
    EXPECT_EQ(spid, 51);
    QTest::keyClick(Board.List, Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6);
    EXPECT_TRUE(lines[0].startsWith("Server\tHead SPID\tSummed wait"));
    EXPECT_TRUE(lines[2].startsWith("A\t51\t15.0 s\t10.0 s\t2\t1\t"));
}

TEST_F(BlockingBoardTest, CalmServersSayHowManyAreSeen) {
    FillSnapshot(Server(0), {{51}, {52}});
    FillSnapshot(Server(1), {{70}});
    Servers.resize(2);
    Board.ServerChanged(Server(0));
    Board.Update();
    EXPECT_EQ(Board.RowCount(), 0);
    EXPECT_TRUE(Board.SummaryL->text().startsWith("No blocking on 2 servers · last refresh "))
        << Board.SummaryL->text().toStdString();
}

// The relay fed by hand, with a clock the test moves; the channel is a closed loopback port,
// so notices are handed over and then fail on the sending thread, which is none of this test.
class NoticeRelayTest : public testing::Test {
protected:
    NoticeRelayTest() {
        ResetSettings();
        WebhookUrl = "http://127.0.0.1:9/hook";
        Relay.LoopbackOnly = true;
        Relay.Clock = [this] { return Now; };
        Relay.ApplySettings();
        Server = MakeMonitor(Owner, "PROD-SQL01");
        Server->Enabled = true;
    }
    ~NoticeRelayTest() override { ResetSettings(); }
    void Snapshot(const std::vector<TTestRow>& rows) {
        FillSnapshot(*Server, rows);
        ++Server->Snapshots;
        for (int i = 0; i < 3; ++i) // a refresh calls back several times
            Relay.ServerChanged(*Server);
        Now += std::chrono::seconds(5);
    }
    std::vector<std::string> Events() const {
        std::vector<std::string> events;
        for (const TNotice& n : Relay.Posted())
            events.push_back(n.Event);
        return events;
    }

    TNullOwner Owner;
    std::chrono::system_clock::time_point Now{std::chrono::seconds(1'796'980'000)};
    TNoticeRelay Relay{[](const std::string&) {}};
    std::unique_ptr<TServerData> Server;
};

TEST_F(NoticeRelayTest, BlockingNamesTheHeadThatHurtsMostAndClearedNamesItAgain) {
    Snapshot({{51}, {52, 51, 1'000}});
    EXPECT_TRUE(Events().empty());
    // 60 holds two sessions for 4 s each: more impact than 51's one session at 5 s.
    Snapshot({{51}, {52, 51, 5'000}, {60}, {61, 60, 4'000}, {62, 60, 4'000}});
    ASSERT_EQ(Events(), std::vector<std::string>{"blocking"});
    const TNotice& blocking = Relay.Posted().back();
    EXPECT_EQ(blocking.HeadSpid, 60);
    EXPECT_EQ(blocking.Blocked, 3);
    EXPECT_EQ(blocking.LongestWaitMs, 5'000);
    EXPECT_EQ(blocking.SummedWaitMs, 13'000);
    EXPECT_EQ(blocking.TimeMs, 1'796'980'005'000);
    Snapshot({{51}, {52, 51, 9'000}});
    Snapshot({{51}, {52}});
    ASSERT_EQ(Events(), (std::vector<std::string>{"blocking", "cleared"}));
    EXPECT_EQ(Relay.Posted().back().HeadSpid, 60);
    // Again within the cooldown: nothing.
    Snapshot({{51}, {52, 51, 9'000}});
    EXPECT_EQ(Events().size(), 2u);
}

TEST_F(NoticeRelayTest, AnErrorAndAMuteSendNothing) {
    Snapshot({{51}, {52, 51, 9'000}});
    Server->State = 2; // the connection is lost mid-incident: no all-clear from blindness
    Relay.ServerChanged(*Server);
    Relay.ServerChanged(*Server);
    EXPECT_EQ(Events(), std::vector<std::string>{"blocking"});
    MuteServer(*Server, TMuteSpan::Hour1);
    Snapshot({{51}, {52}});
    EXPECT_EQ(Events(), std::vector<std::string>{"blocking"});
    TDeadlockReport report;
    report.Time = QDateTime::currentMSecsSinceEpoch();
    report.Processes.resize(2);
    report.Processes[0].Spid = 57;
    report.Processes[0].Victim = true;
    report.Processes[1].Spid = 59;
    Relay.DeadlocksRead(*Server, {report});
    EXPECT_EQ(Events().size(), 1u);
    MuteServer(*Server, TMuteSpan::Off);
    Relay.DeadlocksRead(*Server, {report});
    ASSERT_EQ(Events().size(), 2u);
    EXPECT_EQ(Relay.Posted().back().VictimSpid, 57);
    EXPECT_EQ(Relay.Posted().back().Survivors, std::vector<std::int32_t>{59});
}

} // namespace
