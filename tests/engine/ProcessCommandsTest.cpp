// DBCC INPUTBUFFER and KILL through the monitor, beside its own refresh cycle.
#include "MonitorTestSupport.h"
#include "OleException.h"
#include "WaitResource.h"

#include <QTimer>
#include <algorithm>

using monitortest::Batches;
using monitortest::MonitorTest;
using monitortest::RefreshAndWait;
using monitortest::SimServer;
using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

namespace {

const char* const Payroll =
    "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7";

class ProcessCommandsTest : public MonitorTest {
protected:
    TdsSimProcess Sim{"demo"};
};

TEST_F(ProcessCommandsTest, InputBufferAndKillSendTheExactStatements) {
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    const std::size_t changes = Owner.Changes.size();
    const std::uint8_t state = server.State;

    EXPECT_EQ(server.GetInputBuffer(51), Payroll);
    EXPECT_EQ(server.CommandKind, 1);
    server.KillProcess(51);
    EXPECT_EQ(server.CommandKind, 2);
    // Neither statement touches the cycle's state or calls back.
    EXPECT_EQ(Owner.Changes.size(), changes);
    EXPECT_FALSE(server.Busy);
    EXPECT_EQ(server.State, state);
    EXPECT_NE(server.ProcessList.FindBySpid(51), nullptr);

    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.ProcessList.FindBySpid(51), nullptr);
    const std::vector<std::string> batches = Batches(Sim);
    ASSERT_GE(batches.size(), 4u);
    EXPECT_EQ(batches[2], "DBCC INPUTBUFFER(51)");
    EXPECT_EQ(batches[3], "KILL 51");
    EXPECT_TRUE(Owner.Errors.empty());
}

TEST_F(ProcessCommandsTest, AnInputBufferRequestAnswersLaterWithoutTouchingTheCycle) {
    TServerData server(Owner, SimServer(Sim));
    std::vector<std::string> answers;
    auto record = [&](const std::string* text) {
        answers.push_back(text != nullptr ? *text : std::string("(failed)"));
    };
    EXPECT_FALSE(server.RequestInputBuffer(51, record)) << "not connected: nothing is sent";
    ASSERT_TRUE(RefreshAndWait(server));
    const std::uint64_t snapshots = server.Snapshots;
    const std::size_t changes = Owner.Changes.size();

    ASSERT_TRUE(server.RequestInputBuffer(51, record));
    ASSERT_TRUE(server.RequestInputBuffer(4242, record));
    EXPECT_TRUE(answers.empty()) << "the answers come later";
    // A refresh started meanwhile is read as usual, behind the two statements.
    server.Refresh();
    ASSERT_TRUE(SpinUntil([&] { return answers.size() == 2 && !server.Busy; }));
    EXPECT_EQ(answers[0], Payroll);
    EXPECT_EQ(answers[1], "(failed)") << "Msg 7955 for an unknown SPID";
    EXPECT_EQ(server.Snapshots, snapshots + 1);
    EXPECT_NE(server.State, 2);
    EXPECT_GT(Owner.Changes.size(), changes);
    EXPECT_TRUE(Owner.Errors.empty());

    // Disconnect abandons a pending request: its answer never comes.
    ASSERT_TRUE(server.RequestInputBuffer(51, record));
    server.Disconnect();
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(answers.size(), 2u);
}

TEST_F(ProcessCommandsTest, InputBufferTextComesBackAsTheServerHasIt) {
    TdsSimProcess edge("edge");
    TServerData server(Owner, SimServer(edge));
    EXPECT_EQ(server.GetInputBuffer(92), "SELECT 1   "); // not trimmed
    const std::string longBatch = server.GetInputBuffer(94);
    EXPECT_EQ(longBatch.size(), 4000u);
    EXPECT_EQ(longBatch.rfind("-- generated batch\r\nUPDATE dbo.Orders", 0), 0u);
    EXPECT_EQ(server.GetInputBuffer(93), "SELECT N'Grüße'");
}

TEST_F(ProcessCommandsTest, ErrorsReachTheCaller) {
    TServerData server(Owner, SimServer(Sim));
    struct {
        std::function<void()> Call;
        std::int32_t Code;
        const char* Message;
    } cases[] = {
        {[&] { server.GetInputBuffer(4242); }, 7955, "Invalid SPID 4242 specified."},
        {[&] { server.KillProcess(4242); }, 6106, "Process ID 4242 is not an active process ID."},
        {[&] { server.KillProcess(-5); }, 6101, nullptr},
    };
    for (const auto& c : cases) {
        try {
            c.Call();
            ADD_FAILURE() << "expected " << c.Code;
        } catch (const EOleException& e) {
            EXPECT_EQ(e.ErrorCode, c.Code);
            EXPECT_EQ(std::string(e.ClassName()), "EOleException");
            if (c.Message != nullptr) {
                EXPECT_STREQ(e.what(), c.Message);
            }
        }
    }
    EXPECT_EQ(Batches(Sim).back(), "KILL -5");
    EXPECT_EQ(server.CommandKind, 2); // as the failing statement left it
    EXPECT_TRUE(Owner.Errors.empty());

    TServerData viewer(Owner, SimServer(Sim, 0, "viewer", "Sim-View-1"));
    EXPECT_THROW(viewer.GetInputBuffer(51), EOleException);
    EXPECT_THROW(viewer.KillProcess(51), EOleException);
}

