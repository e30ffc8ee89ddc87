// What each kind of monitoring login sees and may do, against a real tdssim: the permissions
// learned at connect, the blind server that must never look calm, the last command read
// without sysadmin, and KILL refused by the server for a login without ALTER ANY CONNECTION.
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

class LoginPermissionsTest : public MonitorTest {
protected:
    TdsSimProcess Sim{"demo"};
};

TEST_F(LoginPermissionsTest, EachLoginSeesAndMayDoWhatItsGrantsAllow) {
    struct Case {
        const char* user;
        const char* password;
        bool sysadmin, view, alter;
        const char* inputBufferStatement; // how SPID 51's last command is read ("" none)
    };
    const Case cases[] = {
        {"sa", "Sim-Admin-1", true, true, true, "DBCC INPUTBUFFER(51)"},
        {"viewer", "Sim-View-1", false, true, false,
         "select event_info from sys.dm_exec_input_buffer(51, null)"},
        {"operator", "Sim-Oper-1", false, true, true,
         "select event_info from sys.dm_exec_input_buffer(51, null)"},
        {"blind", "Sim-Blind-1", false, false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        Owner.Errors.clear();
        TServerData server(Owner, SimServer(Sim, 0, c.user, c.password));
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(RefreshAndWait(server));
        EXPECT_EQ(server.IsSysAdmin, c.sysadmin);
        EXPECT_EQ(server.CanViewServerState, c.view);
        EXPECT_EQ(server.CanAlterAnyConnection, c.alter);
        EXPECT_EQ(server.MayKill(), c.alter);
        EXPECT_EQ(server.LoginName, c.user);
        EXPECT_EQ(server.SeesOnlyOwnSession, !c.view);
        if (!c.view) {
            // Never an all-clear: an error with its own text, logged once over three refreshes.
            EXPECT_EQ(server.State, 2);
            EXPECT_EQ(server.ProcessList.Count(), 0);
            ASSERT_EQ(Owner.Errors.size(), 1u);
            EXPECT_EQ(Owner.Errors[0].Message,
                      std::string("sees only its own session: GRANT VIEW SERVER STATE TO [") +
                          c.user + "]");
            continue;
        }
        EXPECT_TRUE(Owner.Errors.empty());
        EXPECT_EQ(server.State, 1); // the demo always has blocking
        EXPECT_GT(server.ProcessList.Count(), 5);
        EXPECT_EQ(server.InputBufferQuery(51), c.inputBufferStatement);
        EXPECT_EQ(server.GetInputBuffer(51),
                  "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7");
        // KILL of an unknown SPID: the permission check comes first on the server.
        try {
            server.KillProcess(999);
            ADD_FAILURE() << "KILL 999 succeeded";
        } catch (const EOleException& e) {
            EXPECT_EQ(e.ErrorCode, c.alter ? 6106 : 6102) << e.what();
        }
    }
}

TEST_F(LoginPermissionsTest, ACalmRefreshSendsOnlyTheProcessQueryAndABlindOneOnlyThePermissions) {
    for (const auto& [user, password, repeated] :
         {std::tuple{"viewer", "Sim-View-1", TServerData::ProcessQueryText},
          std::tuple{"blind", "Sim-Blind-1", TServerData::SysAdminQueryText}}) {
        SCOPED_TRACE(user);
        TdsSimProcess sim("demo"); // a log of this login's statements alone
        TServerData server(Owner, SimServer(sim, 0, user, password));
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(RefreshAndWait(server));
        // The connect asks the permissions once; each refresh then sends one statement.
        std::vector<std::string> expected{TServerData::SysAdminQueryText};
        if (repeated == TServerData::ProcessQueryText)
            expected.push_back(repeated);
        for (int i = 0; i < 3; ++i)
            expected.push_back(repeated);
        EXPECT_EQ(Batches(sim), expected);
    }
}

// SQL Server 2022 lets VIEW SERVER PERFORMANCE STATE show every session; older servers do not
// know the permission, and a login holding only that stays blind there.
TEST_F(LoginPermissionsTest, OnSqlServer2022ViewServerPerformanceStateShowsEverySession) {
    QTemporaryDir dir;
    for (const auto& [version, sees] : {std::pair{16, true}, std::pair{15, false}}) {
        SCOPED_TRACE(version);
        const QString path = dir.filePath(QString("perf%1.ini").arg(version));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QString("[server]\nversion = %1\n"
                        "[login]\nname = perf\npassword = Sim-Perf-1\nview_server_state = no\n"
                        "view_server_performance_state = yes\n"
                        "[session]\nspid = 51\nlogin = app\n"
                        "[session]\nspid = 52\nlogin = app\nblocked = 51\nwaittime = 5000\n")
                    .arg(version)
                    .toUtf8());
        f.close();
        TdsSimProcess sim(path.toStdString());
        Owner.Errors.clear();
        TServerData server(Owner, SimServer(sim, 0, "perf", "Sim-Perf-1"));
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(RefreshAndWait(server));
        EXPECT_FALSE(server.CanViewServerState);
        EXPECT_EQ(server.CanViewPerformanceState, sees);
        EXPECT_EQ(server.SeesOnlyOwnSession, !sees);
        EXPECT_EQ(server.State, sees ? 1 : 2);
        EXPECT_EQ(server.ProcessList.RowCount(), sees ? 3 : 0); // 51, 52 and our own session
        // The input buffer still needs VIEW SERVER STATE: the process info stays closed.
        EXPECT_FALSE(server.UsesDmInputBuffer());
    }
}

TEST_F(LoginPermissionsTest, ALoginNameIsBracketQuotedInTheSuggestedGrant) {
    TServerData server(Owner, SimServer(Sim, 0, "blind", "Sim-Blind-1"));
    server.LoginName = "DOM\\ops]team";
    EXPECT_EQ(server.OwnSessionOnlyText(),
              "sees only its own session: GRANT VIEW SERVER STATE TO [DOM\\ops]]team]");
    server.LoginName = "a\nb";
    EXPECT_EQ(server.OwnSessionOnlyText(),
              "sees only its own session: GRANT VIEW SERVER STATE TO [ab]");
}

} // namespace
