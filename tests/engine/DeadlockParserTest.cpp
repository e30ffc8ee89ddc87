// Deadlock reports from their XML: the shapes servers write (two-way, three-way, every lock
// kind, a parallel query's exchange, several victims, the older victim attribute), the ring
// buffer around them, reports cut off, and hostile documents.
#include "DeadlockParser.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const char* const kTwoWay =
    R"(<deadlock><victim-list><victimProcess id="process27b9b0b9848"/></victim-list>)"
    R"(<process-list>)"
    R"(<process id="process27b9b0b9848" taskpriority="0" logused="144" )"
    R"~(waitresource="KEY: 5:72057594045136896 (8194443284a0)" waittime="3916" ownerId="12345" )~"
    R"(transactionname="user_transaction" lockMode="U" schedulerid="1" kpid="4242" )"
    R"(status="suspended" spid="57" sbid="0" ecid="0" priority="0" trancount="2" )"
    R"(clientapp="HR Portal" hostname="APP01" hostpid="5120" loginname="CORP\hr_app" )"
    R"~(isolationlevel="read committed (2)" xactid="12345" currentdb="5" currentdbname="HR">)~"
    R"(<executionStack><frame procname="adhoc" line="1" sqlhandle="0x0200">)"
    R"(UPDATE dbo.Employee SET Salary = @1 WHERE EmployeeId = @2</frame></executionStack>)"
    R"(<inputbuf>
UPDATE dbo.Employee SET Salary = Salary * 1.1 WHERE EmployeeId = 7 AND Note &lt;&gt; 'é'   </inputbuf>)"
    R"(</process>)"
    R"~(<process id="process27b9b0b8ca8" waitresource="KEY: 5:72057594045202432 (61a06abd401c)" )~"
    R"(lockMode="S" spid="59" ecid="0" clientapp="Report Builder" hostname="BI02" )"
    R"(loginname="reports" currentdbname="HR">)"
    R"(<executionStack><frame procname="HR.dbo.PayrollReport" line="12">)"
    R"(SELECT * FROM dbo.Payroll</frame></executionStack>)"
    R"(<inputbuf>Proc [Database Id = 5 Object Id = 1977058079]</inputbuf></process>)"
    R"(</process-list><resource-list>)"
    R"(<keylock hobtid="72057594045136896" dbid="5" objectname="HR.dbo.Employee" )"
    R"(indexname="PK_Employee" id="lock27b9d4e5c80" mode="X" associatedObjectId="72057594045136896">)"
    R"(<owner-list><owner id="process27b9b0b8ca8" mode="X"/></owner-list>)"
    R"(<waiter-list><waiter id="process27b9b0b9848" mode="U" requestType="wait"/></waiter-list>)"
    R"(</keylock>)"
    R"(<keylock hobtid="72057594045202432" dbid="5" objectname="HR.dbo.Payroll" )"
    R"(indexname="IX_Payroll_Employee" id="lock27b9d4e6100" mode="X">)"
    R"(<owner-list><owner id="process27b9b0b9848" mode="X"/></owner-list>)"
    R"(<waiter-list><waiter id="process27b9b0b8ca8" mode="S" requestType="wait"/></waiter-list>)"
    R"(</keylock></resource-list></deadlock>)";

