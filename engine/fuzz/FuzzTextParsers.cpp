// libFuzzer target: the parsers of text that servers and stored files supply, each against a
// model of what it must give. Deadlock reports are written from a model (process ids, long ones
// sharing their start among them; statements with controls, references and CDATA; resources
// whose waiters name a process or none), read whole and cut anywhere; spreadsheet cells must
// come out as valid UTF-8 without a control or bidirectional character and without a formula;
// an application lock keeps whatever name it was given.
#include "DeadlockParser.h"
#include "SpreadsheetText.h"
#include "WaitResource.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Found(const char* what, const std::string& input, const std::string& got) {
    std::fprintf(stderr, "%s\n  input: %s\n  got:   %s\n", what, input.c_str(), got.c_str());
    std::abort();
}

std::vector<std::string> Fields(std::string_view data, std::size_t count) {
    std::vector<std::string> fields(1);
    for (const char c : data) {
        if (c == '\x01' && fields.size() < count)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    fields.resize(count);
    return fields;
}

// Text as a server writes it: markup characters as entities, controls (and in attributes
// tabs and line breaks, which attribute values would lose) as character references.
std::string Escaped(const std::string& text, bool attribute) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (b < 0x20 && (attribute || (c != '\t' && c != '\n')))
            out += "&#x" + std::string(1, "0123456789ABCDEF"[b >> 4]) + "0123456789ABCDEF"[b & 15] +
                   ";";
        else
            out += c;
    }
    return out;
}

std::string Trimmed(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

// ASCII without NUL: what the model's fields hold.
std::string Ascii(const std::string& s) {
    std::string out;
    for (const char c : s)
        if ((c & 0x7F) != 0)
            out += static_cast<char>(c & 0x7F);
    return out;
}

void DeadlockReports(std::uint8_t flags, std::string_view data) {
    const std::size_t count = 1 + (flags & 3);
    const bool longIds = (flags & 4) != 0, waiters = (flags & 8) != 0, cdata = (flags & 16) != 0;
    const std::size_t victim = (flags >> 5) % count;
    const std::vector<std::string> f = Fields(data, 2 * count + 1);
    std::vector<std::string> ids, statements;
    std::string xml = "<deadlock><victim-list>", processes;
    std::vector<std::size_t> bufferEnds; // where each process's </inputbuf> ends
    for (std::size_t i = 0; i < count; ++i) {
        ids.push_back((longIds ? std::string(kDeadlockMaxField, 'p') : "") + Ascii(f[2 * i]) + "#" +
                      std::to_string(i));
        statements.push_back(Ascii(f[2 * i + 1]));
    }
    xml += "<victimProcess id=\"" + Escaped(ids[victim], true) + "\"/></victim-list><process-list>";
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& s = statements[i];
        bool plain = s.find("]]>") == std::string::npos;
        for (const char c : s)
            plain = plain && (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n');
        xml += "<process id=\"" + Escaped(ids[i], true) + "\" spid=\"" + std::to_string(51 + i) +
               "\"><inputbuf>" + (cdata && plain ? "<![CDATA[" + s + "]]>" : Escaped(s, false)) +
               "</inputbuf>";
        bufferEnds.push_back(xml.size());
        xml += "</process>";
    }
    xml += "</process-list><resource-list>";
    for (std::size_t i = 0; i < count; ++i)
        xml += "<keylock objectname=\"T" + std::to_string(i) + "\"><waiter-list><waiter id=\"" +
               (waiters ? Escaped(ids[i], true) : std::string("nobody")) +
               "\"/></waiter-list></keylock>";
    xml += "</resource-list></deadlock>";

    std::string error;
    const TDeadlockReport whole = ParseDeadlockReport(xml, &error);
    if (!error.empty() || whole.Truncated || whole.Processes.size() != count)
        Found("a whole report was not read whole", xml, error);
    for (std::size_t i = 0; i < count; ++i) {
        const TDeadlockProcess& p = whole.Processes[i];
        if (ids[i].size() <= kDeadlockMaxField && p.Id != ids[i])
            Found("a process id changed", xml, p.Id);
        if (p.Statement != Trimmed(statements[i]))
            Found("a statement changed", xml, p.Statement);
        if (p.Victim != (i == victim))
            Found("the victim is another", xml, std::to_string(i));
        if (p.ObjectName != (waiters ? "T" + std::to_string(i) : ""))
            Found("a process waits for another resource", xml, p.ObjectName);
        for (std::size_t j = 0; j < i; ++j)
            if (whole.Processes[j].Id == p.Id)
                Found("two processes share an id", xml, p.Id);
    }

    // Cut anywhere: what stood whole before the cut stays whole; a statement cut off is the
    // start of what was written, its references resolved.
    const std::size_t cut = f[2 * count].size() % xml.size();
    const TDeadlockReport part = ParseDeadlockReport(std::string_view(xml).substr(0, cut));
    for (std::size_t i = 0; i < part.Processes.size() && i < count; ++i) {
        const std::string& got = part.Processes[i].Statement;
        const std::string expected = Trimmed(statements[i]);
        if (bufferEnds[i] <= cut ? got != expected : expected.rfind(got, 0) != 0)
            Found(bufferEnds[i] <= cut ? "a whole input buffer before the cut was lost"
                                       : "a cut statement is no start of the statement",
                  xml.substr(0, cut), got);
    }
}

// The code points of valid UTF-8; false for anything else.
bool Decode(std::string_view s, std::vector<char32_t>& out) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80       ? 1
                              : b >> 5 == 6  ? 2
                              : b >> 4 == 14 ? 3
                              : b >> 3 == 30 ? 4
                                             : 0;
        if (n == 0 || i + n > s.size())
            return false;
        char32_t c = n == 1 ? b : b & (0x3F >> (n - 1));
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if (t >> 6 != 2)
                return false;
            c = c << 6 | (t & 0x3F);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        out.push_back(c);
        i += n;
    }
    return true;
}

