// tdssim through unixODBC and the FreeTDS ODBC driver, the way the program talks to servers.
#include "TdsSimProcess.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <string>
#include <thread>
#include <vector>

using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::TdsSimProcess;

namespace {

const char* const kProcessQuery =
    "select spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, p.status, "
    "hostname, program_name, cmd, loginame, cpu, physical_io, memusage\r\n"
    "from master.dbo.sysprocesses p left outer join master..sysdatabases d on d.dbid = p.dbid\r\n"
    "order by blocked, waittime";

struct Diag {
    std::string state;
    SQLINTEGER native = 0;
    std::string text;
};

Diag diag(SQLSMALLINT type, SQLHANDLE h) {
    Diag d;
    SQLCHAR state[6] = {};
    SQLCHAR text[1024] = {};
    SQLSMALLINT len = 0;
    if (SQL_SUCCEEDED(SQLGetDiagRec(type, h, 1, state, &d.native, text, sizeof text, &len))) {
        d.state = reinterpret_cast<char*>(state);
        d.text = reinterpret_cast<char*>(text);
    }
    return d;
}

// One ODBC connection; connect() returns the driver's diagnostic on failure.
class Odbc {
public:
    Odbc() {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    }
    ~Odbc() {
        if (stmt_) {
            SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
        }
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }

    bool connect(const std::string& connStr, Diag* error = nullptr) {
        SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
        SQLRETURN r = SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)connStr.c_str(), SQL_NTS, nullptr,
                                       0, nullptr, SQL_DRIVER_NOPROMPT);
        if (!SQL_SUCCEEDED(r)) {
            if (error) {
                *error = diag(SQL_HANDLE_DBC, dbc_);
            }
            return false;
        }
        SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_);
        return true;
    }

    // Runs a statement; on failure returns false and fills error.
    bool exec(const std::string& sql, Diag* error = nullptr) {
        SQLFreeStmt(stmt_, SQL_CLOSE);
        SQLRETURN r = SQLExecDirect(stmt_, (SQLCHAR*)sql.c_str(), SQL_NTS);
        if (!SQL_SUCCEEDED(r) && r != SQL_NO_DATA) {
            if (error) {
                *error = diag(SQL_HANDLE_STMT, stmt_);
            }
            return false;
        }
        return true;
    }

    std::vector<std::vector<std::string>> rows() {
        SQLSMALLINT cols = 0;
        SQLNumResultCols(stmt_, &cols);
        std::vector<std::vector<std::string>> out;
        while (SQL_SUCCEEDED(SQLFetch(stmt_))) {
            std::vector<std::string> row;
            for (SQLUSMALLINT c = 1; c <= cols; ++c) {
                char buf[8192];
                SQLLEN ind = 0;
                SQLGetData(stmt_, c, SQL_C_CHAR, buf, sizeof buf, &ind);
                row.push_back(ind == SQL_NULL_DATA ? "<NULL>" : std::string(buf));
            }
            out.push_back(std::move(row));
        }
        return out;
    }

    SQLHSTMT stmt() const { return stmt_; }

private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
};

std::string withApp(const std::string& connStr, const std::string& app) {
    return connStr + ";APP=" + app;
}

std::string field(const std::string& json, const std::string& key) {
    std::string k = "\"" + key + "\":";
    auto p = json.find(k);
    if (p == std::string::npos) {
        return "";
    }
    p += k.size();
    if (json[p] == '"') {
        return json.substr(p + 1, json.find('"', p + 1) - p - 1);
    }
    return json.substr(p, json.find_first_of(",}", p) - p);
}

} // namespace

