// Deadlock reports made to measure for the history and view tests: the parsed report together
// with the XML a server would have written for it.
#pragma once

#include "DeadlockReport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace deadlocks {

inline TDeadlockProcess Process(std::string id, std::int32_t spid, bool victim, std::string login,
                                std::string host, std::string program, std::string mode,
                                std::string object, std::string index, std::string statement) {
    TDeadlockProcess p;
    p.Id = std::move(id);
    p.Spid = spid;
    p.Victim = victim;
    p.LoginName = std::move(login);
    p.HostName = std::move(host);
    p.ProgramName = std::move(program);
    p.DBName = "HR";
    p.LockMode = std::move(mode);
    p.WaitResource = "KEY: 5:72057594045136896 (8194443284a0)";
    p.ObjectName = std::move(object);
    p.IndexName = std::move(index);
    p.Statement = std::move(statement);
    return p;
}

inline TDeadlockResource Resource(std::string kind, std::string object, std::string index,
                                  std::vector<TDeadlockLock> owners,
                                  std::vector<TDeadlockLock> waiters, std::string waitType = "") {
    TDeadlockResource r;
    r.Kind = std::move(kind);
    r.ObjectName = std::move(object);
    r.IndexName = std::move(index);
    r.WaitType = std::move(waitType);
    r.Owners = std::move(owners);
    r.Waiters = std::move(waiters);
    return r;
}

// The XML of a report: its victims, its processes and its resources with owners and waiters.
inline std::string XmlOf(const TDeadlockReport& r) {
    std::string xml = "<deadlock>\n <victim-list>\n";
    for (const TDeadlockProcess& p : r.Processes)
        if (p.Victim)
            xml += "  <victimProcess id=\"" + p.Id + "\" />\n";
    xml += " </victim-list>\n <process-list>\n";
    for (const TDeadlockProcess& p : r.Processes)
        xml += "  <process id=\"" + p.Id + "\" waitresource=\"" + p.WaitResource +
               "\" lockMode=\"" + p.LockMode + "\" spid=\"" + std::to_string(p.Spid) +
               "\" clientapp=\"" + p.ProgramName + "\" hostname=\"" + p.HostName +
               "\" loginname=\"" + p.LoginName + "\" currentdbname=\"" + p.DBName +
               "\">\n   <executionStack />\n   <inputbuf>\n" + p.Statement +
               "   </inputbuf>\n  </process>\n";
    xml += " </process-list>\n <resource-list>\n";
    for (const TDeadlockResource& res : r.Resources) {
        xml += "  <" + res.Kind + " objectname=\"" + res.ObjectName + "\" indexname=\"" +
               res.IndexName + "\"" +
               (res.WaitType.empty() ? "" : " WaitType=\"" + res.WaitType + "\"") +
               ">\n   <owner-list>\n";
        for (const TDeadlockLock& l : res.Owners)
            xml += "    <owner id=\"" + l.ProcessId + "\" mode=\"" + l.Mode + "\" />\n";
        xml += "   </owner-list>\n   <waiter-list>\n";
        for (const TDeadlockLock& l : res.Waiters)
            xml += "    <waiter id=\"" + l.ProcessId + "\" mode=\"" + l.Mode +
                   "\" requestType=\"wait\" />\n";
        xml += "   </waiter-list>\n  </" + res.Kind + ">\n";
    }
    return xml + " </resource-list>\n</deadlock>";
}

