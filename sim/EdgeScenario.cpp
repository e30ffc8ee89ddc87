#include "BuiltinScenarios.h"

#include <string>

namespace tdssim {

namespace {

// Everything a monitor must survive. Nothing here changes over time except wait times.
constexpr const char* kEdge = R"ini(
[server]
name = SIMEDGE

; Blocks itself.
[session]
spid = 70
login = sa
host = EDGE-01
program = Self Blocker
database = Sales
status = suspended
command = UPDATE
input = UPDATE dbo.T SET a = a + 1
[block]
waiter = 70
blocker = 70
wait_type = LCK_M_X
wait_resource = KEY: 5:72057594038321152 (00000000aaaa)

; Blocked by a session that the view does not list.
[session]
spid = 71
login = sa
host = EDGE-01
program = Orphan Waiter
database = Sales
status = suspended
command = SELECT
input = SELECT * FROM dbo.T
[block]
waiter = 71
blocker = 999
wait_type = LCK_M_S
wait_resource = TAB: 5:245575913:0

; blocked = -2: an orphaned distributed transaction holds the lock.
[session]
spid = 72
login = sa
host = EDGE-02
program = DTC Client
database = Sales
status = suspended
command = UPDATE
blocked = -2
waittime = 4200
wait_type = LCK_M_U
wait_resource = KEY: 5:72057594038321152 (bbbbbbbbbbbb)
input = UPDATE dbo.T SET b = 2

; A parallel query: four rows share SPID 73; one worker waits on 75.
[session]
spid = 73
login = reports
host = EDGE-03
program = Parallel Report
database = Sales
status = runnable
command = SELECT
cpu = 900
io = 4000
memory = 64
input = SELECT * FROM dbo.Big b JOIN dbo.Bigger g ON g.id = b.id
[session]
spid = 73
login = reports
host = EDGE-03
program = Parallel Report
database = Sales
status = suspended
command = SELECT
blocked = 73
waittime = 1500
wait_type = CXPACKET
[session]
spid = 73
login = reports
host = EDGE-03
program = Parallel Report
database = Sales
status = suspended
command = SELECT
blocked = 73
waittime = 1600
wait_type = CXPACKET
[session]
spid = 73
login = reports
host = EDGE-03
program = Parallel Report
database = Sales
status = suspended
command = SELECT
blocked = 75
waittime = 5200
wait_type = LCK_M_S
wait_resource = PAGE: 5:1:9001
[session]
spid = 75
login = sa
host = EDGE-03
program = Holder
database = Sales
status = sleeping
command = AWAITING COMMAND
open_tran = 2
input = BEGIN TRAN; UPDATE dbo.Big SET x = 1 WHERE id < 100

; A cycle of two.
[session]
spid = 80
login = sa
host = EDGE-04
program = Cycle Two A
database = Inventory
status = suspended
command = UPDATE
open_tran = 1
input = UPDATE dbo.A SET v = 1; UPDATE dbo.B SET v = 1
[session]
spid = 81
login = sa
host = EDGE-04
program = Cycle Two B
database = Inventory
status = suspended
command = UPDATE
open_tran = 1
input = UPDATE dbo.B SET v = 2; UPDATE dbo.A SET v = 2
[block]
waiter = 80
blocker = 81
wait_type = LCK_M_X
wait_resource = KEY: 6:72057594040614912 (111111111111)
[block]
waiter = 81
blocker = 80
wait_type = LCK_M_X
wait_resource = KEY: 6:72057594040680448 (222222222222)

; A cycle of three.
[session]
spid = 82
login = sa
host = EDGE-05
program = Cycle Three
database = Inventory
status = suspended
command = UPDATE
[session]
spid = 83
login = sa
host = EDGE-05
program = Cycle Three
database = Inventory
status = suspended
command = UPDATE
[session]
spid = 84
login = sa
host = EDGE-05
program = Cycle Three
database = Inventory
status = suspended
command = UPDATE
[block]
waiter = 82
blocker = 83
wait_type = LCK_M_U
wait_resource = RID: 6:1:100:1
[block]
waiter = 83
blocker = 84
wait_type = LCK_M_U
wait_resource = RID: 6:1:100:2
[block]
waiter = 84
blocker = 82
wait_type = LCK_M_U
wait_resource = RID: 6:1:100:3

; What the ring buffer holds from the start: the cycle of three as a deadlock (a page, a table
; and a row), and the parallel query's threads deadlocked on an exchange.
[deadlock]
at = 0
sessions = 82, 83, 84
victim = 83
resources = pagelock, objectlock, ridlock
[deadlock]
at = 0
sessions = 73, 73
resources = exchangeEvent, keylock
object = 245575913

; No database matches: d.name is NULL.
[session]
spid = 90
login = sa
host = EDGE-06
program = No Database
database = 0
[session]
spid = 91
login = sa
host = EDGE-06
program = Dropped Database
database = 99
status = runnable
command = SELECT

; Trailing blanks and characters outside ASCII.
[session]
spid = 92
login = viewer
host = "EDGE-07   "
program = "Trailing Blanks   "
database = HR
input = "SELECT 1   "
[session]
spid = 93
login = viewer
host = Ürün-Sunucu
program = Приложение
database = HR
input = SELECT N'Grüße'

; An input buffer longer than DBCC INPUTBUFFER shows (4000 characters) over several lines.
[session]
spid = 94
login = sa
host = EDGE-08
program = Long Batch
database = Sales
status = sleeping
input = @LONG_INPUT@
)ini";

// A batch of several lines, longer than DBCC INPUTBUFFER shows.
std::string longInput() {
    std::string text = "-- generated batch\\r\\n";
    for (int i = 0; text.size() < 6000; ++i) {
        text += "UPDATE dbo.Orders SET Status = 3 WHERE OrderId = " + std::to_string(10000 + i) +
                "\\r\\n";
    }
    return text;
}

} // namespace

std::string edgeScenarioText() {
    std::string text = kEdge;
    const std::string marker = "@LONG_INPUT@";
    text.replace(text.find(marker), marker.size(), longInput());
    return text;
}

} // namespace tdssim