TEST(TdsSimOdbc, ProcessQueryHasTheRealColumnTypesAndPaddedValues) {
    TdsSimProcess sim("edge");
    Odbc db;
    ASSERT_TRUE(db.connect(withApp(sim.odbcConnectionString(), "OdbcProbe")));
    ASSERT_TRUE(db.exec(kProcessQuery));

    struct Expect {
        const char* name;
        SQLSMALLINT type;
        SQLULEN size;
    };
    const Expect expected[] = {
        {"spid", SQL_SMALLINT, 5},       {"blocked", SQL_SMALLINT, 5},
        {"name", SQL_WVARCHAR, 128},     {"waittime", SQL_BIGINT, 19},
        {"lastwaittype", SQL_WCHAR, 32}, {"waitresource", SQL_WCHAR, 256},
        {"open_tran", SQL_SMALLINT, 5},  {"status", SQL_WCHAR, 30},
        {"hostname", SQL_WCHAR, 128},    {"program_name", SQL_WCHAR, 128},
        {"cmd", SQL_WCHAR, 16},          {"loginame", SQL_WCHAR, 128},
        {"cpu", SQL_INTEGER, 10},        {"physical_io", SQL_BIGINT, 19},
        {"memusage", SQL_INTEGER, 10},
    };
    SQLSMALLINT cols = 0;
    SQLNumResultCols(db.stmt(), &cols);
    ASSERT_EQ(cols, 15);
    for (SQLUSMALLINT i = 0; i < 15; ++i) {
        SQLCHAR name[64] = {};
        SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLDescribeCol(db.stmt(), i + 1, name, sizeof name, &nameLen, &type, &size, &digits,
                       &nullable);
        EXPECT_STREQ(reinterpret_cast<char*>(name), expected[i].name) << "column " << i;
        EXPECT_EQ(type, expected[i].type) << expected[i].name;
        EXPECT_EQ(size, expected[i].size) << expected[i].name;
    }

    auto rows = db.rows();
    bool sawSelfBlock = false, sawNegative = false, sawNullDb = false, sawSelf = false;
    int rowsOf73 = 0;
    for (const auto& r : rows) {
        EXPECT_EQ(r[4].size(), 32u) << "lastwaittype is nchar(32), padded";
        EXPECT_EQ(r[8].size(), 128u) << "hostname is nchar(128), padded";
        sawSelfBlock |= r[0] == "70" && r[1] == "70";
        sawNegative |= r[1] == "-2";
        sawNullDb |= r[0] == "90" && r[2] == "<NULL>";
        sawSelf |= r[9].rfind("OdbcProbe ", 0) == 0 && r[7].rfind("runnable", 0) == 0;
        rowsOf73 += r[0] == "73";
    }
    EXPECT_TRUE(sawSelfBlock);
    EXPECT_TRUE(sawNegative);
    EXPECT_TRUE(sawNullDb);
    EXPECT_TRUE(sawSelf) << "the client's own session, with its application name";
    EXPECT_EQ(rowsOf73, 4) << "a parallel query shows one row per worker";
    for (std::size_t i = 1; i < rows.size(); ++i) {
        long long b0 = std::stoll(rows[i - 1][1]), b1 = std::stoll(rows[i][1]);
        ASSERT_TRUE(b0 < b1 || (b0 == b1 && std::stoll(rows[i - 1][3]) <= std::stoll(rows[i][3])))
            << "ordered by blocked, waittime at row " << i;
    }

    // SQLExecDirect reaches the server as a plain batch, text unchanged.
    SimLogEntry batch = sim.waitForLog([](const SimLogEntry& e) {
        return e.at("event") == "batch" && e.at("text").find("sysprocesses") != std::string::npos;
    });
    EXPECT_EQ(batch.at("text"), kProcessQuery);
    SimLogEntry login =
        sim.waitForLog([](const SimLogEntry& e) { return e.at("event") == "login"; });
    EXPECT_EQ(login.at("app"), "OdbcProbe");
    EXPECT_EQ(login.at("user"), "sa");
}

TEST(TdsSimOdbc, LoginFailuresCarry18456) {
    TdsSimProcess sim("demo");
    struct Case {
        std::string user, password;
        bool reject;
    };
    const Case cases[] = {
        {"sa", "wrong", false}, {"nobody", "x", false}, {"sa", "Sim-Admin-1", true}};
    for (const Case& c : cases) {
        if (c.reject) {
            sim.setFault(0, "reject-login");
        }
        Odbc db;
        Diag d;
        EXPECT_FALSE(db.connect(sim.odbcConnectionString(0, c.user, c.password), &d));
        EXPECT_EQ(d.native, 18456) << c.user << ": " << d.text;
        EXPECT_NE(d.text.find("Login failed for user '" + c.user + "'"), std::string::npos)
            << d.text;
    }
}

TEST(TdsSimOdbc, ProcessCommandsAndTheirErrors) {
    TdsSimProcess sim("demo");
    Odbc admin;
    ASSERT_TRUE(admin.connect(sim.odbcConnectionString()));
    ASSERT_TRUE(admin.exec("select IS_SRVROLEMEMBER('sysadmin')"));
    EXPECT_EQ(admin.rows(), (std::vector<std::vector<std::string>>{{"1"}}));
    ASSERT_TRUE(admin.exec("DBCC INPUTBUFFER(51)"));
    auto ib = admin.rows();
    ASSERT_EQ(ib.size(), 1u);
    EXPECT_EQ(ib[0][0], "Language Event");
    EXPECT_EQ(ib[0][2],
              "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7");

    Odbc viewer;
    ASSERT_TRUE(viewer.connect(sim.odbcConnectionString(0, "viewer", "Sim-View-1")));
    ASSERT_TRUE(viewer.exec("select IS_SRVROLEMEMBER('sysadmin')"));
    EXPECT_EQ(viewer.rows(), (std::vector<std::vector<std::string>>{{"0"}}));

    struct Case {
        Odbc* who;
        std::string sql;
        SQLINTEGER native;
    };
    const Case cases[] = {
        {&admin, "KILL 999", 6106},       {&admin, "DBCC INPUTBUFFER(999)", 7955},
        {&viewer, "KILL 51", 6102},       {&viewer, "DBCC INPUTBUFFER(51)", 2571},
        {&admin, "select nonsense", 102}, {&admin, "use NoSuchDb", 911},
    };
    for (const Case& c : cases) {
        Diag d;
        EXPECT_FALSE(c.who->exec(c.sql, &d)) << c.sql;
        EXPECT_EQ(d.native, c.native) << c.sql << ": " << d.text;
    }
    ASSERT_TRUE(admin.exec("select @@spid"));
    std::string own = admin.rows().at(0).at(0);
    Diag d;
    EXPECT_FALSE(admin.exec("KILL " + own, &d));
    EXPECT_EQ(d.native, 6104);
}