// Three sessions in a circle over a page, a table and a heap row.
const char* const kThreeWay =
    R"(<deadlock><victim-list><victimProcess id="p2"/></victim-list><process-list>)"
    R"(<process id="p1" spid="61" lockMode="IX" waitresource="OBJECT: 6:901578250:0" )"
    R"(loginname="etl" hostname="ETL1" clientapp="Loader" currentdbname="Sales">)"
    R"(<inputbuf>INSERT dbo.Orders VALUES (1)</inputbuf></process>)"
    R"(<process id="p2" spid="62" lockMode="U" waitresource="PAGE: 6:1:104" loginname="app">)"
    R"(<inputbuf>UPDATE dbo.Lines SET Qty = 2</inputbuf></process>)"
    R"(<process id="p3" spid="63" lockMode="X" waitresource="RID: 6:1:3120:4" loginname="app">)"
    R"(<inputbuf>DELETE dbo.Staging</inputbuf></process>)"
    R"(</process-list><resource-list>)"
    R"(<objectlock lockPartition="0" objid="901578250" subresource="FULL" dbid="6" )"
    R"(objectname="Sales.dbo.Orders" id="lock1" mode="S">)"
    R"(<owner-list><owner id="p3" mode="S"/></owner-list>)"
    R"(<waiter-list><waiter id="p1" mode="IX" requestType="wait"/></waiter-list></objectlock>)"
    R"(<pagelock fileid="1" pageid="104" dbid="6" objectname="Sales.dbo.Lines" id="lock2" mode="X">)"
    R"(<owner-list><owner id="p1" mode="X"/></owner-list>)"
    R"(<waiter-list><waiter id="p2" mode="U" requestType="wait"/></waiter-list></pagelock>)"
    R"(<ridlock fileid="1" pageid="3120" dbid="6" objectname="Sales.dbo.Staging" id="lock3" mode="X">)"
    R"(<owner-list><owner id="p2" mode="X"/></owner-list>)"
    R"(<waiter-list><waiter id="p3" mode="X" requestType="wait"/></waiter-list></ridlock>)"
    R"(</resource-list></deadlock>)";

// A parallel query deadlocked with itself: its threads wait on an exchange and a key.
const char* const kExchange =
    R"(<deadlock><victim-list><victimProcess id="pA"/></victim-list><process-list>)"
    R"(<process id="pA" spid="70" ecid="0" lockMode="S" loginname="bi"><executionStack>)"
    R"(<frame procname="adhoc" line="3">SELECT SUM(Amount) FROM dbo.Ledger</frame>)"
    R"(<frame procname="adhoc" line="1">second frame</frame></executionStack>)"
    R"(<inputbuf/></process>)"
    R"(<process id="pB" spid="70" ecid="2" loginname="bi"><inputbuf>)"
    R"(SELECT SUM(Amount) FROM dbo.Ledger</inputbuf></process>)"
    R"(</process-list><resource-list>)"
    R"(<exchangeEvent id="Pipe1f2c3a8c8" WaitType="e_waitPipeGetRow" nodeId="4">)"
    R"(<owner-list><owner id="pB"/></owner-list>)"
    R"(<waiter-list><waiter id="pA"/></waiter-list></exchangeEvent>)"
    R"(<keylock hobtid="1" dbid="7" objectname="Fin.dbo.Ledger" indexname="PK_Ledger" mode="X">)"
    R"(<owner-list><owner id="pA" mode="X"/></owner-list>)"
    R"(<waiter-list><waiter id="pB" mode="S" requestType="wait"/></waiter-list></keylock>)"
    R"(</resource-list></deadlock>)";

// Two victims in the list; a resource kind the parser does not know is kept by its name.
const char* const kTwoVictims =
    R"(<deadlock><victim-list><victimProcess id="a"/><victimProcess id="c"/></victim-list>)"
    R"(<process-list><process id="a" spid="81"/><process id="b" spid="82"/>)"
    R"(<process id="c" spid="83"/></process-list><resource-list>)"
    R"(<metadatalock subresource="SCHEMA" classid="schema_id = 1" dbid="5" mode="Sch-M">)"
    R"(<owner-list><owner id="b" mode="Sch-M"/></owner-list>)"
    R"(<waiter-list><waiter id="a" mode="Sch-S"/><waiter id="c" mode="Sch-S"/></waiter-list>)"
    R"(</metadatalock></resource-list></deadlock>)";

