#include "BuiltinScenarios.h"

#include "TextUtil.h"

#include <cmath>
#include <random>

namespace tdssim {

namespace {

// Logins and databases that every built-in scenario shares.
constexpr const char* kCommon = R"ini(
[login]
name = sa
password = Sim-Admin-1
sysadmin = yes

[login]
name = viewer
password = Sim-View-1
sysadmin = no

[login]
name = operator
password = Sim-Oper-1
sysadmin = no
alter_any_connection = yes

[login]
name = blind
password = Sim-Blind-1
sysadmin = no
view_server_state = no

[database]
id = 1
name = master
[database]
id = 2
name = tempdb
[database]
id = 3
name = model
[database]
id = 4
name = msdb
[database]
id = 5
name = Sales
[database]
id = 6
name = Inventory
[database]
id = 7
name = HR

; Tables behind the demo's wait resources (a database id, object and index ids).
[object]
database = 5
id = 1977058079
hobt = 72057594043301888
name = Salaries
index = PK_Salaries
[object]
database = 5
id = 245575913
hobt = 72057594038321152
name = Orders
index = IX_Orders_Customer
[object]
database = 6
id = 581577110
hobt = 72057594040614912
name = Stock
index = PK_Stock
[object]
database = 7
id = 1205579333
hobt = 72057594045136896
name = Absences
index = PK_Absences
)ini";

// A lively server. The timeline repeats every 30 s: session 51 has slept with an open
// transaction for 14 minutes when the server starts and holds up 52 (and behind it 53, and
// 54 for a while); shorter chains come and go; some blocking is always on.
constexpr const char* kDemo = R"ini(
[server]
name = SIMSRV
period = 30

[session]
spid = 1
host =
program =
status = background
command = LAZY WRITER
wait_type = LAZYWRITER_SLEEP
database = master
[session]
spid = 2
status = background
command = LOG WRITER
wait_type = LOGMGR_QUEUE
[session]
spid = 3
status = background
command = SIGNAL HANDLER
wait_type = KSOURCE_WAKEUP
[session]
spid = 4
status = sleeping
command = CHECKPOINT
wait_type = CHECKPOINT_QUEUE

[session]
spid = 51
login = payroll
host = APP-SRV-01
program = Payroll Service
database = Sales
status = sleeping
command = AWAITING COMMAND
cpu = 1250
io = 310
memory = 4
open_tran = 1
idle = 840
wait_type = WRITELOG
input = BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7

[session]
spid = 52
login = webuser
host = WEB-02
program = Payroll Web
database = Sales
status = runnable
command = UPDATE
cpu = 16
io = 2
memory = 2
input = UPDATE dbo.Salaries SET Bonus = 500 WHERE EmployeeId = 1017

[session]
spid = 53
login = reports
host = BI-01
program = Report Builder
database = Sales
status = runnable
command = SELECT
cpu = 40
io = 120
memory = 8
input = SELECT DeptId, SUM(Amount) FROM dbo.Salaries GROUP BY DeptId

[session]
spid = 54
login = payroll
host = APP-SRV-02
program = Payroll Service
database = Sales
status = runnable
command = INSERT
cpu = 8
io = 1
memory = 2
input = INSERT INTO dbo.SalaryAudit (DeptId, ChangedAt) VALUES (7, GETDATE())

[session]
spid = 55
login = stock
host = WH-SCAN-01
program = Inventory Sync
database = Inventory
status = runnable
command = UPDATE
cpu = 300
io = 90
memory = 3
input = UPDATE dbo.Stock SET Qty = Qty - 1 WHERE Sku = 'A-1001'

[session]
spid = 56
login = stock
host = WH-SCAN-07
program = Warehouse Scanner
database = Inventory
status = runnable
command = UPDATE
cpu = 12
io = 4
memory = 2
input = UPDATE dbo.Stock SET Qty = Qty + 5 WHERE Sku = 'A-1001'

[session]
spid = 57
login = hr_app
host = HR-APP-01
program = HR Portal
database = HR
status = runnable
command = DELETE
cpu = 75
io = 30
memory = 2
input = DELETE FROM dbo.Absences WHERE Until < '2020-01-01'

[session]
spid = 58
login = hr_app
host = HR-APP-02
program = HR Portal
database = HR
status = runnable
command = SELECT
cpu = 5
io = 2
memory = 2
input = SELECT * FROM dbo.Absences WHERE EmployeeId = 88

[session]
spid = 59
login = reports
host = BI-01
program = Report Builder
database = HR
status = runnable
command = SELECT
cpu = 9
io = 11
memory = 2
input = SELECT COUNT(*) FROM dbo.Absences

[session]
spid = 60
login = sa
host = DBA-LAPTOP
program = Microsoft SQL Server Management Studio - Query
database = master
status = sleeping
command = AWAITING COMMAND
cpu = 31
io = 0
memory = 2
input = SELECT name FROM sys.databases

[session]
spid = 61
login = NT SERVICE\SQLSERVERAGENT
host = DB-01
program = SQLAgent - Generic Refresher
database = msdb
status = sleeping
command = AWAITING COMMAND
cpu = 2
io = 0
memory = 2
input = EXECUTE msdb.dbo.sp_sqlagent_refresh_job

[session]
spid = 62
login = stock
host = WH-SCAN-02
program = Inventory Sync
database = Inventory
status = runnable
command = SELECT
cpu = 4100
io = 8800
memory = 16
input = SELECT Sku, SUM(Qty) FROM dbo.Stock GROUP BY Sku

[session]
spid = 63
login = stock
host = WH-SCAN-03
program = Warehouse Scanner
database = Inventory
status = runnable
command = UPDATE
cpu = 3
io = 1
memory = 2
input = UPDATE dbo.Stock SET Location = 'B7' WHERE Sku = 'C-2200'

; 51 (asleep, transaction open) holds up 52 for 26 s; 53 queues behind 52; 54 waits on 51 too.
[block]
waiter = 52
blocker = 51
from = 0
to = 26
wait_type = LCK_M_U
wait_resource = KEY: 5:72057594043301888 (8194443284a0)
[block]
waiter = 53
blocker = 52
from = 6
to = 20
wait_type = LCK_M_S
wait_resource = KEY: 5:72057594043301888 (8194443284a0)
[block]
waiter = 54
blocker = 51
from = 10
to = 14
wait_type = LCK_M_IX
wait_resource = TAB: 5:1977058079:0

; A short one that never reaches 3 s.
[block]
waiter = 56
blocker = 55
from = 3
to = 5
wait_type = LCK_M_U
wait_resource = RID: 6:1:3120:4

; A chain of three that crosses the 3-second mark.
[block]
waiter = 58
blocker = 57
from = 15
to = 21
wait_type = LCK_M_S
wait_resource = PAGE: 7:1:4410
[block]
waiter = 59
blocker = 58
from = 16
to = 21
wait_type = LCK_M_S
wait_resource = PAGE: 7:1:4410

; Keeps some blocking on while the long chain is gone.
[block]
waiter = 63
blocker = 62
from = 24
to = 30
wait_type = LCK_M_X
wait_resource = KEY: 6:72057594040614912 (a1b2c3d4e5f6)

; Once a period the server ends a deadlock of 57 and 59 over two keys of HR's Absences:
; 57 is the victim, 59 goes on. It is over before a snapshot could show it.
[deadlock]
at = 27
sessions = 57, 59
victim = 57
resources = keylock
object = 1205579333
)ini";