TEST_F(ProcessCommandsTest, AClosedConnectionIsOpenedFirstAndTheConnectIsReported) {
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    Sim.setFault(0, "drop");
    ASSERT_TRUE(RefreshAndWait(server));
    ASSERT_EQ(server.State, 2);
    ASSERT_FALSE(server.ADOConnection.Connected());
    Sim.clearFaults(0);

    // The statement's own connect reaches the connect handler like any other: the sysadmin
    // question and a process query follow it.
    const std::size_t changes = Owner.Changes.size();
    EXPECT_EQ(server.GetInputBuffer(51), Payroll);
    ASSERT_TRUE(SpinUntil([&] { return Owner.Changes.size() >= changes + 3; }));
    EXPECT_FALSE(server.Busy);
    EXPECT_EQ(server.State, 1);
    EXPECT_GT(server.ProcessList.Count(), 0);
    EXPECT_EQ(Owner.Errors.size(), 1u); // the drop only
    const std::vector<std::string> batches = Batches(Sim);
    const std::vector<std::string> tail(batches.end() - 3, batches.end());
    // The sysadmin question goes first; the process query follows its answer, which comes
    // while the statement is under way.
    EXPECT_EQ(tail,
              (std::vector<std::string>{TServerData::SysAdminQueryText, "DBCC INPUTBUFFER(51)",
                                        TServerData::ProcessQueryText}));
}

TEST_F(ProcessCommandsTest, AStatementWhileTheQueryIsOutstandingLeavesBusyClear) {
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    Sim.setFault(0, "delay", "300");
    const std::size_t changes = Owner.Changes.size();
    server.Refresh();
    ASSERT_TRUE(server.Busy);
    EXPECT_EQ(server.GetInputBuffer(51), Payroll);
    ASSERT_TRUE(SpinUntil([&] { return !server.Busy; }));
    SpinUntil([&] { return Owner.Changes.size() >= changes + 3; });
    EXPECT_EQ(Owner.Changes.size(), changes + 3);
    EXPECT_GT(server.ProcessList.Count(), 0);
    EXPECT_TRUE(Owner.Errors.empty());
}

TEST_F(ProcessCommandsTest, ATimerRefreshInsideAStatementIsNotConfusedWithIt) {
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    Sim.setFault(0, "delay", "300");
    // The refresh timer fires while the statement waits for its answer.
    bool fired = false;
    QTimer::singleShot(50, [&] {
        fired = true;
        server.Refresh();
    });
    EXPECT_EQ(server.GetInputBuffer(51), Payroll);
    EXPECT_TRUE(fired);
    ASSERT_TRUE(SpinUntil([&] { return !server.Busy; }));
    EXPECT_TRUE(Owner.Errors.empty());
    EXPECT_GT(server.ProcessList.Count(), 0);
    EXPECT_NE(server.State, 2);
}

TEST_F(ProcessCommandsTest, AHungStatementIsBoundedByTheTimeOut) {
    TServerInfo info = SimServer(Sim);
    info.Timeout = 1;
    TServerData server(Owner, info);
    ASSERT_TRUE(RefreshAndWait(server));
    Sim.setFault(0, "hang");
    EXPECT_THROW(server.GetInputBuffer(51), EOleException);
    EXPECT_THROW(server.KillProcess(51), EOleException);
}

} // namespace

