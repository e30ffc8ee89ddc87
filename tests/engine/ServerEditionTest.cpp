// The kinds of server beside a box, against tdssim answering as each: Azure SQL Database
// (one database, the DMV process query, database-level permissions, no system_health),
// Managed Instance and Amazon RDS (the statement from the DMV path), and servers that answer
// what no real one should.
#include "ServerEdition.h"

#include "MonitorTestSupport.h"
#include "OleException.h"

#include <QFile>
#include <QTemporaryDir>

using monitortest::Batches;
using monitortest::MonitorTest;
using monitortest::RefreshAndWait;
using monitortest::SimServer;
using tallyvane::testsupport::TdsSimProcess;

namespace {

const char* const DemoStatement =
    "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7";

TServerInfo InDatabase(const TdsSimProcess& sim, const std::string& database,
                       const std::string& user = "sa",
                       const std::string& password = "Sim-Admin-1") {
    TServerInfo info = SimServer(sim, 0, user, password);
    if (!database.empty())
        info.ConnectionString += ";Initial Catalog=" + database;
    return info;
}

class AzureSqlDatabaseTest : public MonitorTest {
protected:
    TdsSimProcess Sim{"demo", 1, std::chrono::seconds(10), {"--engine-edition", "5"}};
};

TEST_F(AzureSqlDatabaseTest, WatchesTheBlockingOfItsDatabaseWithoutNamingMaster) {
    TServerData server(Owner, InDatabase(Sim, "Sales"));
    server.ReadsDeadlocks = true;
    server.DeadlockReadInterval = std::chrono::milliseconds(0);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.Edition, TServerEdition::AzureSqlDatabase);
    EXPECT_EQ(server.ProductVersion, "15.0.2000.5");
    EXPECT_FALSE(server.IsSysAdmin);
    EXPECT_TRUE(server.CanViewServerState);    // VIEW DATABASE STATE of the server admin
    EXPECT_TRUE(server.CanAlterAnyConnection); // KILL DATABASE CONNECTION
    ASSERT_EQ(server.State, 1);
    // Only the sessions of Sales (and our own); the head blocker 51 sleeps with an open
    // transaction and has no request, yet is a row of its own that blocks 52.
    EXPECT_EQ(server.ProcessList.FindBySpid(1), nullptr); // a session of master
    const TProcessItem* head51 = server.ProcessList.FindBySpid(51);
    const TProcessItem* waiter = server.ProcessList.FindBySpid(52);
    ASSERT_NE(head51, nullptr);
    ASSERT_NE(waiter, nullptr);
    EXPECT_EQ(head51->DBName, "Sales");
    EXPECT_EQ(head51->Status, "sleeping");
    EXPECT_EQ(head51->OpenTran, 1);
    EXPECT_EQ(head51->Blocked, 0);
    EXPECT_EQ(waiter->Blocked, 51);
    const std::int32_t head = server.Analysis().Find(51);
    ASSERT_GE(head, 0);
    EXPECT_GT(server.Analysis().Session(head).Blocks, 0);

    // The card's reads: statement, identity, idle time, database names.
    EXPECT_EQ(server.InputBufferQuery(51),
              "select event_info from sys.dm_exec_input_buffer(51, null)");
    EXPECT_EQ(server.GetInputBuffer(51), DemoStatement);
    const std::optional<TSessionIdentity> who = server.ReadSessionIdentity(51);
    ASSERT_TRUE(who);
    EXPECT_EQ(who->Login, "payroll");
    EXPECT_TRUE(server.ReadAge(server.LastBatchQueryFor(51)).Found);
    EXPECT_EQ(server.ReadDatabaseNames(), (TDatabaseNames{{5, "Sales"}}));

    // No system_health: said once, and the monitoring goes on.
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.State, 1);
    int said = 0;
    for (const auto& e : Owner.Errors)
        said += e.Message.find("Deadlocks are not read") != std::string::npos ? 1 : 0;
    EXPECT_EQ(said, 1);
    EXPECT_EQ(Owner.Errors.size(), 1u);

    for (const std::string& text : Batches(Sim)) {
        std::string lower = text;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(lower.find("master."), std::string::npos) << text;
        EXPECT_EQ(lower.find("dm_xe_sessions"), std::string::npos) << text;
    }
}

TEST_F(AzureSqlDatabaseTest, WithoutADatabaseOrAGrantItSaysWhatIsMissing) {
    {
        TServerData server(Owner, InDatabase(Sim, ""));
        ASSERT_TRUE(RefreshAndWait(server));
        EXPECT_EQ(server.State, 2);
        ASSERT_FALSE(Owner.Errors.empty());
        EXPECT_NE(Owner.Errors.back().Message.find("Initial Catalog="), std::string::npos)
            << Owner.Errors.back().Message;
    }
    Owner.Errors.clear();
    // viewer has no VIEW DATABASE STATE here: never calm, with the grant this edition needs.
    TServerData blind(Owner, InDatabase(Sim, "Sales", "viewer", "Sim-View-1"));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(RefreshAndWait(blind));
    EXPECT_EQ(blind.State, 2);
    EXPECT_TRUE(blind.SeesOnlyOwnSession);
    ASSERT_EQ(Owner.Errors.size(), 1u);
    EXPECT_EQ(Owner.Errors[0].Message,
              "sees only its own session: GRANT VIEW DATABASE STATE TO [viewer]");
}

