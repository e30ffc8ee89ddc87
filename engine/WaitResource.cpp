#include "WaitResource.h"

#include <cctype>
#include <charconv>
#include <utility>
#include <vector>

namespace {

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool Number(std::string_view s, std::int64_t& out) {
    const std::string t = Trim(s);
    if (t.empty())
        return false;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    return ec == std::errc() && end == t.data() + t.size();
}

// "5:1:104" -> {5, 1, 104}; false when a field is no number.
bool Numbers(std::string_view s, std::vector<std::int64_t>& out) {
    out.clear();
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = s.find(':', start);
        std::int64_t n = 0;
        if (!Number(s.substr(start, colon == std::string_view::npos ? s.npos : colon - start), n))
            return false;
        out.push_back(n);
        if (colon == std::string_view::npos)
            return true;
        start = colon + 1;
    }
}

// In "[name]:(hash)" the ']' that closes the name: the last one before ":(", else the last
// one; npos when there is none. The name itself may hold "]".
std::size_t NameClose(std::string_view bracketed) {
    const std::size_t hash = bracketed.rfind("]:(");
    return hash != std::string_view::npos ? hash : bracketed.rfind(']');
}

// Where an application lock's name stands in "APPLICATION: 5:0:[name]:(hash)": [first, end),
// or {0, 0} for another resource. The name is the application's choice, so nothing in it is
// a marker of the server's, however much it looks like one.
std::pair<std::size_t, std::size_t> ApplicationName(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || Upper(Trim(text.substr(0, colon))) != "APPLICATION")
        return {0, 0};
    const std::size_t open = text.find('[', colon);
    if (open == std::string_view::npos)
        return {0, 0};
    const std::size_t close = NameClose(text.substr(open));
    return {open, close == std::string_view::npos ? text.size() : open + close + 1};
}

// Newer servers follow a latch's page with " (LATCH 0x...)" or similar; it names an address
// in the server's memory and tells a DBA nothing. A marker inside "[...]" is part of a name
// (an application lock may be called "[ORDER LATCH 1]") and stays.
std::string CutLatchSuffix(std::string text) {
    const std::string upper = Upper(text);
    const auto [nameFrom, nameEnd] = ApplicationName(text);
    int depth = 0;
    for (std::size_t at = 0; at < upper.size(); ++at) {
        if (at >= nameFrom && at < nameEnd)
            continue;
        if (depth == 0 && at > 0)
            for (const std::string_view marker : {"(LATCH", "[LATCH", " LATCH "})
                if (std::string_view(upper).substr(at, marker.size()) == marker)
                    return Trim(std::string_view(text).substr(0, at));
        if (upper[at] == '[')
            ++depth;
        else if (upper[at] == ']' && depth > 0)
            --depth;
    }
    return text;
}

std::string Str(std::int64_t n) {
    return std::to_string(n);
}

} // namespace

std::string DatabaseWords(std::int32_t id, const TDatabaseNameOf& databaseName) {
    const std::string name = databaseName ? databaseName(id) : std::string();
    return name.empty() ? "database " + Str(id) : name + " (" + Str(id) + ")";
}