void Spreadsheet(std::string_view data) {
    const std::string cell = SpreadsheetText(data);
    std::vector<char32_t> chars;
    if (!Decode(cell, chars))
        Found("a cell is no UTF-8", std::string(data), cell);
    for (const char32_t c : chars)
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || (c >= 0x7F && c <= 0x9F) ||
            c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
            (c >= 0x2066 && c <= 0x2069))
            Found("a cell holds a control", std::string(data), cell);
    if (!chars.empty() &&
        std::u32string_view(U"=+-@\t\r").find(chars.front()) != std::u32string_view::npos)
        Found("a cell starts a formula", std::string(data), cell);
    // Valid text keeps its characters, in order: only some are taken out.
    std::vector<char32_t> in;
    if (Decode(data, in)) {
        std::size_t at = 0;
        for (std::size_t k = chars.empty() || chars.front() != '\'' ? 0 : 1; k < chars.size();
             ++k) {
            while (at < in.size() && in[at] != chars[k])
                ++at;
            if (at++ >= in.size())
                Found("a cell holds a character the text did not", std::string(data), cell);
        }
    }
}

void ApplicationLock(std::string_view data) {
    std::string name;
    for (const char c : data)
        if (c != 0)
            name += c;
    for (std::size_t at; (at = name.find("]:(")) != std::string::npos;)
        name.erase(at, 3);
    const std::string text = "APPLICATION: 5:0:[" + name + "]:(3c4e)";
    const TWaitResource r = DecodeWaitResource(text, {});
    const std::string expected = "Application lock" +
                                 (name.empty() ? std::string() : " \"" + name + "\"") +
                                 " in database 5";
    if (r.Kind != "APPLICATION" || r.Compile || r.Words != expected)
        Found("an application lock's name was read as something else", text, r.Words);
    DecodeWaitResource(data, {}); // anything at all: no crash
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view data(reinterpret_cast<const char*>(bytes + 1), size - 1);
    switch (bytes[0] % 4) {
    case 0:
        DeadlockReports(static_cast<std::uint8_t>(bytes[0] >> 2 | (size > 1 ? bytes[1] << 6 : 0)),
                        data);
        break;
    case 1:
        Spreadsheet(data);
        break;
    case 2:
        ApplicationLock(data);
        break;
    default:
        ParseDeadlockEvents(data); // anything at all: no crash
        break;
    }
    return 0;
}