// The form of servers before 2008: the victim is an attribute, in a deadlock-list (.xdl).
const char* const kVictimAttribute =
    R"(<deadlock-list><deadlock victim="process6e8"><process-list>)"
    R"(<process id="process6e8" spid="52"/><process id="process9a0" spid="53"/>)"
    R"(</process-list><resource-list/></deadlock></deadlock-list>)";

std::string Event(const std::string& name, const std::string& timestamp, const std::string& body) {
    return R"(<event name=")" + name + R"(" package="sqlserver" timestamp=")" + timestamp +
           R"("><data name="xml_report"><type name="xml" package="package0"/><value>)" + body +
           "</value></data></event>";
}

std::string Ring(const std::string& events, int count = 1) {
    return R"(<RingBufferTarget truncated="0" processingTime="0" totalEventsProcessed=")" +
           std::to_string(count) + R"(" eventCount=")" + std::to_string(count) +
           R"(" droppedCount="0" memoryUsed="1024">)" + events + "</RingBufferTarget>";
}

std::vector<int> VictimSpids(const TDeadlockReport& r) {
    std::vector<int> out;
    for (const TDeadlockProcess& p : r.Processes)
        if (p.Victim)
            out.push_back(p.Spid);
    return out;
}

std::string Kinds(const TDeadlockReport& r) {
    std::string out;
    for (const TDeadlockResource& res : r.Resources)
        out += (out.empty() ? "" : " ") + res.Kind;
    return out;
}

// Who waits for what, "spid:mode@object" per process in report order.
std::string Wants(const TDeadlockReport& r) {
    std::string out;
    for (const TDeadlockProcess& p : r.Processes)
        out += (out.empty() ? "" : " ") + std::to_string(p.Spid) + ":" + p.LockMode + "@" +
               p.ObjectName + (p.IndexName.empty() ? "" : "." + p.IndexName);
    return out;
}

struct TShape {
    const char* Name;
    const char* Xml;
    std::vector<int> Spids;
    std::vector<int> Victims;
    const char* Kinds;
    const char* Wants;
};

TEST(DeadlockParserTest, ReportShapesGiveProcessesVictimsAndResources) {
    const TShape shapes[] = {
        {"two-way",
         kTwoWay,
         {57, 59},
         {57},
         "keylock keylock",
         "57:U@HR.dbo.Employee.PK_Employee 59:S@HR.dbo.Payroll.IX_Payroll_Employee"},
        {"three-way",
         kThreeWay,
         {61, 62, 63},
         {62},
         "objectlock pagelock ridlock",
         "61:IX@Sales.dbo.Orders 62:U@Sales.dbo.Lines 63:X@Sales.dbo.Staging"},
        {"exchange",
         kExchange,
         {70, 70},
         {70},
         "exchangeEvent keylock",
         "70:S@ 70:@Fin.dbo.Ledger.PK_Ledger"},
        {"two victims", kTwoVictims, {81, 82, 83}, {81, 83}, "metadatalock", "81:@ 82:@ 83:@"},
        {"victim attribute", kVictimAttribute, {52, 53}, {52}, "", "52:@ 53:@"},
    };
    for (const TShape& shape : shapes) {
        SCOPED_TRACE(shape.Name);
        std::string error = "stale";
        const TDeadlockReport r = ParseDeadlockReport(shape.Xml, &error);
        EXPECT_EQ(error, "");
        EXPECT_FALSE(r.Truncated);
        std::vector<int> spids;
        for (const TDeadlockProcess& p : r.Processes)
            spids.push_back(p.Spid);
        EXPECT_EQ(spids, shape.Spids);
        EXPECT_EQ(VictimSpids(r), shape.Victims);
        EXPECT_EQ(Kinds(r), shape.Kinds);
        EXPECT_EQ(Wants(r), shape.Wants);
    }
}

