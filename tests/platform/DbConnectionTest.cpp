// The ODBC connection against a real tdssim: events, synchronous and asynchronous forms,
// errors, cancel, time-outs, and connections that do not hold each other up.
#include "DbConnection.h"

#include "DbDataSet.h"
#include "EventWait.h"
#include "TdsSimProcess.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

namespace {

const char* const ProcessQuery =
    "select spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, p.status, "
    "hostname, program_name, cmd, loginame, cpu, physical_io, memusage\r\n"
    "from master.dbo.sysprocesses p left outer join master..sysdatabases d on d.dbid = p.dbid\r\n"
    "order by blocked, waittime";

// Records every event of a connection, in order, with the thread it came on.
struct EventLog {
    std::vector<std::string> Events;
    std::vector<TDbError> ConnectErrors;
    std::vector<TDbCommand> Executes;
    std::vector<TEventStatus> ExecuteStatus;
    std::vector<TDbRecordsetPtr> ExecuteRecords;
    std::vector<TDbError> ExecuteErrors;
    std::vector<TDbError> Messages;
    bool WrongThread = false;

    void Attach(TDbConnection& c) {
        c.OnWillConnect = [this](TDbConnection&, std::string&, std::string&, std::string&,
                                 TConnectOption&, TEventStatus&) { Note("will-connect"); };
        c.OnConnectComplete = [this](TDbConnection&, const TDbError* e, TEventStatus& s) {
            Note(s == esOK ? "connect-ok" : "connect-failed");
            if (e != nullptr) {
                ConnectErrors.push_back(*e);
            }
        };
        c.OnExecuteComplete = [this](TDbConnection&, int, const TDbError* e, TEventStatus& s,
                                     const TDbCommand& cmd, const TDbRecordsetPtr& rs) {
            Note(s == esOK ? "execute-ok" : "execute-failed");
            Executes.push_back(cmd);
            ExecuteStatus.push_back(s);
            ExecuteRecords.push_back(rs);
            if (e != nullptr) {
                ExecuteErrors.push_back(*e);
            }
        };
        c.OnInfoMessage = [this](TDbConnection&, const TDbError* e, TEventStatus&) {
            if (e != nullptr) {
                Messages.push_back(*e);
            }
        };
    }
    void Note(const std::string& event) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
            WrongThread = true;
        }
        Events.push_back(event);
    }
    int Count(const std::string& event) const {
        return static_cast<int>(std::count(Events.begin(), Events.end(), event));
    }
};

class DbConnectionTest : public ::testing::Test {
protected:
    void Setup(TDbConnection& c, int instance = 0, const std::string& user = "sa",
               const std::string& password = "Sim-Admin-1") {
        c.ConnectionString =
            Sim.oledbConnectionString(instance, user, password) + ";Application Name=Tallyvane";
        c.ConnectionTimeout = 5;
        c.CommandTimeout = 5;
    }
    TdsSimProcess Sim{"demo", 2};
};

TEST_F(DbConnectionTest, SynchronousFormsDeliverTheirOwnEventsBeforeReturning) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c);
    c.Open();
    EXPECT_TRUE(c.Connected());
    EXPECT_EQ(log.Events, (std::vector<std::string>{"will-connect", "connect-ok"}));

    TDbRecordsetPtr rs = c.Execute("select IS_SRVROLEMEMBER('sysadmin')");
    ASSERT_EQ(log.Events.back(), "execute-ok");
    ASSERT_TRUE(rs && rs->IsOpen());
    TDbDataSet ds;
    ds.SetRecordset(rs);
    EXPECT_EQ(ds.Fields(0).AsInteger(), 1);
    EXPECT_EQ(log.Executes.back().Id, c.LastCommandId());
    EXPECT_FALSE(log.WrongThread);
}

TEST_F(DbConnectionTest, AsynchronousFormsReturnAtOnceAndReportOnTheGuiThread) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c);
    c.ConnectOptions = coAsyncConnect;
    c.Open();
    EXPECT_EQ(log.Events, (std::vector<std::string>{"will-connect"}));
    ASSERT_TRUE(SpinUntil([&] { return log.Count("connect-ok") == 1; }));

    EXPECT_EQ(c.Execute(ProcessQuery, eoAsyncExecute), nullptr);
    const std::uint64_t id = c.LastCommandId();
    EXPECT_EQ(log.Count("execute-ok"), 0);
    ASSERT_TRUE(SpinUntil([&] { return log.Count("execute-ok") == 1; }));
    EXPECT_EQ(log.Executes[0].Id, id);
    EXPECT_EQ(log.Executes[0].CommandText, ProcessQuery);
    const TDbRecordsetPtr& rs = log.ExecuteRecords[0];
    ASSERT_TRUE(rs && rs->IsOpen());
    EXPECT_EQ(rs->ColumnCount(), 15u);
    EXPECT_GT(rs->RowCount(), 10u);
    EXPECT_FALSE(log.WrongThread);

    const auto login =
        Sim.waitForLog([](const SimLogEntry& e) { return e.at("event") == "login"; });
    EXPECT_EQ(login.at("app"), "Tallyvane");
    EXPECT_EQ(login.at("packet_size"), "32767");
}

