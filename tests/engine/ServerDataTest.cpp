// The server monitor against a real tdssim: refresh cycles and their call-backs, snapshots,
// failures of every kind and recovery.
#include "MonitorTestSupport.h"

#include <QTemporaryDir>
#include <fstream>

using monitortest::Batches;
using monitortest::Count;
using monitortest::MonitorTest;
using monitortest::RefreshAndWait;
using monitortest::SimServer;
using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

namespace {

class ServerDataTest : public MonitorTest {
protected:
    TdsSimProcess Sim{"demo"};
};

TEST_F(ServerDataTest, RefreshCyclesReportEveryStepAndSendTheExactStatements) {
    TServerData server(Owner, SimServer(Sim));
    EXPECT_EQ(server.ADOConnection.ConnectionString,
              Sim.oledbConnectionString(0, "sa", "Sim-Admin-1") + ";Application Name=Tallyvane");
    EXPECT_TRUE(Owner.Changes.empty());

    // Not connected: Refresh, then the connect, then the rows (twice).
    server.Refresh();
    ASSERT_EQ(Owner.Changes.size(), 1u);
    EXPECT_TRUE(Owner.Changes[0].Busy);
    ASSERT_TRUE(SpinUntil([&] { return Owner.Changes.size() == 4; }));
    EXPECT_FALSE(server.Busy);
    EXPECT_TRUE(server.IsSysAdmin);
    EXPECT_GT(server.ProcessList.Count(), 0);
    EXPECT_TRUE(Owner.Errors.empty());

    // Connected: exactly three call-backs per refresh.
    for (int i = 0; i < 2; ++i) {
        const std::size_t before = Owner.Changes.size();
        ASSERT_TRUE(RefreshAndWait(server));
        SpinUntil([&] { return Owner.Changes.size() >= before + 3; });
        EXPECT_EQ(Owner.Changes.size(), before + 3);
        EXPECT_TRUE(Owner.Changes[before].Busy);
        EXPECT_FALSE(Owner.Changes[before + 1].Busy);
        EXPECT_GT(Owner.Changes[before + 1].Count, 0); // the snapshot is in at the first
    }

    EXPECT_EQ(Batches(Sim), (std::vector<std::string>{
                                TServerData::SysAdminQueryText, TServerData::ProcessQueryText,
                                TServerData::ProcessQueryText, TServerData::ProcessQueryText}));
    const SimLogEntry login =
        Sim.waitForLog([](const SimLogEntry& e) { return e.at("event") == "login"; });
    EXPECT_EQ(login.at("app"), "Tallyvane");
    EXPECT_EQ(Count(Sim, "login"), 1);
}

TEST_F(ServerDataTest, ADisabledMonitorDoesNothing) {
    TServerInfo info = SimServer(Sim);
    info.Enabled = false;
    TServerData server(Owner, info);
    server.Refresh();
    EXPECT_FALSE(server.Busy);
    EXPECT_TRUE(Owner.Changes.empty());
    EXPECT_EQ(Count(Sim, "connect"), 0);
}

TEST_F(ServerDataTest, AnEmptyConnectionStringStillNamesTheApplication) {
    TServerInfo info;
    info.Name = "EMPTY";
    info.Enabled = false;
    TServerData server(Owner, info);
    EXPECT_EQ(server.ADOConnection.ConnectionString, ";Application Name=Tallyvane");
    // Enabled, it fails to connect with a clear error and keeps running.
    info.Enabled = true;
    info.ConnectionString = "Persist Security Info=True";
    server.ApplyServerInfo(info);
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_TRUE(SpinUntil([&] { return !Owner.Errors.empty(); }));
    EXPECT_EQ(server.State, 2);
    EXPECT_EQ(Owner.Errors[0].Server, "EMPTY");
    EXPECT_NE(Owner.Errors[0].Message.find("names no server"), std::string::npos);
}

TEST_F(ServerDataTest, LoginFailureIsLoggedWithTheServersText) {
    TServerData server(Owner, SimServer(Sim, 0, "sa", "not-the-password"));
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_EQ(Owner.Errors.size(), 1u);
    EXPECT_EQ(Owner.Errors[0].Server, "SRV1");
    EXPECT_EQ(Owner.Errors[0].Message, "Login failed for user 'sa'.");
    EXPECT_EQ(Owner.Errors[0].Kind, "EOleException");
    EXPECT_EQ(server.State, 2);
    EXPECT_FALSE(server.Busy);
    EXPECT_FALSE(server.ADOConnection.Connected());
}

TEST_F(ServerDataTest, UnknownConnectStatusIsAPlainError) {
    TServerData server(Owner, SimServer(Sim));
    server.ADOConnection.ConnectOptions = coAsyncConnect;
    TEventStatus status = esErrorsOccured;
    server.ADOConnectionConnectComplete(server.ADOConnection, nullptr, status);
    ASSERT_EQ(Owner.Errors.size(), 1u);
    EXPECT_EQ(Owner.Errors[0].Message,
              "Unknown connection ADO error ( EventStatus = esErrorsOccured)!");
    EXPECT_EQ(Owner.Errors[0].Kind, "Exception");
    EXPECT_EQ(server.State, 2);
    EXPECT_EQ(Owner.Changes.size(), 1u);
}

TEST_F(ServerDataTest, ServerStoppingMidResultThenComingBack) {
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_TRUE(Owner.Errors.empty());
    ASSERT_GT(server.ProcessList.Count(), 0);

    Sim.setFault(0, "drop");
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_EQ(Owner.Errors.size(), 1u);
    EXPECT_EQ(Owner.Errors[0].Kind, "EOleException");
    EXPECT_EQ(server.State, 2);
    EXPECT_EQ(server.ProcessList.Count(), 0);
    EXPECT_FALSE(server.ADOConnection.Connected());

    // Still down: the next refresh connects anew and fails again; then it is back.
    Sim.clearFaults(0);
    Sim.setFault(0, "refuse");
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_EQ(Owner.Errors.size(), 2u);
    // The driver's words, and what the socket says about the address.
    EXPECT_EQ(Owner.Errors[0].Message,
              "Unexpected EOF from the server: the connection to the server was lost (the "
              "session was ended or the network failed)");
    EXPECT_EQ(Owner.Errors[1].Message,
              "Unable to connect: Adaptive Server is unavailable or does not exist (127.0.0.1, "
              "port " +
                  std::to_string(Sim.port()) + ": connection refused)");
    EXPECT_EQ(server.State, 2);
    Sim.clearFaults(0);
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(Owner.Errors.size(), 2u);
    EXPECT_NE(server.State, 2);
    EXPECT_GT(server.ProcessList.Count(), 0);
    EXPECT_EQ(Count(Sim, "login-ok"), 2);
    // Every connect is followed by the sysadmin question.
    int sysadmin = 0;
    for (const std::string& b : Batches(Sim)) {
        sysadmin += b == TServerData::SysAdminQueryText ? 1 : 0;
    }
    EXPECT_EQ(sysadmin, 2);
}

TEST_F(ServerDataTest, QueryErrorsAndKilledConnectionsAreLoggedAndRecovered) {
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    Sim.setFault(0, "query-error", "208");
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_EQ(Owner.Errors.size(), 1u);
    EXPECT_EQ(Owner.Errors[0].Message, "Invalid object name 'master.dbo.sysprocesses'.");
    EXPECT_EQ(server.State, 2);
    Sim.clearFaults(0);

    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_EQ(Owner.Errors.size(), 1u);
    // Somebody kills the monitor's own session: one failed refresh, then a new connection.
    std::string spid;
    for (const SimLogEntry& e : Sim.logEntries()) {
        if (e.at("event") == "login-ok") {
            spid = e.at("spid");
        }
    }
    Sim.kill(0, std::stoi(spid));
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_EQ(Owner.Errors.size(), 2u);
    EXPECT_EQ(Owner.Errors[1].Message, "Communication link failure: the connection to the server "
                                       "was lost (the session was ended or the network failed)");
    EXPECT_EQ(server.State, 2);
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(Owner.Errors.size(), 2u);
    EXPECT_NE(server.State, 2);
}

TEST_F(ServerDataTest, HungServerIsBoundedByTheServersTimeOut) {
    TServerInfo info = SimServer(Sim);
    info.Timeout = 1;
    TServerData server(Owner, info);
    ASSERT_TRUE(RefreshAndWait(server));
    Sim.setFault(0, "hang");
    server.Refresh();
    ASSERT_TRUE(SpinUntil([&] { return !server.Busy; }, std::chrono::seconds(10)));
    ASSERT_EQ(Owner.Errors.size(), 1u);
    EXPECT_EQ(server.State, 2);

    // A server that never answers the login either.
    Sim.clearFaults(0);
    Sim.setFault(0, "hang-login");
    server.Refresh();
    ASSERT_TRUE(SpinUntil([&] { return !server.Busy; }, std::chrono::seconds(10)));
    EXPECT_EQ(Owner.Errors.size(), 2u);
    EXPECT_EQ(server.State, 2);
}

TEST_F(ServerDataTest, AStoredTimeOutOfZeroStillBoundsEveryWait) {
    TServerInfo info = SimServer(Sim);
    info.Timeout = 0;
    TServerData server(Owner, info);
    EXPECT_EQ(server.ADOConnection.ConnectionTimeout, 30u);
    EXPECT_EQ(server.ADOConnection.CommandTimeout, 30u);
    EXPECT_EQ(server.Info.Timeout, 0u); // what is stored is kept
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_NE(server.State, 2);
}

TEST_F(ServerDataTest, ApplyingSettingsAbandonsAnOutstandingCycleAndClearsBusy) {
    struct {
        const char* Fault;
        const char* Stage;
    } cases[] = {{"hang-login", "connect"}, {"hang", "sysadmin question"}, {"hang", "query"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Stage);
        TServerData server(Owner, SimServer(Sim));
        if (std::string(c.Stage) == "query") {
            ASSERT_TRUE(RefreshAndWait(server));
        }
        Sim.setFault(0, c.Fault);
        server.Refresh();
        if (std::string(c.Stage) == "sysadmin question") {
            ASSERT_TRUE(SpinUntil([&] { return server.SysAdminId != 0; }));
        }
        ASSERT_TRUE(server.Busy);
        const std::size_t changes = Owner.Changes.size();
        server.ApplyServerInfo(SimServer(Sim));
        EXPECT_FALSE(server.Busy);
        Sim.clearFaults(0);
        ASSERT_TRUE(RefreshAndWait(server));
        ASSERT_TRUE(SpinUntil([&] { return server.ProcessList.Count() > 0; }));
        EXPECT_EQ(server.State, 1);
        // Nothing of the abandoned work came back: one Refresh, one connect, one snapshot.
        EXPECT_EQ(Owner.Changes.size(), changes + 4);
    }
    EXPECT_TRUE(Owner.Errors.empty());
}

TEST_F(ServerDataTest, AnErrorEscapingTheOwnerGoesToTheErrorDisplay) {
    // An owner whose view update fails at the last call-back of the first cycle, which no
    // handler of the monitor covers.
    class FailingOwner : public monitortest::RecordingOwner {
    public:
        void ServerChanged(TServerData& server) override {
            RecordingOwner::ServerChanged(server);
            if (!server.Busy && ++Idle == 2) {
                throw Exception("view update failed");
            }
        }
        int Idle = 0;
    } owner;
    TServerData server(owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_TRUE(SpinUntil([&] { return !Shown.empty(); }));
    EXPECT_EQ(Shown[0], "view update failed");
    // The monitor carries on.
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_GT(server.ProcessList.Count(), 0);
    EXPECT_TRUE(owner.Errors.empty());
}

TEST_F(ServerDataTest, EdgeScenarioSnapshot) {
    TdsSimProcess edge("edge");
    WarningTimeout = 0;
    TServerData server(Owner, SimServer(edge));
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_TRUE(Owner.Errors.empty());
    EXPECT_EQ(server.State, 1);
    EXPECT_TRUE(server.ProcessList.HasRealBlocks());
    EXPECT_TRUE(server.ProcessList.HasWarning());
    EXPECT_GE(server.MaxWaitTime, 5200); // 73's worker row waits 5200 ms on 75
    EXPECT_EQ(Owner.Warnings, 1);

    const TProcessItem* self = server.ProcessList.FindBySpid(70);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->Blocked, 70);
    EXPECT_EQ(self->BlockRole, 1);
    const TProcessItem* orphan = server.ProcessList.FindBySpid(71);
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ(orphan->Blocked, 999);
    const TProcessItem* dtc = server.ProcessList.FindBySpid(72);
    ASSERT_NE(dtc, nullptr);
    EXPECT_EQ(dtc->Blocked, -2);
    EXPECT_EQ(dtc->WaitTime, 4200);
    // 75 holds the worker row of 73 that waits on it.
    const TProcessItem* holder = server.ProcessList.FindBySpid(75);
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(holder->BlockRole, 2);
    ASSERT_EQ(holder->ChildCount(), 1);
    EXPECT_EQ(holder->Child(0)->Spid, 73);
    EXPECT_EQ(holder->Child(0)->LastWaitType, "LCK_M_S");
    // Texts are trimmed, NULL databases read as empty, non-ASCII text survives.
    EXPECT_EQ(server.ProcessList.FindBySpid(90)->DBName, "");
    EXPECT_EQ(server.ProcessList.FindBySpid(91)->DBName, "");
    EXPECT_EQ(server.ProcessList.FindBySpid(92)->HostName, "EDGE-07");
    EXPECT_EQ(server.ProcessList.FindBySpid(92)->ProgramName, "Trailing Blanks");
    EXPECT_EQ(server.ProcessList.FindBySpid(92)->DBName, "HR");
    EXPECT_EQ(server.ProcessList.FindBySpid(93)->HostName, "Ürün-Sunucu");
    EXPECT_EQ(server.ProcessList.FindBySpid(93)->ProgramName, "Приложение");
    EXPECT_EQ(server.ProcessList.FindBySpid(70)->LastWaitType, "LCK_M_X");
    EXPECT_EQ(server.ProcessList.FindBySpid(70)->Status, "suspended");
    // The cycles are in the forest, each item reachable once.
    for (int spid : {80, 81, 82, 83, 84}) {
        EXPECT_NE(server.ProcessList.FindBySpid(spid), nullptr) << spid;
    }
}

TEST_F(ServerDataTest, TheMonitorsOwnSessionShowsInItsSnapshot) {
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    bool found = false;
    for (int i = 0; i < server.ProcessList.Count(); ++i) {
        const TProcessItem* item = server.ProcessList.Item(i);
        if (item->ProgramName == "Tallyvane") {
            found = true;
            EXPECT_EQ(item->LoginName, "sa");
            EXPECT_EQ(item->Status, "runnable");
        }
    }
    EXPECT_TRUE(found);
}

} // namespace