TEST(DeadlockParserTest, TwoWayReportKeepsEveryField) {
    const TDeadlockReport r = ParseDeadlockReport(kTwoWay);
    ASSERT_EQ(r.Processes.size(), 2u);
    const TDeadlockProcess& v = r.Processes[0];
    EXPECT_EQ(v.Id, "process27b9b0b9848");
    EXPECT_EQ(v.LoginName, "CORP\\hr_app");
    EXPECT_EQ(v.HostName, "APP01");
    EXPECT_EQ(v.ProgramName, "HR Portal");
    EXPECT_EQ(v.DBName, "HR");
    EXPECT_EQ(v.WaitResource, "KEY: 5:72057594045136896 (8194443284a0)");
    // The input buffer, entities resolved and the surrounding blanks gone.
    EXPECT_EQ(v.Statement,
              "UPDATE dbo.Employee SET Salary = Salary * 1.1 WHERE EmployeeId = 7 AND Note <> 'é'");
    EXPECT_EQ(r.FirstVictim(), &r.Processes[0]);
    EXPECT_EQ(r.Processes[1].Statement, "Proc [Database Id = 5 Object Id = 1977058079]");

    ASSERT_EQ(r.Resources.size(), 2u);
    const TDeadlockResource& key = r.Resources[0];
    EXPECT_EQ(key.ObjectName, "HR.dbo.Employee");
    EXPECT_EQ(key.IndexName, "PK_Employee");
    ASSERT_EQ(key.Owners.size(), 1u);
    EXPECT_EQ(key.Owners[0].ProcessId, "process27b9b0b8ca8");
    EXPECT_EQ(key.Owners[0].Mode, "X");
    ASSERT_EQ(key.Waiters.size(), 1u);
    EXPECT_EQ(key.Waiters[0].ProcessId, "process27b9b0b9848");
    EXPECT_EQ(key.Waiters[0].Mode, "U");
    // The element as written, entities and all.
    EXPECT_EQ(r.Xml, kTwoWay);
}

TEST(DeadlockParserTest, ExchangeKeepsItsWaitTypeAndTheFirstFrameStandsInForAnEmptyBuffer) {
    const TDeadlockReport r = ParseDeadlockReport(kExchange);
    ASSERT_EQ(r.Resources.size(), 2u);
    EXPECT_EQ(r.Resources[0].WaitType, "e_waitPipeGetRow");
    ASSERT_EQ(r.Resources[0].Waiters.size(), 1u);
    EXPECT_EQ(r.Resources[0].Waiters[0].ProcessId, "pA");
    EXPECT_EQ(r.Resources[0].Waiters[0].Mode, "");
    ASSERT_EQ(r.Processes.size(), 2u);
    EXPECT_EQ(r.Processes[0].Statement, "SELECT SUM(Amount) FROM dbo.Ledger");
}

TEST(DeadlockParserTest, RingBufferGivesItsDeadlockEventsWithTheirTimes) {
    const std::string other =
        R"(<event name="error_reported" timestamp="2026-12-11T02:00:00.000Z"><data name="message">)"
        R"(<value>&lt;deadlock&gt; is no element here</value></data></event>)"
        R"(<event name="wait_info" timestamp="2026-12-11T02:00:00.500Z"><data name="x"><value>)"
        R"(<deadlock><process-list><process id="z" spid="1"/></process-list></deadlock>)"
        R"(</value></data></event>)";
    const std::string doc =
        Ring(Event("xml_deadlock_report", "2026-12-11T02:00:01.250Z", kTwoWay) + other +
                 Event("xml_deadlock_report", "2026-12-11T02:01:00Z", kThreeWay),
             4);
    std::string error = "stale";
    const std::vector<TDeadlockReport> reports = ParseDeadlockEvents(doc, &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].Time, 1796954401250);
    EXPECT_EQ(reports[0].Xml, kTwoWay);
    EXPECT_EQ(VictimSpids(reports[0]), std::vector<int>{57});
    EXPECT_EQ(reports[1].Time, 1796954460000);
    EXPECT_EQ(reports[1].Xml, kThreeWay);
}