TEST_F(DbConnectionTest, TheServerSeesTallyvaneWhateverTheStringSays) {
    TDbConnection c;
    Setup(c);
    c.ConnectionString = "Application Name=Other;" + c.ConnectionString + ";Application Name=X";
    c.Open();
    const auto login =
        Sim.waitForLog([](const SimLogEntry& e) { return e.at("event") == "login"; });
    EXPECT_EQ(login.at("app"), "Tallyvane");
}

TEST_F(DbConnectionTest, LoginFailureCarriesTheServersOwnText) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c, 0, "sa", "wrong");
    try {
        c.Open();
        FAIL() << "the login should fail";
    } catch (const EDbError& e) {
        EXPECT_STREQ(e.what(), "Login failed for user 'sa'.");
        EXPECT_EQ(e.Error.NativeError, 18456);
    }
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(log.Events.back(), "connect-failed");
    ASSERT_EQ(log.ConnectErrors.size(), 1u);
    EXPECT_EQ(log.ConnectErrors[0].Description, "Login failed for user 'sa'.");

    // The asynchronous form reports the same through the event only.
    c.ConnectOptions = coAsyncConnect;
    c.Open();
    ASSERT_TRUE(SpinUntil([&] { return log.Count("connect-failed") == 2; }));
    EXPECT_EQ(log.ConnectErrors[1].NativeError, 18456);
}

// A loopback port that is bound but does not listen: connecting to it is refused.
struct RefusingPort {
    RefusingPort() {
        Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&address), &length);
        Port = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(Fd); }
    int Fd = -1;
    int Port = 0;
};

TEST_F(DbConnectionTest, UnreachableServersSayWhereAndWhy) {
    RefusingPort refusing;
    const struct {
        std::string DataSource;
        std::string Message;
    } cases[] = {
        {"127.0.0.1," + std::to_string(refusing.Port),
         "Unable to connect: Adaptive Server is unavailable or does not exist (127.0.0.1, port " +
             std::to_string(refusing.Port) + ": connection refused)"},
        {"no-such-host.invalid,1433", "Unknown host machine name. (no-such-host.invalid, port "
                                      "1433: the name was not found ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.DataSource);
        TDbConnection connection;
        connection.ConnectionString = "Data Source=" + c.DataSource + ";User ID=sa;Password=x";
        connection.ConnectionTimeout = 5;
        try {
            connection.Open();
            ADD_FAILURE() << "connected";
        } catch (const EDbError& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, c.Message.size()), c.Message);
        }
    }
}

TEST_F(DbConnectionTest, StatementErrorsAndInfoMessagesComeFromTheServer) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c);
    c.Execute("use master");
    ASSERT_EQ(log.Messages.size(), 1u);
    EXPECT_EQ(log.Messages[0].NativeError, 5701);
    EXPECT_EQ(log.Messages[0].Description, "Changed database context to 'master'.");
    EXPECT_EQ(c.Errors.size(), 1u);

    TDbRecordsetPtr rs = c.Execute("DBCC INPUTBUFFER(51)");
    ASSERT_TRUE(rs && rs->IsOpen());
    EXPECT_EQ(rs->ColumnCount(), 3u);

    try {
        c.Execute("DBCC INPUTBUFFER(4242)");
        FAIL() << "an unknown SPID is an error";
    } catch (const EDbError& e) {
        EXPECT_EQ(e.Error.NativeError, 7955);
        EXPECT_STREQ(e.what(), "Invalid SPID 4242 specified.");
    }
    EXPECT_EQ(log.Events.back(), "execute-failed");
    // A statement without a result set gives a closed recordset, none without records.
    EXPECT_FALSE(c.Execute("set nocount on")->IsOpen());
    EXPECT_EQ(c.Execute("set nocount on", eoExecuteNoRecords), nullptr);
}

TEST_F(DbConnectionTest, ExecuteOnAClosedConnectionConnectsFirst) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c);
    c.ConnectOptions = coAsyncConnect; // an implicit connect still waits
    TDbRecordsetPtr rs = c.Execute("select 1");
    EXPECT_TRUE(rs && rs->IsOpen());
    EXPECT_EQ(log.Events, (std::vector<std::string>{"will-connect", "connect-ok", "execute-ok"}));
}