TEST(TdsSimOdbc, KillClosesTheVictimsConnectionAndEndsItsBlocking) {
    TdsSimProcess sim("demo");
    Odbc admin, victim;
    ASSERT_TRUE(admin.connect(sim.odbcConnectionString()));
    ASSERT_TRUE(victim.connect(withApp(sim.odbcConnectionString(), "Victim")));
    ASSERT_TRUE(victim.exec("select @@spid"));
    std::string spid = victim.rows().at(0).at(0);
    EXPECT_EQ(std::to_string(sim.waitForSession(0, "Victim")), spid);
    sim.block(0, 52, std::stoi(spid)); // scenario session 52 now waits for the victim

    ASSERT_TRUE(admin.exec("KILL " + spid));
    Diag d;
    EXPECT_FALSE(victim.exec("select 1", &d)) << "the killed session's connection is closed";
    for (const std::string& s : sim.controlList("processes 0")) {
        EXPECT_NE(field(s, "spid"), spid);
        EXPECT_NE(field(s, "blocked"), spid) << s;
    }
    sim.waitForLog([](const SimLogEntry& e) {
        return e.at("event") == "disconnect" && e.at("reason") == "killed";
    });
}

TEST(TdsSimOdbc, QueryTimeoutCancelsASlowStatementAndTheConnectionGoesOn) {
    TdsSimProcess sim("demo");
    for (const char* fault : {"hang", "delay"}) {
        Odbc db;
        ASSERT_TRUE(db.connect(sim.odbcConnectionString()));
        sim.setFault(0, fault, std::string(fault) == "delay" ? "60000" : "");
        SQLSetStmtAttr(db.stmt(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(1), 0);
        Diag d;
        EXPECT_FALSE(db.exec(kProcessQuery, &d));
        EXPECT_EQ(d.state, "HYT00") << d.text;
        sim.waitForLog([](const SimLogEntry& e) {
            return e.at("event") == "attention" && e.at("pending") == "yes";
        });
        sim.clearFaults();
        ASSERT_TRUE(db.exec("select 5")) << fault;
        EXPECT_EQ(db.rows(), (std::vector<std::vector<std::string>>{{"5"}}));
        sim.control("log-clear 0");
    }
}

TEST(TdsSimOdbc, SqlCancelFromAnotherThreadStopsAHungStatement) {
    TdsSimProcess sim("demo");
    Odbc db;
    ASSERT_TRUE(db.connect(sim.odbcConnectionString()));
    sim.setFault(0, "hang");
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        // Cancel once the server holds the statement; bounded so a failure cannot hang the test.
        sim.waitForLog([](const SimLogEntry& e) { return e.at("event") == "batch"; });
        for (int i = 0; i < 500 && !done; ++i) {
            SQLCancel(db.stmt());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Diag d;
    EXPECT_FALSE(db.exec("select 1", &d));
    done = true;
    canceller.join();
    sim.waitForLog([](const SimLogEntry& e) { return e.at("event") == "attention"; });
}

TEST(TdsSimOdbc, PreparedStatementsWithParametersRunAsTheirBatches) {
    TdsSimProcess sim("demo");
    Odbc db;
    ASSERT_TRUE(db.connect(sim.odbcConnectionString()));
    SQLHSTMT st = db.stmt();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepare(st, (SQLCHAR*)"DBCC INPUTBUFFER(?)", SQL_NTS)));
    SQLINTEGER spid = 0;
    SQLLEN ind = 0;
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 0, 0, &spid, 0, &ind);
    struct Case {
        SQLINTEGER spid;
        const char* textStart; // nullptr: the server's error 7955
    };
    const Case cases[] = {
        {51, "BEGIN TRAN"}, {52, "UPDATE dbo.Salaries SET Bonus"}, {999, nullptr}};
    for (const Case& c : cases) {
        spid = c.spid;
        SQLRETURN r = SQLExecute(st);
        if (!c.textStart) {
            EXPECT_FALSE(SQL_SUCCEEDED(r));
            EXPECT_EQ(diag(SQL_HANDLE_STMT, st).native, 7955);
            continue;
        }
        ASSERT_TRUE(SQL_SUCCEEDED(r)) << diag(SQL_HANDLE_STMT, st).text;
        auto rows = db.rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][2].rfind(c.textStart, 0), 0u) << rows[0][2];
        SQLFreeStmt(st, SQL_CLOSE);
    }
    // The first execution prepares, the later ones reuse the handle.
    auto entries = sim.logEntries();
    int prepexec = 0, execute = 0;
    for (const SimLogEntry& e : entries) {
        if (e.at("event") == "rpc") {
            prepexec += e.at("proc") == "sp_prepexec";
            execute += e.at("proc") == "sp_execute";
        }
    }
    EXPECT_EQ(prepexec, 1);
    EXPECT_EQ(execute, 2);
}