TEST(DeadlockParserTest, EmptyOrMissingBuffersGiveNothing) {
    std::string error;
    EXPECT_TRUE(ParseDeadlockEvents(Ring("", 0), &error).empty());
    EXPECT_EQ(error, "");
    EXPECT_TRUE(ParseDeadlockEvents("<RingBufferTarget/>", &error).empty());
    EXPECT_EQ(error, "");
    EXPECT_TRUE(ParseDeadlockEvents("", &error).empty());
    EXPECT_NE(error, "");
    const TDeadlockReport none = ParseDeadlockReport("<process-list/>", &error);
    EXPECT_TRUE(none.Processes.empty());
    EXPECT_NE(error, "");
}

TEST(DeadlockParserTest, ReportCutOffKeepsWhatWasRead) {
    const std::string whole =
        Ring(Event("xml_deadlock_report", "2026-12-11T02:00:01Z", kTwoWay) +
                 Event("xml_deadlock_report", "2026-12-11T02:00:02Z", kThreeWay),
             2);
    // Cut inside the second report's third process's input buffer.
    const std::size_t cut = whole.find("DELETE dbo.St") + 9;
    std::string error;
    const std::vector<TDeadlockReport> reports = ParseDeadlockEvents(whole.substr(0, cut), &error);
    EXPECT_NE(error, "");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[0].Truncated);
    EXPECT_EQ(reports[0].Xml, kTwoWay);
    const TDeadlockReport& cutOff = reports[1];
    EXPECT_TRUE(cutOff.Truncated);
    EXPECT_EQ(cutOff.Time, 1796954402000);
    ASSERT_EQ(cutOff.Processes.size(), 3u);
    EXPECT_EQ(cutOff.Processes[2].Statement, "DELETE db");
    EXPECT_EQ(VictimSpids(cutOff), std::vector<int>{62});
    EXPECT_TRUE(cutOff.Resources.empty());
    EXPECT_EQ(cutOff.Xml, std::string(kThreeWay).substr(0, cutOff.Xml.size()));

    // A report cut on its own, as a damaged stored report would be.
    const std::string half = std::string(kTwoWay).substr(0, std::string(kTwoWay).size() / 2);
    const TDeadlockReport r = ParseDeadlockReport(half, &error);
    EXPECT_TRUE(r.Truncated);
    ASSERT_FALSE(r.Processes.empty());
    EXPECT_EQ(r.Processes[0].Spid, 57);
    EXPECT_EQ(VictimSpids(r), std::vector<int>{57});
    EXPECT_NE(error, "");
}