TEST_F(DbConnectionTest, ASynchronousStatementBesideAnOutstandingQueryGetsItsOwnResult) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c);
    c.Open();
    Sim.setFault(0, "delay", "300");
    c.Execute(ProcessQuery, eoAsyncExecute);
    const std::uint64_t queryId = c.LastCommandId();
    TDbRecordsetPtr rs = c.Execute("select IS_SRVROLEMEMBER('sysadmin')");
    TDbDataSet ds;
    ds.SetRecordset(rs);
    EXPECT_EQ(ds.Fields(0).AsInteger(), 1);
    ASSERT_TRUE(SpinUntil([&] { return log.Count("execute-ok") == 2; }));
    // The query's completion came first and carries its own number.
    EXPECT_EQ(log.Executes[0].Id, queryId);
    EXPECT_EQ(log.ExecuteRecords[0]->ColumnCount(), 15u);
    EXPECT_EQ(log.Executes[1].CommandText, "select IS_SRVROLEMEMBER('sysadmin')");
}

TEST_F(DbConnectionTest, CancelledWorkNeverReachesTheHandlers) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c);
    c.Open();
    Sim.setFault(0, "hang");
    c.Execute(ProcessQuery, eoAsyncExecute);
    EXPECT_TRUE(c.HasPendingWork());
    EXPECT_TRUE(c.Cancel());
    EXPECT_FALSE(c.HasPendingWork());
    EXPECT_FALSE(c.Cancel()); // nothing pending: still fine
    Sim.clearFaults(0);
    // The connection stays usable, and the abandoned query's result is dropped.
    TDbRecordsetPtr rs = c.Execute("select 1");
    EXPECT_TRUE(rs && rs->IsOpen());
    EXPECT_EQ(log.Count("execute-ok"), 1);
    EXPECT_EQ(log.Count("execute-failed"), 0);

    // A connect that hangs in the login: cancelled, it leaves the connection closed.
    TDbConnection d;
    EventLog dlog;
    dlog.Attach(d);
    Setup(d, 1);
    Sim.setFault(1, "hang-login");
    d.ConnectOptions = coAsyncConnect;
    d.Open();
    EXPECT_TRUE(d.Connecting());
    EXPECT_TRUE(d.Cancel());
    EXPECT_FALSE(d.Connected());
    Sim.clearFaults(1);
    d.ConnectOptions = coConnectUnspecified;
    d.Open();
    EXPECT_TRUE(d.Connected());
    EXPECT_EQ(dlog.Count("connect-ok"), 1);
    EXPECT_EQ(dlog.Count("connect-failed"), 0);
}

TEST_F(DbConnectionTest, HungServerIsBoundedByTheTimeOuts) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c);
    c.CommandTimeout = 1;
    c.Open();
    Sim.setFault(0, "hang");
    c.Execute(ProcessQuery, eoAsyncExecute);
    ASSERT_TRUE(SpinUntil([&] { return log.Count("execute-failed") == 1; }));
    EXPECT_FALSE(log.ExecuteErrors[0].Description.empty());

    TDbConnection d;
    EventLog dlog;
    dlog.Attach(d);
    Setup(d, 1);
    d.ConnectionTimeout = 1;
    Sim.setFault(1, "hang-login");
    d.ConnectOptions = coAsyncConnect;
    d.Open();
    ASSERT_TRUE(SpinUntil([&] { return dlog.Count("connect-failed") == 1; }));
    EXPECT_FALSE(d.Connected());
}

TEST_F(DbConnectionTest, AServerThatStopsMidResultFailsTheStatement) {
    TDbConnection c;
    EventLog log;
    log.Attach(c);
    Setup(c);
    c.Open();
    Sim.setFault(0, "drop");
    c.Execute(ProcessQuery, eoAsyncExecute);
    ASSERT_TRUE(SpinUntil([&] { return log.Count("execute-failed") == 1; }));
    EXPECT_FALSE(log.ExecuteErrors[0].Description.empty());
}

TEST_F(DbConnectionTest, ADeadServerDoesNotHoldUpAnother) {
    TDbConnection hung;
    EventLog hungLog;
    hungLog.Attach(hung);
    Setup(hung, 1);
    hung.Open();
    Sim.setFault(1, "hang");
    hung.Execute(ProcessQuery, eoAsyncExecute);

    TDbConnection healthy;
    EventLog log;
    log.Attach(healthy);
    Setup(healthy, 0);
    healthy.ConnectOptions = coAsyncConnect;
    healthy.Open();
    ASSERT_TRUE(SpinUntil([&] { return log.Count("connect-ok") == 1; }));
    for (int i = 0; i < 3; ++i) {
        healthy.Execute(ProcessQuery, eoAsyncExecute);
        ASSERT_TRUE(SpinUntil([&] { return log.Count("execute-ok") == i + 1; }));
    }
    // All of that happened while the other connection's query was still outstanding.
    EXPECT_TRUE(hung.HasPendingWork());
    EXPECT_EQ(hungLog.Count("execute-ok") + hungLog.Count("execute-failed"), 0);
}