// 57 (HR Portal) and 59 (Report Builder) each hold a key the other wants; 57 is the victim.
inline TDeadlockReport TwoWay(std::int64_t time, std::int32_t victimSpid = 57) {
    TDeadlockReport r;
    r.Time = time;
    r.Processes = {
        Process("process1a", victimSpid, true, "hr_app", "WEB-01", "HR Portal", "U",
                "HR.dbo.Employees", "PK_Employees",
                "UPDATE dbo.Employees SET Salary = Salary * 1.1 WHERE Id = 7"),
        Process("process2b", 59, false, "reports", "BI-02", "Report Builder", "S", "HR.dbo.Payroll",
                "IX_Payroll_Employee",
                "SELECT * FROM dbo.Payroll p JOIN dbo.Employees e ON e.Id = p.EmployeeId"),
    };
    r.Resources = {
        Resource("keylock", "HR.dbo.Employees", "PK_Employees", {{"process2b", "X"}},
                 {{"process1a", "U"}}),
        Resource("keylock", "HR.dbo.Payroll", "IX_Payroll_Employee", {{"process1a", "X"}},
                 {{"process2b", "S"}}),
    };
    r.Xml = XmlOf(r);
    return r;
}

// Three sessions in a ring over a key, a page and an object lock; 71 is the victim.
inline TDeadlockReport ThreeWay(std::int64_t time) {
    TDeadlockReport r;
    r.Time = time;
    r.Processes = {
        Process("p70", 70, false, "batch", "ETL-01", "Nightly Load", "X", "Sales.dbo.Orders",
                "PK_Orders", "UPDATE dbo.Orders SET Status = 2"),
        Process("p71", 71, true, "web", "WEB-02", "Shop", "IX", "Sales.dbo.Stock", "",
                "UPDATE dbo.Stock SET Qty = Qty - 1"),
        Process("p72", 72, false, "crm", "CRM-01", "", "S", "Sales.dbo.Customers", "PK_Customers",
                "SELECT * FROM dbo.Customers"),
    };
    r.Resources = {
        Resource("keylock", "Sales.dbo.Orders", "PK_Orders", {{"p72", "X"}}, {{"p70", "X"}}),
        Resource("objectlock", "Sales.dbo.Stock", "", {{"p70", "S"}}, {{"p71", "IX"}}),
        Resource("pagelock", "Sales.dbo.Customers", "PK_Customers", {{"p71", "IX"}},
                 {{"p72", "S"}}),
    };
    r.Xml = XmlOf(r);
    return r;
}

// A parallel query against itself: two threads of 80 wait on an exchange and a key; the
// exchange's owner names no mode.
inline TDeadlockReport Parallel(std::int64_t time) {
    TDeadlockReport r;
    r.Time = time;
    r.Processes = {
        Process("pA", 80, true, "bi", "BI-01", "Ledger Report", "X", "Fin.dbo.Ledger", "PK_Ledger",
                "SELECT SUM(Amount) FROM dbo.Ledger"),
        Process("pB", 80, false, "bi", "BI-01", "Ledger Report", "S", "Fin.dbo.Ledger", "PK_Ledger",
                "SELECT SUM(Amount) FROM dbo.Ledger"),
    };
    r.Resources = {
        Resource("exchangeEvent", "", "", {{"pB", ""}}, {{"pA", ""}}, "e_waitPipeGetRow"),
        Resource("keylock", "Fin.dbo.Ledger", "PK_Ledger", {{"pA", "X"}}, {{"pB", "S"}}),
    };
    r.Xml = XmlOf(r);
    return r;
}

// A scenario's databases, table and two sessions that deadlock over it (57 from the HR
// Portal, 59 from the Report Builder): what the reader and window tests put after their own
// server and logins.
inline constexpr const char* kTwoSessionsToDeadlock = R"ini(
[database]
id = 1
name = master
[database]
id = 7
name = HR
[object]
database = 7
id = 1205579333
hobt = 72057594045136896
name = Absences
index = PK_Absences

[session]
spid = 57
login = hr_app
host = HR-APP-01
program = HR Portal
database = HR
input = DELETE FROM dbo.Absences WHERE Until < '2020-01-01'
[session]
spid = 59
login = reports
host = BI-01
program = Report Builder
database = HR
input = SELECT COUNT(*) FROM dbo.Absences
)ini";

} // namespace deadlocks