double param(const std::map<std::string, std::string>& p, const std::string& key, double def) {
    auto it = p.find(key);
    if (it == p.end()) {
        return def;
    }
    double d = 0;
    if (!parseNumber(it->second, d)) {
        throw ScenarioError("gen: " + key + " is not a number: " + it->second);
    }
    return d;
}

} // namespace

std::optional<std::string> builtinScenarioText(const std::string& name) {
    if (name == "demo") {
        return std::string(kCommon) + kDemo;
    }
    if (name == "edge") {
        return std::string(kCommon) + edgeScenarioText();
    }
    return std::nullopt;
}

Scenario generateScenario(const std::string& params) {
    std::map<std::string, std::string> p;
    std::string item;
    for (std::size_t i = 0; i <= params.size(); ++i) {
        if (i == params.size() || params[i] == ',') {
            std::string t = trim(item);
            item.clear();
            if (t.empty()) {
                continue;
            }
            std::size_t eq = t.find('=');
            if (eq == std::string::npos) {
                throw ScenarioError("gen: expected key=value, got " + t);
            }
            std::string key = lowerAscii(trim(t.substr(0, eq)));
            if (key != "sessions" && key != "blocked" && key != "depth" && key != "seed") {
                throw ScenarioError("gen: unknown parameter " + key +
                                    " (sessions, blocked, depth, seed)");
            }
            p[key] = trim(t.substr(eq + 1));
        } else {
            item.push_back(params[i]);
        }
    }
    const double rowsD = param(p, "sessions", 10000);
    const double share = param(p, "blocked", 0.2);
    const double depthD = param(p, "depth", 5);
    if (rowsD < 1 || rowsD > 1000000 || share < 0 || share > 0.95 || depthD < 1) {
        throw ScenarioError("gen: need 1 <= sessions <= 1000000, 0 <= blocked <= 0.95, depth >= 1");
    }
    const auto rows = static_cast<std::size_t>(rowsD);
    const auto depth = static_cast<std::size_t>(depthD);
    std::mt19937 rng(static_cast<std::uint32_t>(param(p, "seed", 1)));

    Scenario sc = parseScenario(std::string(kCommon), "gen");
    sc.name = "gen:" + params;
    sc.serverName = "SIMGEN";

    // SPIDs are smallints: past 30,000 sessions, further rows are worker rows of existing
    // SPIDs (as a parallel query shows them) and share their blocking. The SPIDs above stay
    // free for client connections.
    constexpr std::size_t kSpids = 30000;
    const std::size_t sessions = std::min(rows, kSpids);
    static const char* programs[] = {"Order Entry", "Billing",        "Report Builder",
                                     "Web Shop",    "Inventory Sync", "ETL Loader"};
    static const char* logins[] = {"app", "web", "reports", "etl"};
    static const char* commands[] = {"SELECT", "UPDATE", "INSERT", "DELETE"};
    static const char* waits[] = {"LCK_M_S", "LCK_M_U", "LCK_M_X", "LCK_M_IX"};
    for (std::size_t i = 0; i < rows; ++i) {
        SessionDef s;
        s.spid = static_cast<int>(51 + i % kSpids);
        s.login = logins[i % 4];
        s.host = "HOST-" + std::to_string(i % 500);
        s.program = programs[i % 6];
        s.dbid = 5 + static_cast<int>(i % 3);
        s.status = i % 3 == 0 ? "runnable" : "sleeping";
        s.command = i % 3 == 0 ? commands[i % 4] : "AWAITING COMMAND";
        s.cpu = static_cast<long long>(rng() % 100000);
        s.io = static_cast<long long>(rng() % 1000000);
        s.memory = static_cast<long long>(rng() % 64);
        s.inputBuffer = "SELECT * FROM dbo.Orders WHERE CustomerId = " + std::to_string(i);
        sc.sessions.push_back(std::move(s));
    }
    // Chains: head <- w1 <- w2 ... <- w_depth. Blocked sessions are the highest SPIDs.
    const auto blocked =
        static_cast<std::size_t>(std::llround(share * static_cast<double>(sessions)));
    const std::size_t heads = sessions - blocked;
    const std::size_t firstWaiter = heads;
    for (std::size_t k = 0; k < blocked; ++k) {
        std::size_t chain = k / depth;
        std::size_t pos = k % depth;
        Episode e;
        e.waiter = static_cast<int>(51 + firstWaiter + k);
        e.blocker = pos == 0 ? static_cast<int>(51 + (heads ? chain % heads : 0))
                             : static_cast<int>(51 + firstWaiter + k - 1);
        e.from = -static_cast<double>(rng() % 120000) / 1000.0;
        e.waitType = waits[k % 4];
        e.waitResource = "KEY: 5:72057594043301888 (" + std::to_string(100000 + chain) + ")";
        sc.episodes.push_back(std::move(e));
    }
    return sc;
}

} // namespace tdssim