// Reproducers from fuzzing the parser against a model of what a report says.
TEST(DeadlockParserTest, CutsReferencesAndLongIdsKeepWhatTheReportSays) {
    const std::string threeWay = kThreeWay;
    const std::string longA(kDeadlockMaxField + 10, 'a');
    const auto inputbuf = [](const std::string& text) {
        return "<deadlock><process-list><process id=\"p\" spid=\"5\"><inputbuf>" + text;
    };
    const auto whole = [](const std::string& start) {
        return start + "</inputbuf></process></process-list></deadlock>";
    };
    struct TCase {
        const char* Name;
        std::string Xml;
        bool Truncated;
        std::vector<std::string> Statements;
        std::vector<int> Victims;
        std::string Wants;
    };
    const TCase cases[] = {
        {"cut after a whole input buffer",
         threeWay.substr(0, threeWay.find("DELETE dbo.Staging</inputbuf>") + 29),
         true,
         {"INSERT dbo.Orders VALUES (1)", "UPDATE dbo.Lines SET Qty = 2", "DELETE dbo.Staging"},
         {62},
         "61:IX@ 62:U@ 63:X@"},
        {"cut after the first frame",
         "<deadlock><process-list><process id=\"p\" spid=\"5\"><executionStack>"
         "<frame>SELECT 1</frame>",
         true,
         {"SELECT 1"},
         {},
         "5:@"},
        {"cut inside an input buffer resolves its references",
         inputbuf("SELECT N'caf&#xE9;', '&#128512;' &#65;&amp;#66; &lt;&#x1B;x&#xD800; &#x4"),
         true,
         {"SELECT N'caf\xC3\xA9', '\xF0\x9F\x98\x80' A&#66; <\x1Bx\xEF\xBF\xBD"},
         {},
         "5:@"},
        {"cut inside CDATA in an input buffer",
         inputbuf("a&#x41;<![CDATA[&#x41;<b>"),
         true,
         {"aA&#x41;<b>"},
         {},
         "5:@"},
        {"references inside CDATA are text",
         whole(inputbuf("<![CDATA[SELECT '&#x1B;[31m' ]]>&#x1B;<![CDATA[&#7;]]>")),
         false,
         {"SELECT '&#x1B;[31m' \x1B&#7;"},
         {},
         "5:@"},
        {"references inside a comment are text, outside them data",
         whole(inputbuf("a<!-- &#x1; -->&#x2;")),
         false,
         {"a\x02"},
         {},
         "5:@"},
        {"long ids that agree up to the field limit",
         "<deadlock><victim-list><victimProcess id=\"" + longA +
             "1\"/></victim-list>"
             "<process-list><process id=\"" +
             longA + "1\" spid=\"1\"/><process id=\"" + longA +
             "2\" spid=\"2\"/></process-list><resource-list>"
             "<keylock objectname=\"T\"><waiter-list><waiter id=\"" +
             longA + "2\"/></waiter-list></keylock></resource-list></deadlock>",
         false,
         {"", ""},
         {1},
         "1:@ 2:@T"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string error;
        const TDeadlockReport r = ParseDeadlockReport(c.Xml, &error);
        EXPECT_EQ(r.Truncated, c.Truncated) << error;
        std::vector<std::string> statements;
        for (const TDeadlockProcess& p : r.Processes)
            statements.push_back(p.Statement);
        EXPECT_EQ(statements, c.Statements);
        EXPECT_EQ(VictimSpids(r), c.Victims);
        EXPECT_EQ(Wants(r), c.Wants);
    }

    // A cut id stays an id the resources can name, and no longer than the limit and its
    // number.
    const TDeadlockReport longIds = ParseDeadlockReport(cases[6].Xml);
    ASSERT_EQ(longIds.Processes.size(), 2u);
    EXPECT_TRUE(longIds.Processes[0].Id != longIds.Processes[1].Id);
    EXPECT_TRUE(longIds.Resources.at(0).Waiters.at(0).ProcessId == longIds.Processes[1].Id);
    EXPECT_LT(longIds.Processes[1].Id.size(), kDeadlockMaxField + 10);
}

// Resources whose waiters name no process: a report at the size limit is read in one pass,
// not one pass over the resources per process.
TEST(DeadlockParserTest, WaitersNamingNoProcessCostOnePass) {
    std::string processes, resources;
    std::size_t n = 0;
    while (processes.size() + resources.size() < kDeadlockMaxXmlBytes - 4096) {
        const std::string id = std::to_string(n++);
        processes += "<process id=\"p" + id + "\" spid=\"" + id + "\"/>";
        resources += "<keylock objectname=\"T" + id + "\"><waiter-list><waiter id=\"w" + id +
                     "\"/></waiter-list></keylock>";
    }
    // The last resource's waiter is a process after all.
    resources += "<keylock objectname=\"Last\"><waiter-list><waiter id=\"p0\"/></waiter-list>"
                 "</keylock>";
    std::string error;
    const TDeadlockReport r = ParseDeadlockReport("<deadlock><process-list>" + processes +
                                                      "</process-list><resource-list>" + resources +
                                                      "</resource-list></deadlock>",
                                                  &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(r.Processes.size(), n);
    EXPECT_EQ(r.Resources.size(), n + 1);
    EXPECT_EQ(r.Processes.front().ObjectName, "Last");
    EXPECT_EQ(r.Processes.back().ObjectName, "");
}

TEST(DeadlockParserTest, HostileDocumentsAreRefusedOrBounded) {
    std::string error;
    // Entity expansion needs a document type declaration; none is accepted.
    const std::string laughs =
        R"(<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol">)"
        R"(<!ENTITY lol2 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">]>)";
    EXPECT_TRUE(
        ParseDeadlockEvents(
            laughs +
                Ring(Event(
                    "xml_deadlock_report", "2026-12-11T02:00:01Z",
                    "<deadlock><process-list><process id=\"a\" "
                    "spid=\"1\"><inputbuf>&lol2;</inputbuf></process></process-list></deadlock>")),
            &error)
            .empty());
    EXPECT_NE(error.find("document type"), std::string::npos) << error;
    EXPECT_TRUE(
        ParseDeadlockReport(R"(<!DOCTYPE deadlock SYSTEM "file:///etc/passwd"><deadlock/>)", &error)
            .Xml.empty());
    EXPECT_NE(error.find("document type"), std::string::npos) << error;
    // An entity nobody declared stays an error, not text.
    EXPECT_TRUE(ParseDeadlockReport("<deadlock><process-list><process id=\"a\"><inputbuf>&xxe;"
                                    "</inputbuf></process></process-list></deadlock>",
                                    &error)
                    .Truncated);

    // Deep nesting is refused before it costs anything.
    std::string deep = "<RingBufferTarget>";
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    EXPECT_TRUE(ParseDeadlockEvents(deep, &error).empty());
    EXPECT_NE(error.find("nest"), std::string::npos) << error;
    // A real report's depth passes.
    std::string nested = "<deadlock><process-list><process id=\"a\" spid=\"5\"><inputbuf>";
    for (int i = 0; i < kDeadlockMaxDepth - 5; ++i)
        nested += "<x>";
    for (int i = 0; i < kDeadlockMaxDepth - 5; ++i)
        nested += "</x>";
    nested += "</inputbuf></process></process-list></deadlock>";
    EXPECT_EQ(ParseDeadlockReport(nested, &error).Processes.size(), 1u);
    EXPECT_EQ(error, "");
}