TEST_F(DbConnectionTest, ManyHungServersHoldUpOnlyThemselves) {
    // More silent logins than the threads the pool keeps: each holds a thread for its own
    // time-out, and the pool finds another for the healthy server.
    Sim.setFault(1, "hang-login");
    std::vector<std::unique_ptr<TDbConnection>> hung;
    int hungEvents = 0;
    for (int i = 0; i < 12; ++i) {
        hung.push_back(std::make_unique<TDbConnection>());
        Setup(*hung.back(), 1);
        hung.back()->OnConnectComplete = [&](TDbConnection&, const TDbError*, TEventStatus&) {
            ++hungEvents;
        };
        hung.back()->ConnectOptions = coAsyncConnect;
        hung.back()->Open();
    }
    TDbConnection healthy;
    EventLog log;
    log.Attach(healthy);
    Setup(healthy, 0);
    healthy.ConnectOptions = coAsyncConnect;
    healthy.Open();
    ASSERT_TRUE(SpinUntil([&] { return log.Count("connect-ok") == 1; }));
    for (int i = 0; i < 3; ++i) {
        healthy.Execute(ProcessQuery, eoAsyncExecute);
        ASSERT_TRUE(SpinUntil([&] { return log.Count("execute-ok") == i + 1; }));
    }
    EXPECT_EQ(hungEvents, 0) << "the healthy server had to wait for a silent one's time-out";
    for (const auto& c : hung)
        EXPECT_TRUE(c->HasPendingWork());
    hung.clear(); // abandoned: their logins run out on their own
}

TEST_F(DbConnectionTest, FailedConnectsDoNotStartAThreadEach) {
    auto threads = [] {
        return static_cast<int>(
            std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                          std::filesystem::directory_iterator()));
    };
    Sim.setFault(1, "refuse");
    const int before = threads();
    int most = before;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<TDbConnection>> refused;
        int failed = 0;
        for (int i = 0; i < 40; ++i) {
            refused.push_back(std::make_unique<TDbConnection>());
            Setup(*refused.back(), 1);
            refused.back()->OnConnectComplete = [&](TDbConnection&, const TDbError* error,
                                                    TEventStatus&) { failed += error != nullptr; };
            refused.back()->ConnectOptions = coAsyncConnect;
            refused.back()->Open();
            most = std::max(most, threads());
        }
        ASSERT_TRUE(SpinUntil([&] {
            most = std::max(most, threads());
            return failed == 40;
        }));
    }
    // A thread per connection would have meant dozens at once. On a loaded machine a slow
    // refusal counts as held up and the pool may add a few threads by design, hence the margin.
    EXPECT_LT(most - before, 20) << "threads before: " << before << ", at most: " << most;
}

TEST_F(DbConnectionTest, DestroyingAConnectionWithPendingWorkIsQuiet) {
    int events = 0;
    {
        TDbConnection c;
        Setup(c);
        c.OnExecuteComplete = [&](TDbConnection&, int, const TDbError*, TEventStatus&,
                                  const TDbCommand&, const TDbRecordsetPtr&) { ++events; };
        c.Open();
        Sim.setFault(0, "delay", "200");
        c.Execute(ProcessQuery, eoAsyncExecute);
    }
    // The abandoned worker closes its connection after its last result, so once the server
    // saw the disconnect, anything it might have posted is in the event queue.
    Sim.waitForLog([](const SimLogEntry& e) { return e.at("event") == "disconnect"; });
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(events, 0);
}

} // namespace

namespace {

TEST_F(DbConnectionTest, ASynchronousWaitOutlivesTheApplicationQuitting) {
    // Quit while a statement waits (the user closes the program behind a dialog): the
    // statement still gets its own answer instead of waiting forever.
    TDbConnection c;
    Setup(c);
    c.Open();
    Sim.setFault(0, "delay", "300");
    QTimer::singleShot(50, [] { QCoreApplication::exit(0); });
    TDbRecordsetPtr rs = c.Execute("select 1");
    EXPECT_TRUE(rs && rs->IsOpen());
}

} // namespace

namespace {

TEST_F(DbConnectionTest, IntegratedSecurityWithoutKerberosFailsClearly) {
    TDbConnection c;
    c.ConnectionString = "Provider=SQLOLEDB.1;Integrated Security=SSPI;Data Source=127.0.0.1," +
                         std::to_string(Sim.port());
    c.ConnectionTimeout = 5;
    try {
        c.Open();
        FAIL() << "no Kerberos ticket here: the connect must fail";
    } catch (const EDbError& e) {
        EXPECT_NE(std::string(e.what()).find("Kerberos"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(c.Connected());
}

} // namespace
