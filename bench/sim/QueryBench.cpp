// How long a client waits for the whole process query from one tdssim instance:
// a bare socket client (server + transfer only) and FreeTDS ODBC reading every column.
#include "RawTdsClient.h"
#include "TdsSimProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sql.h>
#include <sqlext.h>
#include <string>
#include <vector>

using namespace tallyvane::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kProcessQuery =
    "select spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, p.status, "
    "hostname, program_name, cmd, loginame, cpu, physical_io, memusage\r\n"
    "from master.dbo.sysprocesses p left outer join master..sysdatabases d on d.dbid = p.dbid\r\n"
    "order by blocked, waittime";

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
    double min, median, max;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

void rawClient(TdsSimProcess& sim, std::uint32_t packetSize, int runs) {
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1", "bench", packetSize);
    std::vector<double> times;
    std::size_t bytes = 0;
    std::uint64_t rows = 0;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        client.sendBatch(kProcessQuery);
        RawMessage m = client.readMessage(std::chrono::seconds(60));
        times.push_back(ms(Clock::now() - t0));
        bytes = m.payload.size();
        rows = RawTdsClient::finalDoneRows(m);
    }
    Stats s = stats(times);
    std::printf("  raw socket, packet %5u: %7llu rows, %6.1f MB  min %7.1f  median %7.1f  max "
                "%7.1f ms\n",
                packetSize, static_cast<unsigned long long>(rows), static_cast<double>(bytes) / 1e6,
                s.min, s.median, s.max);
}

void odbcClient(TdsSimProcess& sim, int runs) {
    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT stmt;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::string cs = sim.odbcConnectionString() + ";APP=bench";
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0,
                                        nullptr, SQL_DRIVER_NOPROMPT))) {
        std::printf("  ODBC: cannot connect\n");
        return;
    }
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    std::vector<double> times;
    long rows = 0;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        SQLExecDirect(stmt, (SQLCHAR*)kProcessQuery, SQL_NTS);
        rows = 0;
        char buf[1024];
        SQLLEN ind;
        while (SQL_SUCCEEDED(SQLFetch(stmt))) {
            for (SQLUSMALLINT c = 1; c <= 15; ++c) {
                SQLGetData(stmt, c, SQL_C_CHAR, buf, sizeof buf, &ind);
            }
            ++rows;
        }
        SQLFreeStmt(stmt, SQL_CLOSE);
        times.push_back(ms(Clock::now() - t0));
    }
    Stats s = stats(times);
    std::printf("  FreeTDS ODBC, all columns: %7ld rows            min %7.1f  median %7.1f  max "
                "%7.1f ms\n",
                rows, s.min, s.median, s.max);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("tdssim: the process query, one instance, loopback (times per query)\n");
    for (int sessions : {10000, 100000}) {
        TdsSimProcess sim("gen:sessions=" + std::to_string(sessions) + ",blocked=0.2,depth=50", 1,
                          std::chrono::seconds(60));
        std::printf("gen:sessions=%d,blocked=0.2,depth=50\n", sessions);
        int runs = sessions > 20000 ? 5 : 21;
        rawClient(sim, 4096, runs);
        rawClient(sim, 32767, runs);
        odbcClient(sim, sessions > 20000 ? 3 : 11);
    }
    return 0;
}