TEST(DeadlockParserTest, HugeInputAndFieldsAreBounded) {
    std::string error;
    // A statement of 1 MB is cut; the name of 100 KB too.
    const std::string longText(1024 * 1024, 'q');
    const std::string longName(100 * 1024, 'n');
    const TDeadlockReport r = ParseDeadlockReport(
        "<deadlock><process-list><process id=\"a\" loginname=\"" + longName + "\"><inputbuf>" +
            longText + "</inputbuf></process></process-list></deadlock>",
        &error);
    ASSERT_EQ(r.Processes.size(), 1u);
    EXPECT_EQ(r.Processes[0].Statement.size(), kDeadlockMaxStatement);
    EXPECT_EQ(r.Processes[0].LoginName.size(), kDeadlockMaxField);
    // A statement cut never splits a surrogate pair.
    std::string emoji;
    for (std::size_t i = 0; i < kDeadlockMaxStatement; ++i)
        emoji += "\xF0\x9F\x98\x80";
    const TDeadlockReport e =
        ParseDeadlockReport("<deadlock><process-list><process id=\"a\"><inputbuf>x" + emoji +
                            "</inputbuf></process></process-list></deadlock>");
    ASSERT_EQ(e.Processes.size(), 1u);
    EXPECT_EQ(e.Processes[0].Statement.size(), 1 + (kDeadlockMaxStatement - 2) / 2 * 4);

    // A buffer beyond the limit is read up to it: the reports before it, the cut one marked.
    const std::string event = Event("xml_deadlock_report", "2026-12-11T02:00:01Z", kTwoWay);
    std::string events;
    while (events.size() < kDeadlockMaxXmlBytes + 100000)
        events += event;
    const std::vector<TDeadlockReport> reports = ParseDeadlockEvents(Ring(events), &error);
    EXPECT_NE(error.find("longer than"), std::string::npos) << error;
    ASSERT_GT(reports.size(), 1000u);
    EXPECT_LE(reports.size(), kDeadlockMaxXmlBytes / event.size() + 1);
    EXPECT_FALSE(reports.front().Truncated);
    EXPECT_TRUE(reports.back().Truncated);
}

