// The text of nchar and nvarchar columns, which the connection converts itself, against the
// FreeTDS driver's own conversion of the same rows (SQLGetData as text): byte for byte, for
// blanks, padding, non-ASCII letters, characters outside the 16-bit range, combining marks and
// values that fill their column, over more rows than one fetch block holds.
#include "DbConnection.h"
#include "TdsSimProcess.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sql.h>
#include <sqlext.h>
#include <string>
#include <vector>

using tallyvane::testsupport::TdsSimProcess;

namespace {

const char* const ProcessQuery =
    "select spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, p.status, "
    "hostname, program_name, cmd, loginame, cpu, physical_io, memusage\r\n"
    "from master.dbo.sysprocesses p left outer join master..sysdatabases d on d.dbid = p.dbid\r\n"
    "order by blocked, waittime";

constexpr int ProgramColumn = 9;

std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i)
        r += s;
    return r;
}

// Rows of the process query as the driver converts them: spid -> the 15 cells as text.
std::map<std::string, std::vector<std::string>> DriverRows(const std::string& connection) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::map<std::string, std::vector<std::string>> rows;
    std::string text = connection;
    if (SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                       SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
        std::string query = ProcessQuery;
        SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(query.data()), SQL_NTS);
        while (SQL_SUCCEEDED(SQLFetch(stmt))) {
            std::vector<std::string> row;
            for (SQLUSMALLINT c = 1; c <= 15; ++c) {
                char buffer[4096];
                SQLLEN indicator = 0;
                SQLGetData(stmt, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
                if (indicator == SQL_NULL_DATA)
                    row.push_back("<NULL>");
                else if (indicator < 0 || indicator >= static_cast<SQLLEN>(sizeof buffer))
                    row.push_back(std::string(buffer)); // an integer read as text
                else
                    row.push_back(std::string(buffer, static_cast<std::size_t>(indicator)));
            }
            rows[row[0]] = row;
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rows;
}

TEST(TextFetch, WideColumnsMatchTheDriversOwnConversionByteForByte) {
    const std::vector<std::string> names = {
        "Ürün-Sunucu",
        "Приложение",
        "漢字テスト",
        "😀 emoji 𝄞 and more",
        "e\xCC\x81 combining",
        "ÅÄÖ åäö ß",
        "   leading blanks",
        "trailing blanks   ",
        "",
        "\\ttab inside\\t",
        Repeat("é", 128), // fills nchar(128)
        Repeat("😀", 64),  // fills it with surrogate pairs
        Repeat("x", 127) + "ü",
        "mixed ASCII, 中文 and 😀 at the end",
    };
    QTemporaryDir dir;
    const std::string path = dir.filePath("texts.ini").toStdString();
    {
        std::ofstream out(path);
        out << "[server]\nname = TEXTS\n";
        // More rows than the first fetch block, so that the blocks grow on the way.
        for (int i = 0; i < 150; ++i) {
            const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
            const std::string& other = names[static_cast<std::size_t>(i * 7 + 3) % names.size()];
            out << "[session]\nspid = " << 100 + i << "\n";
            out << "host = \"" << name << "\"\n";
            out << "program = \"" << other << "\"\n";
            out << "login = \"" << name << "\"\n";
            out << "command = \"" << name.substr(0, 12) << "\"\n";
            out << "wait_resource = \"" << other << " / " << name << "\"\n";
            out << "database = " << (i % 5 == 0 ? "77" : "master") << "\n";
        }
    }
    TdsSimProcess sim(path);

    const auto reference =
        DriverRows(sim.odbcConnectionString() + ";ClientCharset=UTF-8;APP=reference");
    ASSERT_GE(reference.size(), 150u);

    TDbConnection c;
    c.ConnectionString = sim.oledbConnectionString() + ";Application Name=Tallyvane";
    const TDbRecordsetPtr records = c.Execute(ProcessQuery);
    ASSERT_TRUE(records && records->IsOpen());
    int compared = 0;
    for (std::size_t r = 0; r < records->RowCount(); ++r) {
        const std::string spid = std::to_string(records->Int(r, 0));
        const std::string program(records->Text(r, ProgramColumn));
        if (program.rfind("Tallyvane", 0) == 0 || program.rfind("reference", 0) == 0)
            continue; // the two clients themselves: their status differs between the fetches
        const auto it = reference.find(spid);
        ASSERT_NE(it, reference.end()) << "spid " << spid;
        for (std::size_t col = 0; col < 15; ++col) {
            std::string ours;
            switch (records->Type(r, col)) {
            case TDbValue::Null:
                ours = "<NULL>";
                break;
            case TDbValue::Int:
                ours = std::to_string(records->Int(r, col));
                break;
            case TDbValue::Text:
                ours = std::string(records->Text(r, col));
                break;
            }
            EXPECT_EQ(ours, it->second[col]) << "spid " << spid << ", column " << col;
        }
        ++compared;
    }
    EXPECT_GE(compared, 150);
}

} // namespace