TWaitResource DecodeWaitResource(std::string_view raw, const TDatabaseNameOf& databaseName) {
    TWaitResource r;
    std::string text = CutLatchSuffix(Trim(raw));
    r.Words = text;
    if (text.empty())
        return r;
    const std::string upperText = Upper(text);
    for (const char* marker : {"[[COMPILE]]", "[COMPILE]"}) {
        const std::size_t at = upperText.find(marker, ApplicationName(text).second);
        if (at != std::string::npos) {
            r.Compile = true;
            text = Trim(std::string_view(text).substr(0, at));
            break;
        }
    }
    std::string kind, rest;
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos && colon > 0 &&
        std::isalpha(static_cast<unsigned char>(text[0]))) {
        kind = Upper(Trim(std::string_view(text).substr(0, colon)));
        rest = Trim(std::string_view(text).substr(colon + 1));
    } else {
        rest = text; // a latch names its page as "5:1:104" without a kind
    }
    if (kind == "METADATA") {
        // "database_id = 5 SCHEMA(schema_id = 1)" and the like.
        const std::size_t eq = rest.find('=');
        std::int64_t db = -1;
        std::size_t end = eq == std::string::npos ? 0 : eq + 1;
        while (end < rest.size() && rest[end] == ' ')
            ++end;
        std::size_t digits = end;
        while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits])))
            ++digits;
        if (eq == std::string::npos || digits == end ||
            !Number(std::string_view(rest).substr(end, digits - end), db))
            return r;
        r.Kind = kind;
        r.DatabaseId = static_cast<std::int32_t>(db);
        const std::string what = Trim(std::string_view(rest).substr(digits));
        r.Words = "Metadata lock in " + DatabaseWords(r.DatabaseId, databaseName) +
                  (what.empty() ? "" : ": " + what);
        return r;
    }
    // Trailing parts: a key hash "(8194443284a0)", an application lock's "[name]:(hash)", a
    // database lock's "[BULKOP_BACKUP_DB]".
    std::string ids = rest, tail;
    const std::size_t open = rest.find_first_of("([");
    if (open != std::string::npos) {
        ids = Trim(std::string_view(rest).substr(0, open));
        tail = Trim(std::string_view(rest).substr(open));
    }
    while (!ids.empty() && ids.back() == ':')
        ids.pop_back();
    std::vector<std::int64_t> n;
    if (!Numbers(ids, n) || n.empty())
        return r;
    if (kind.empty())
        kind = n.size() == 3 ? "PAGE" : "";
    const std::int32_t db = static_cast<std::int32_t>(n[0]);
    const std::string in = " in " + DatabaseWords(db, databaseName);
    auto set = [&](std::string words) {
        r.Kind = kind;
        r.DatabaseId = db;
        r.Words = std::move(words);
        if (r.Compile)
            r.Words += "; compile lock (a plan being compiled)";
    };
    if (kind == "KEY" && n.size() == 2) {
        r.HobtId = n[1];
        std::string hash = tail;
        if (hash.size() >= 2 && hash.front() == '(' && hash.back() == ')')
            hash = hash.substr(1, hash.size() - 2);
        set("Key lock on a row of index (hobt " + Str(n[1]) + ")" + in +
            (hash.empty() ? "" : ", key hash " + hash));
    } else if (kind == "PAGE" && n.size() == 3) {
        set("Page " + Str(n[2]) + " of file " + Str(n[1]) + in);
    } else if (kind == "RID" && n.size() == 4) {
        set("Row " + Str(n[3]) + " on page " + Str(n[2]) + " of file " + Str(n[1]) + in +
            " (a table without clustered index)");
    } else if ((kind == "OBJECT" || kind == "TAB") && n.size() >= 2) {
        r.ObjectId = n[1];
        std::string words = "Table or object " + Str(n[1]) + in;
        if (kind == "TAB" && n.size() >= 3) {
            r.IndexId = static_cast<std::int32_t>(n[2]);
            if (n[2] != 0)
                words += ", index " + Str(n[2]);
        } else if (n.size() >= 3 && n[2] != 0) {
            words += ", lock partition " + Str(n[2]);
        }
        set(words);
    } else if (kind == "HOBT" && n.size() == 2) {
        r.HobtId = n[1];
        set("Heap or B-tree " + Str(n[1]) + in);
    } else if (kind == "FILE" && n.size() >= 2) {
        set("File " + Str(n[1]) + in);
    } else if ((kind == "DATABASE" || kind == "DB") && n.size() >= 1) {
        set("The whole database " + DatabaseWords(db, databaseName) +
            (tail.empty() ? "" : " " + tail));
    } else if (kind == "APPLICATION" && n.size() >= 1) {
        // "[name]:(hash)": the resource name an application locked with sp_getapplock.
        std::string name = tail;
        const std::size_t close = NameClose(name);
        if (!name.empty() && name.front() == '[' && close != std::string::npos)
            name = name.substr(1, close - 1);
        set("Application lock" + (name.empty() ? std::string() : " \"" + name + "\"") + in);
    } else if (kind == "EXTENT" && n.size() == 3) {
        set("Extent at page " + Str(n[2]) + " of file " + Str(n[1]) + in);
    } else if (kind == "ALLOCATION_UNIT" && n.size() == 2) {
        r.HobtId = 0;
        set("Allocation unit " + Str(n[1]) + in);
    }
    return r;
}

std::string ObjectNamesQuery(const TWaitResource& resource, const std::string& databaseName) {
    if (resource.DatabaseId < 0)
        return std::string();
    const std::string db = Str(resource.DatabaseId);
    if (resource.ObjectId != 0) {
        const std::string id = Str(resource.ObjectId);
        return "select object_schema_name(" + id + ", " + db + "), object_name(" + id + ", " + db +
               "), null";
    }
    if (resource.HobtId == 0 || databaseName.empty())
        return std::string();
    std::string quoted = "[";
    for (char c : databaseName) {
        quoted += c;
        if (c == ']')
            quoted += ']';
    }
    quoted += "]";
    return "select object_schema_name(p.object_id, " + db + "), object_name(p.object_id, " + db +
           "), i.name from " + quoted + ".sys.partitions p left join " + quoted +
           ".sys.indexes i on i.object_id = p.object_id and i.index_id = p.index_id where "
           "p.hobt_id = " +
           Str(resource.HobtId);
}