TEST(DeadlockParserTest, ControlCharactersStayData) {
    struct TCase {
        const char* Name;
        std::string Written;  // in the input buffer as the server wrote it
        std::string Expected; // the statement
    };
    const TCase cases[] = {
        {"escape sequence as reference", "SELECT '&#x1B;[31mred'", "SELECT '\x1B[31mred'"},
        {"decimal reference", "a&#7;b&#27;c",
         "a\x07"
         "b\x1B"
         "c"},
        {"raw control",
         "a\x01"
         "b\x1F"
         "c",
         "a\x01"
         "b\x1F"
         "c"},
        {"tab and newlines as ever", "a&#9;b\r\nc", "a\tb\nc"},
        {"NUL becomes a replacement", "a&#x0;b",
         "a\xEF\xBF\xBD"
         "b"},
        // The private-use block first chosen for carrying is in use: the next one is taken.
        {"private-use characters of its own", "\xEE\x80\x81&#xE002;&#x2;",
         "\xEE\x80\x81\xEE\x80\x82\x02"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string report = "<deadlock><process-list><process id=\"a\" spid=\"5\" "
                                   "hostname=\"h&#x1;\"><inputbuf>" +
                                   c.Written + "</inputbuf></process></process-list></deadlock>";
        const std::string doc = Ring(Event("xml_deadlock_report", "2026-12-11T02:00:01Z", report) +
                                     Event("xml_deadlock_report", "2026-12-11T02:00:02Z", kTwoWay));
        std::string error;
        const std::vector<TDeadlockReport> reports = ParseDeadlockEvents(doc, &error);
        EXPECT_EQ(error, "");
        ASSERT_EQ(reports.size(), 2u);
        ASSERT_EQ(reports[0].Processes.size(), 1u);
        EXPECT_EQ(reports[0].Processes[0].Statement, c.Expected);
        EXPECT_EQ(reports[0].Processes[0].HostName, "h\x01");
        // The stored XML is the text as written; offsets after a carried character hold.
        EXPECT_EQ(reports[0].Xml, report);
        EXPECT_EQ(reports[1].Xml, kTwoWay);
    }
}

TEST(DeadlockParserTest, TimestampsInTheirForms) {
    struct TCase {
        const char* Text;
        bool Ok;
        std::int64_t Ms;
    };
    const TCase cases[] = {
        {"2026-12-11T02:00:01.250Z", true, 1796954401250},
        {"2026-12-11T02:00:01Z", true, 1796954401000},
        {"2026-12-11T02:00:01.2509999Z", true, 1796954401250},
        {"2026-12-11T02:00:01.5", true, 1796954401500},
        {"2026-12-11T04:00:01.250+02:00", true, 1796954401250},
        {"2026-12-10T23:30:01.250-02:30", true, 1796954401250},
        {"1970-01-01T00:00:00Z", true, 0},
        {"2024-02-29T00:00:00Z", true, 1709164800000},
        {"2023-02-29T00:00:00Z", false, 0},
        {"2026-13-01T00:00:00Z", false, 0},
        {"2026-12-11T24:00:00Z", false, 0},
        {"2026-12-11T02:00:01.Z", false, 0},
        {"2026-12-11T02:00:01Zjunk", false, 0},
        {"2026-12-11", false, 0},
        {"", false, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Text);
        std::int64_t ms = -1;
        EXPECT_EQ(ParseDeadlockTimestamp(c.Text, ms), c.Ok);
        if (c.Ok) {
            EXPECT_EQ(ms, c.Ms);
        }
    }
}

} // namespace
