#include "Statement.h"

#include "Deadlocks.h"
#include "Editions.h"
#include "ExecuteSql.h"
#include "ProcessSelect.h"
#include "TextUtil.h"

#include <algorithm>
#include <cctype>
#include <regex>

namespace tdssim {

const char* const kProcessQuery =
    "select spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, p.status, "
    "hostname, program_name, cmd, loginame, cpu, physical_io, memusage\r\n"
    "from master.dbo.sysprocesses p left outer join master..sysdatabases d on d.dbid = p.dbid\r\n"
    "order by blocked, waittime";

// What a real server would run as XQuery: every xml_deadlock_report event of the ring
// buffer at or after the time, oldest first, at most 100; of each report its first {cap}
// characters, its whole size and the server's clock.
const char* const kDeadlockRead =
    "select top (100) convert(varchar(30), e.x.value('(@timestamp)[1]', 'datetime2(3)'), 126), "
    "left(q.report, {cap}), datalength(q.report), convert(varchar(30), sysutcdatetime(), 126)\r\n"
    "from (select convert(xml, t.target_data) as d from sys.dm_xe_session_targets t "
    "join sys.dm_xe_sessions s on s.address = t.event_session_address "
    "where s.name = N'system_health' and t.target_name = N'ring_buffer') as r\r\n"
    "cross apply r.d.nodes('/RingBufferTarget/event[@name=\"xml_deadlock_report\"]"
    "[xs:dateTime(@timestamp) >= xs:dateTime(\"{since}\")]') as e(x)\r\n"
    "cross apply (select convert(nvarchar(max), "
    "e.x.query('(data[@name=\"xml_report\"]/value/deadlock)[1]')) as report) as q\r\n"
    "order by e.x.value('(@timestamp)[1]', 'datetime2(3)')";

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// Matches "<keyword> ( n )" or "<keyword> n" with optional blanks around the parentheses.
bool numberAfter(const std::string& s, std::string_view keyword, bool parens, long long& out) {
    if (s.rfind(keyword, 0) != 0) {
        return false;
    }
    std::string rest = s.substr(keyword.size());
    std::string compact;
    for (char c : rest) {
        if (c != ' ') {
            compact.push_back(c);
        }
    }
    if (parens) {
        if (compact.size() < 3 || compact.front() != '(' || compact.back() != ')') {
            return false;
        }
        compact = compact.substr(1, compact.size() - 2);
    } else if (rest.empty() || rest[0] != ' ') {
        return false;
    }
    return parseInteger(compact, out);
}

std::string firstToken(std::string_view text) {
    std::string t = trim(text);
    std::size_t end = 0;
    while (end < t.size() && !isSpace(t[end]) && t[end] != '(' && t[end] != ';' && t[end] != ',') {
        ++end;
    }
    return t.substr(0, end == 0 ? 1 : end);
}

bool startsStatement(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && isSpace(line[i])) {
        ++i;
    }
    std::string word;
    while (i < line.size() && ((line[i] >= 'a' && line[i] <= 'z') ||
                               (line[i] >= 'A' && line[i] <= 'Z') || line[i] == '_')) {
        char c = line[i++];
        word.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    if (i < line.size() && !isSpace(line[i]) && line[i] != '(' && line[i] != ';') {
        return false;
    }
    for (const char* k :
         {"select", "set", "use", "kill", "dbcc", "begin", "commit", "rollback", "if", "exec",
          "execute", "declare", "insert", "update", "delete", "waitfor", "print", "raiserror"}) {
        if (word == k) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string blankComments(std::string_view text, bool* unclosed) {
    std::string out(text);
    char quote = 0; // ' " or ] while inside a literal or a delimited name
    int depth = 0;  // block comments nest
    bool line = false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char c = out[i];
        const char next = i + 1 < out.size() ? out[i + 1] : '\0';
        if (line) {
            if (c == '\n' || c == '\r') {
                line = false;
            } else {
                out[i] = ' ';
            }
        } else if (depth > 0) {
            if (c == '/' && next == '*') {
                ++depth;
                out[i] = out[i + 1] = ' ';
                ++i;
            } else if (c == '*' && next == '/') {
                --depth;
                out[i] = out[i + 1] = ' ';
                ++i;
            } else if (c != '\n' && c != '\r') {
                out[i] = ' ';
            }
        } else if (quote) {
            if (c == quote) {
                if (next == quote) {
                    ++i; // doubled: part of the literal
                } else {
                    quote = 0;
                }
            }
        } else if (c == '\'' || c == '"' || c == '[') {
            quote = c == '[' ? ']' : c;
        } else if (c == '-' && next == '-') {
            line = true;
            out[i] = out[i + 1] = ' ';
            ++i;
        } else if (c == '/' && next == '*') {
            depth = 1;
            out[i] = out[i + 1] = ' ';
            ++i;
        }
    }
    if (unclosed) {
        *unclosed = depth > 0;
    }
    return out;
}

std::vector<BatchPart> splitBatchLines(std::string_view original) {
    // Comments split nothing and run nothing: a server reads them as white space. Blanking
    // them keeps every line where it was.
    const std::string blanked = blankComments(original);
    const std::string_view text = blanked;
    std::vector<BatchPart> parts;
    std::string current;
    std::size_t start = 0; // where current begins in text
    // The line of the first character that is not white space, counted from 1.
    auto lineOf = [&](std::size_t from, std::string_view piece) {
        std::size_t at = from;
        for (char c : piece) {
            if (!isSpace(c)) {
                break;
            }
            ++at;
        }
        return static_cast<int>(
            1 + std::count(text.begin(),
                           text.begin() + static_cast<std::ptrdiff_t>(std::min(at, text.size())),
                           '\n'));
    };
    std::size_t i = 0;
    auto push = [&] {
        if (!trim(current).empty()) {
            parts.push_back({current, lineOf(start, current)});
        }
        current.clear();
        start = i + 1;
    };
    char quote = 0; // ' " or ] while inside a literal or a delimited name
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            current.push_back(c);
            if (c == quote) {
                if (i + 1 < text.size() && text[i + 1] == quote) {
                    current.push_back(text[++i]); // doubled: part of the literal
                } else {
                    quote = 0;
                }
            }
            continue;
        }
        if (c == '\'' || c == '"' || c == '[') {
            quote = c == '[' ? ']' : c;
            current.push_back(c);
            continue;
        }
        if (c == ';') {
            push();
            continue;
        }
        if ((c == '\n' || c == '\r') && !trim(current).empty()) {
            std::size_t next = i;
            while (next < text.size() && (text[next] == '\n' || text[next] == '\r')) {
                ++next;
            }
            const std::size_t eol = text.find_first_of("\r\n", next);
            if (startsStatement(
                    text.substr(next, eol == std::string_view::npos ? eol : eol - next))) {
                i = next - 1;
                push();
                continue;
            }
        }
        current.push_back(c);
    }
    push();
    if (parts.size() <= 1) {
        return {{std::string(text), lineOf(0, text)}};
    }
    return parts;
}