namespace {

TEST_F(ProcessCommandsTest, CatalogReadsNameSessionsDatabasesAndObjects) {
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));

    const std::optional<TSessionIdentity> payroll = server.ReadSessionIdentity(51);
    ASSERT_TRUE(payroll);
    EXPECT_EQ(payroll->Login, "payroll"); // trimmed of the column's padding
    EXPECT_EQ(payroll->Host, "APP-SRV-01");
    EXPECT_EQ(payroll->Program, "Payroll Service");
    EXPECT_EQ(payroll->LoginTime.size(), 23u);
    EXPECT_EQ(server.ReadSessionIdentity(51), payroll); // the same session reads the same
    EXPECT_FALSE(server.ReadSessionIdentity(999));
    Sim.kill(0, 51);
    EXPECT_FALSE(server.ReadSessionIdentity(51));

    const TDatabaseNames names = server.ReadDatabaseNames();
    EXPECT_EQ(names.at(5), "Sales");
    EXPECT_EQ(names.at(7), "HR");

    const TWaitResource key = DecodeWaitResource("KEY: 5:72057594043301888 (8194443284a0)", {});
    const TObjectNames byHobt = server.ReadObjectNames(ObjectNamesQuery(key, "Sales"));
    EXPECT_EQ(byHobt.Schema + "." + byHobt.Object + " " + byHobt.Index, "dbo.Salaries PK_Salaries");
    const TObjectNames byObject =
        server.ReadObjectNames(ObjectNamesQuery(DecodeWaitResource("TAB: 5:245575913:0", {}), ""));
    EXPECT_EQ(byObject.Object, "Orders");
    EXPECT_EQ(byObject.Index, "");
    // Unknown ids: no names, no error.
    EXPECT_EQ(
        server.ReadObjectNames(ObjectNamesQuery(DecodeWaitResource("TAB: 5:1:0", {}), "")).Object,
        "");
    EXPECT_EQ(server.CommandKind, 4);
    EXPECT_TRUE(Owner.Errors.empty());
}

TEST_F(ProcessCommandsTest, DatabaseNamesAreLearnedWithoutWaitingOncePerConnection) {
    TServerData server(Owner, SimServer(Sim));
    EXPECT_FALSE(server.RequestDatabaseNames()); // not connected: nothing is sent
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_TRUE(server.RequestDatabaseNames());
    EXPECT_TRUE(server.DatabaseNames.empty());   // it returns before the answer
    EXPECT_FALSE(server.RequestDatabaseNames()); // asked already
    ASSERT_TRUE(SpinUntil([&] { return !server.DatabaseNames.empty(); }));
    EXPECT_EQ(server.DatabaseNames.at(5), "Sales");
    EXPECT_EQ(server.DatabaseNames.at(7), "HR");

    // The process query goes on as before, and the names are not asked for again.
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_GT(server.ProcessList.Count(), 0);
    EXPECT_FALSE(server.RequestDatabaseNames());
    const std::vector<std::string> batches = Batches(Sim);
    EXPECT_EQ(std::count(batches.begin(), batches.end(), DatabaseNamesQueryText), 1);
    EXPECT_TRUE(Owner.Errors.empty());
}

TEST_F(ProcessCommandsTest, ALoginWithoutCatalogRightsGetsTheServersRefusal) {
    TServerData viewer(Owner, SimServer(Sim, 0, "viewer", "Sim-View-1"));
    ASSERT_TRUE(RefreshAndWait(viewer));
    EXPECT_THROW(
        viewer.ReadObjectNames(ObjectNamesQuery(DecodeWaitResource("TAB: 5:245575913:0", {}), "")),
        EOleException);
    // The monitor carries on: the next refresh works.
    ASSERT_TRUE(RefreshAndWait(viewer));
    EXPECT_NE(viewer.State, 2);
}

TEST_F(ProcessCommandsTest, IdleTimeAndTransactionAgeComeFromTheServersClock) {
    // 51 sent its last batch, which opened its transaction, 14 minutes before the server
    // started; 52 has no transaction. Without VIEW SERVER STATE a login sees only itself.
    const struct {
        const char *User, *Password;
        bool Sees;
    } logins[] = {{"sa", "Sim-Admin-1", true},
                  {"viewer", "Sim-View-1", true},
                  {"blind", "Sim-Blind-1", false}};
    for (const auto& login : logins) {
        SCOPED_TRACE(login.User);
        TServerData server(Owner, SimServer(Sim, 0, login.User, login.Password));
        ASSERT_TRUE(RefreshAndWait(server));
        const TAgeRead idle = server.ReadAge(LastBatchQuery(51));
        const TAgeRead transaction = server.ReadAge(TransactionAgeQuery(51));
        EXPECT_EQ(idle.Found, login.Sees);
        EXPECT_TRUE(transaction.Found) << "an aggregate: always one row";
        EXPECT_EQ(idle.AgeMs.has_value(), login.Sees);
        EXPECT_EQ(transaction.AgeMs.has_value(), login.Sees);
        if (login.Sees) {
            EXPECT_GE(*idle.AgeMs, 840'000);
            EXPECT_LT(*idle.AgeMs, 900'000);
            EXPECT_EQ(idle.Time.size(), 23u);
            EXPECT_GE(*transaction.AgeMs, 840'000);
        }
        EXPECT_FALSE(server.ReadAge(TransactionAgeQuery(52)).AgeMs) << "no transaction";
        EXPECT_FALSE(server.ReadAge(LastBatchQuery(999)).Found);
        EXPECT_EQ(server.CommandKind, 4);
    }
}

} // namespace