// A process list no SQL Server can have (it has at most 32,767 sessions) is refused whole
// with an error, not read into memory: 100,000 generated rows and the monitor's own session.
TEST_F(ServerDataTest, ProcessListBeyondAHundredThousandRowsIsAnError) {
    TdsSimProcess big("gen:sessions=100000,blocked=0");
    TServerInfo info = SimServer(big);
    info.Timeout = 60;
    TServerData server(Owner, info);
    server.Refresh(); // 100,000 rows take a while on a busy machine
    ASSERT_TRUE(SpinUntil([&] { return !server.Busy; }, std::chrono::seconds(100)));
    ASSERT_EQ(Owner.Errors.size(), 1u);
    EXPECT_NE(Owner.Errors[0].Message.find("more than 100,000 rows"), std::string::npos)
        << Owner.Errors[0].Message;
    EXPECT_EQ(server.State, 2);
    EXPECT_EQ(server.ProcessList.Count(), 0);
}

TEST_F(ServerDataTest, ARefusingServerWaitsBeforeTheNextAutomaticTryUntilAConnectSucceeds) {
    TServerData server(Owner, SimServer(Sim));
    server.Reconnect.SetInterval(std::chrono::seconds(60));
    Sim.setFault(0, "refuse");
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.State, 2);
    EXPECT_EQ(server.Reconnect.Failures(), 1);
    EXPECT_FALSE(server.Reconnect.Due());
    EXPECT_GT(server.Reconnect.Remaining(), std::chrono::seconds(89));

    // The user's own refresh is not held back: it connects at once, and that success ends the
    // wait.
    Sim.clearFaults(0);
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_NE(server.State, 2);
    EXPECT_EQ(server.Reconnect.Failures(), 0);
    EXPECT_TRUE(server.Reconnect.Due());

    // A failed query on an open connection is no failed connect.
    Sim.setFault(0, "drop");
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.State, 2);
    EXPECT_TRUE(server.Reconnect.Due());
}