TEST_F(MonitorTest, ManagedInstanceAndRdsReadTheStatementFromTheDmvPath) {
    struct Case {
        std::vector<std::string> args;
        TServerEdition edition;
        const char* label;
        bool sysadmin;
        const char* statement;
    };
    const Case cases[] = {
        {{}, TServerEdition::SqlServer, "sql_server", true, "DBCC INPUTBUFFER(51)"},
        {{"--engine-edition", "8"},
         TServerEdition::AzureSqlManagedInstance,
         "azure_sql_managed_instance",
         true,
         "select event_info from sys.dm_exec_input_buffer(51, null)"},
        {{"--rds"},
         TServerEdition::Rds,
         "rds",
         false,
         "select event_info from sys.dm_exec_input_buffer(51, null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TdsSimProcess sim("demo", 1, std::chrono::seconds(10), c.args);
        TServerData server(Owner, SimServer(sim));
        ASSERT_TRUE(RefreshAndWait(server));
        ASSERT_TRUE(RefreshAndWait(server));
        EXPECT_EQ(server.Edition, c.edition);
        EXPECT_STREQ(EditionLabel(server.Edition), c.label);
        EXPECT_EQ(server.IsSysAdmin, c.sysadmin);
        EXPECT_TRUE(server.MayKill());
        EXPECT_EQ(server.State, 1);
        EXPECT_EQ(server.InputBufferQuery(51), c.statement);
        EXPECT_EQ(server.GetInputBuffer(51), DemoStatement);
        for (const std::string& text : Batches(sim))
            EXPECT_EQ(text.find("DBCC") != std::string::npos,
                      c.edition == TServerEdition::SqlServer && text.rfind("DBCC", 0) == 0)
                << text;
    }
}

// A server of a kind we cannot watch, or one that answers oddly: a clear message or a safe
// value, and nothing else lost.
TEST_F(MonitorTest, OddEditionAnswersGiveAClearMessageOrASafeValue) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        const char* server;
        const char* expectError; // "" none
        const char* version;
        const char* database;
    };
    const Case cases[] = {
        {"engine_edition = 6\n", "Azure Synapse Analytics", "", "Sales"},
        {"engine_edition = 42\n", "EngineEdition') = 42", "", "Sales"},
        {"engine_edition = 5\nproduct_version = NULL\n", "", "", "Sales"},
        {"engine_edition = 5\nproduct_version = 12.0<script>\xE2\x80\xAE\n", "", "12.0script",
         "<b>Sales</b>\xE2\x80\xAE"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        const QString path = dir.filePath(QString("s%1.ini").arg(n++));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const std::string text =
            std::string("[server]\nname = ODD\n") + c.server +
            "\n[login]\nname = sa\npassword = Sim-Admin-1\nsysadmin = yes\n"
            "\n[database]\nid = 1\nname = master\n[database]\nid = 5\nname = " +
            c.database +
            "\n\n[session]\nspid = 51\nlogin = app\nhost =\nprogram =\n"
            "database = 5\nopen_tran = 1\n"
            "\n[session]\nspid = 52\nlogin = app\nhost = H\nprogram = P\n"
            "database = 5\nblocked = 51\nwaittime = 4000\n";
        f.write(text.data(), static_cast<qint64>(text.size()));
        f.close();
        TdsSimProcess sim(path.toStdString());
        Owner.Errors.clear();
        TServerInfo info = SimServer(sim);
        info.ConnectionString += ";Initial Catalog=" + std::string(c.database);
        TServerData server(Owner, info);
        ASSERT_TRUE(RefreshAndWait(server));
        if (*c.expectError) {
            EXPECT_EQ(server.State, 2);
            ASSERT_FALSE(Owner.Errors.empty());
            EXPECT_NE(Owner.Errors.back().Message.find(c.expectError), std::string::npos)
                << Owner.Errors.back().Message;
            continue;
        }
        EXPECT_TRUE(Owner.Errors.empty()) << Owner.Errors.front().Message;
        EXPECT_EQ(server.ProductVersion, c.version);
        ASSERT_EQ(server.State, 1);
        // NULL host and program names read as empty; the database's name arrives whole, for
        // the views to show safely.
        const TProcessItem* head = server.ProcessList.FindBySpid(51);
        ASSERT_NE(head, nullptr);
        EXPECT_EQ(head->DBName, c.database);
        EXPECT_EQ(head->HostName, "");
        EXPECT_EQ(head->ProgramName, "");
        ASSERT_NE(server.ProcessList.FindBySpid(52), nullptr);
        EXPECT_EQ(server.ProcessList.FindBySpid(52)->Blocked, 51);
    }
}

} // namespace