std::vector<std::string> splitBatch(std::string_view text) {
    std::vector<std::string> out;
    for (BatchPart& p : splitBatchLines(text)) {
        out.push_back(std::move(p.text));
    }
    return out;
}

std::string normalizeSql(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool space = false;
    for (char c : text) {
        if (isSpace(c)) {
            space = true;
            continue;
        }
        if (space && !out.empty()) {
            out.push_back(' ');
        }
        space = false;
        out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    while (!out.empty() && (out.back() == ';' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

namespace {

std::string withoutBlanks(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c != ' ') {
            out += c;
        }
    }
    return out;
}

// "select" and a list of the login's permission checks and name, in any order.
bool permissionColumns(const std::string& s, std::string& letters) {
    if (s.rfind("select ", 0) != 0 || s.size() > 1000) {
        return false;
    }
    static const std::pair<const char*, char> items[] = {
        {"is_srvrolemember('sysadmin')", 's'},
        {"has_perms_by_name(null,null,'viewserverstate')", 'v'},
        {"has_perms_by_name(null,null,'alteranyconnection')", 'a'},
        {"suser_sname()", 'n'},
        {"casewhenconvert(int,serverproperty('productmajorversion'))>=16thenhas_perms_by_name("
         "null,null,'viewserverperformancestate')else0end",
         'p'},
        {"convert(int,serverproperty('engineedition'))", 'e'},
        {"convert(nvarchar(128),serverproperty('productversion'))", 'r'},
        {"db_id('rdsadmin')", 'd'},
        {"casewhenconvert(int,serverproperty('engineedition'))=5thenhas_perms_by_name(db_name(),"
         "'database','viewdatabasestate')else0end",
         'w'},
        {"casewhenconvert(int,serverproperty('engineedition'))=5thenhas_perms_by_name(db_name(),"
         "'database','killdatabaseconnection')else0end",
         'k'},
        {"casewhenconvert(int,serverproperty('engineedition'))=5thenis_srvrolemember('##ms_"
         "serverstatereader##')else0end",
         'm'},
    };
    const std::string rest = withoutBlanks(std::string_view(s).substr(7));
    std::size_t at = 0;
    letters.clear();
    while (at < rest.size()) {
        bool found = false;
        for (const auto& [text, letter] : items) {
            const std::string_view t(text);
            if (rest.compare(at, t.size(), t) == 0) {
                letters += letter;
                at += t.size();
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
        if (at < rest.size()) {
            if (rest[at] != ',') {
                return false;
            }
            ++at;
        }
    }
    // A lone IS_SRVROLEMEMBER stays the statement of its own kind; a lone suser_sname() is a
    // variable.
    return !letters.empty() && letters != "s" && letters != "n";
}

// select <columns> from sys.dm_exec_input_buffer(<spid>, null)
bool dmInputBuffer(const std::string& s, long long& spid, std::string& letters) {
    static const std::regex re(
        R"(select (.+) from sys\.dm_exec_input_buffer ?\( ?(-?\d{1,9}) ?, ?null ?\))");
    std::smatch m;
    if (s.size() > 1000 || !std::regex_match(s, m, re)) {
        return false;
    }
    const std::string cols = withoutBlanks(m[1].str());
    letters.clear();
    if (cols == "*") {
        letters = "tpi";
    } else {
        std::size_t at = 0;
        while (at <= cols.size()) {
            const std::size_t comma = std::min(cols.find(',', at), cols.size());
            const std::string c = cols.substr(at, comma - at);
            if (c == "event_type") {
                letters += 't';
            } else if (c == "parameters") {
                letters += 'p';
            } else if (c == "event_info") {
                letters += 'i';
            } else {
                return false;
            }
            at = comma + 1;
        }
    }
    spid = std::stoll(m[2].str());
    return true;
}

// The deadlock read with any number of characters and any timestamp literal in their places.
bool deadlockRead(const std::string& s, long long& since, long long& cap) {
    static const std::string pattern = normalizeSql(kDeadlockRead);
    static const std::size_t capAt = pattern.find("{cap}");
    static const std::size_t sinceAt = pattern.find("{since}");
    static const std::string head = pattern.substr(0, capAt);
    static const std::string middle = pattern.substr(capAt + 5, sinceAt - capAt - 5);
    static const std::string tail = pattern.substr(sinceAt + 7);
    if (s.size() < head.size() + middle.size() + tail.size() ||
        s.size() > head.size() + middle.size() + tail.size() + 60 ||
        s.compare(0, head.size(), head) != 0 ||
        s.compare(s.size() - tail.size(), tail.size(), tail) != 0) {
        return false;
    }
    const std::size_t middleAt = s.find(middle, head.size());
    if (middleAt == std::string::npos || middleAt + middle.size() > s.size() - tail.size()) {
        return false;
    }
    long long n = 0;
    if (!parseInteger(s.substr(head.size(), middleAt - head.size()), n) || n < 1 || n > 1LL << 30) {
        return false;
    }
    const std::size_t stampAt = middleAt + middle.size();
    std::int64_t ms = 0;
    if (!parseDeadlockTimestamp(s.substr(stampAt, s.size() - tail.size() - stampAt), ms)) {
        return false;
    }
    since = ms;
    cap = n;
    return true;
}

// BEGIN TRAN[SACTION], COMMIT [TRAN[SACTION]|WORK], ROLLBACK ..., each possibly guarded by
// IF @@TRANCOUNT > 0 and followed on the same line by BEGIN TRAN.
bool transaction(const std::string& s, Statement& st) {
    std::string rest = s;
    st.number = 0;
    for (const char* guard : {"if @@trancount > 0 ", "if @@trancount>0 "}) {
        if (rest.rfind(guard, 0) == 0) {
            rest.erase(0, std::string_view(guard).size());
            st.number = 1;
            break;
        }
    }
    std::string word;
    for (const char* w : {"begin tran", "commit", "rollback"}) {
        if (rest.rfind(w, 0) == 0) {
            word = w;
            break;
        }
    }
    if (word.empty()) {
        st.number = 0;
        return false;
    }
    st.kind = StatementKind::Transaction;
    st.word = word == "begin tran" ? "begin" : word;
    if (word != "begin tran" && rest.find("begin tran") != std::string::npos) {
        st.word += "+begin";
    }
    return true;
}

} // namespace

Statement classifyStatement(std::string_view text) {
    static const std::string processQuery = normalizeSql(kProcessQuery);
    const std::string s = normalizeSql(text);
    Statement st;
    if (s.empty()) {
        st.kind = StatementKind::Empty;
        return st;
    }
    if (s == processQuery) {
        st.kind = StatementKind::ProcessQuery;
        return st;
    }
    if (classifyEditionStatement(s, st)) {
        return st;
    }
    if (s == "select is_srvrolemember('sysadmin')" || s == "select is_srvrolemember ('sysadmin')") {
        st.kind = StatementKind::IsSysAdmin;
        return st;
    }
    if (permissionColumns(s, st.word)) {
        st.kind = StatementKind::Permissions;
        return st;
    }
    if (dmInputBuffer(s, st.number, st.word)) {
        st.kind = StatementKind::DmInputBuffer;
        return st;
    }
    if (s == "select convert(varchar(30), sysutcdatetime(), 126)") {
        st.kind = StatementKind::ServerClock;
        return st;
    }
    if (s == "select convert(varchar(20), sum(waiting_tasks_count)), convert(varchar(20), "
             "sum(wait_time_ms)) from sys.dm_os_wait_stats where wait_type like 'lck[_]m[_]%'") {
        st.kind = StatementKind::LockWaitStats;
        return st;
    }
    if (deadlockRead(s, st.number, st.number2)) {
        st.kind = StatementKind::DeadlockRead;
        return st;
    }
    if (s == "select dbid, name from master.dbo.sysdatabases") {
        st.kind = StatementKind::Databases;
        return st;
    }
    if (numberAfter(s,
                    "select loginame, hostname, program_name, convert(varchar(23), login_time, "
                    "121) from master.dbo.sysprocesses where spid =",
                    false, st.number)) {
        st.kind = StatementKind::SessionIdentity;
        return st;
    }
    if (numberAfter(s,
                    "select convert(varchar(23), last_batch, 121), convert(varchar(23), "
                    "getdate(), 121) from master.dbo.sysprocesses where spid =",
                    false, st.number)) {
        st.kind = StatementKind::LastBatch;
        return st;
    }
    if (numberAfter(s,
                    "select convert(varchar(23), min(a.transaction_begin_time), 121), "
                    "convert(varchar(23), getdate(), 121) from sys.dm_tran_session_transactions "
                    "s join sys.dm_tran_active_transactions a on a.transaction_id = "
                    "s.transaction_id where s.session_id =",
                    false, st.number)) {
        st.kind = StatementKind::TranBegin;
        return st;
    }
    // The catalog lookups that name a wait resource's object, by object id or by hobt id.
    static const std::regex byObject(
        R"(select object_schema_name\((\d+), ?(\d+)\), ?object_name\(\1, ?\2\), ?null)");
    static const std::regex byHobt(
        R"(select object_schema_name\(p\.object_id, ?(\d+)\), ?object_name\(p\.object_id, ?\1\), ?)"
        R"(i\.name from \[[^ ]*\]\.sys\.partitions p left join \[[^ ]*\]\.sys\.indexes i on )"
        R"(i\.object_id = p\.object_id and i\.index_id = p\.index_id where p\.hobt_id = (\d+))");
    std::smatch m;
    if (s.size() < 1000 && std::regex_match(s, m, byObject)) {
        st.kind = StatementKind::ObjectNames;
        st.word = "object";
        parseInteger(m[1].str(), st.number);
        parseInteger(m[2].str(), st.number2);
        return st;
    }
    if (s.size() < 1000 && std::regex_match(s, m, byHobt)) {
        st.kind = StatementKind::ObjectNames;
        st.word = "hobt";
        parseInteger(m[2].str(), st.number);
        parseInteger(m[1].str(), st.number2);
        return st;
    }
    if (numberAfter(s, "dbcc inputbuffer", true, st.number)) {
        st.kind = StatementKind::InputBuffer;
        return st;
    }
    if (numberAfter(s, "kill", false, st.number)) {
        st.kind = StatementKind::Kill;
        return st;
    }
    if (numberAfter(s, "select", false, st.number)) {
        st.kind = StatementKind::SelectInt;
        return st;
    }
    if (s == "select @@version") {
        st.kind = StatementKind::Version;
        return st;
    }
    for (const char* var :
         {"@@spid", "@@servername", "@@trancount", "@@language", "@@servicename", "db_name()",
          "suser_sname()", "system_user", "user_name()", "@@max_precision", "@@textsize"}) {
        if (s == std::string("select ") + var) {
            st.kind = StatementKind::Variable;
            st.word = var;
            return st;
        }
    }
    if (s.rfind("use ", 0) == 0) {
        std::string name = trim(trim(text).substr(3));
        while (!name.empty() && (name.back() == ';' || isSpace(name.back()))) {
            name.pop_back();
        }
        if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
            name = name.substr(1, name.size() - 2);
        }
        st.kind = StatementKind::Use;
        st.word = name;
        return st;
    }
    if (s.rfind("set ", 0) == 0) {
        st.kind = StatementKind::Set;
        return st;
    }
    if (transaction(s, st)) {
        return st;
    }
    if (parseProcessSelect(text)) {
        st.kind = StatementKind::ProcessSelect;
        return st;
    }
    if (parseExecuteSqlStatement(text)) {
        st.kind = StatementKind::ExecuteSql;
        return st;
    }
    if (parseSpWhoStatement(text)) {
        st.kind = StatementKind::SpWho;
        return st;
    }
    st.kind = StatementKind::Unknown;
    st.word = firstToken(text);
    return st;
}

} // namespace tdssim
