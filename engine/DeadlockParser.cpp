#include "DeadlockParser.h"

#include <QString>
#include <QXmlStreamReader>
#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

namespace {

bool ForbiddenControl(char32_t c) {
    return c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D;
}

// XML 1.0 forbids most C0 controls, even written as "&#x1;", yet a statement may hold them and
// servers write them so. They pass the XML reader as characters of a private-use block the
// document does not use otherwise and turn back into themselves when a field is taken. NUL
// becomes U+FFFD: no field should carry a string terminator.
class TControlCarrier {
public:
    // The text the XML reader gets; `original` itself when it holds no such control.
    QString Prepare(const QString& original) {
        if (!NeedsCarrying(original))
            return original;
        PickBase(original);
        QString out;
        out.reserve(original.size());
        qsizetype shift = 0;
        for (qsizetype at = 0; at < original.size();) {
            const char16_t c = original[at].unicode();
            if (c < 0x20 && ForbiddenControl(c)) {
                out += Carried(c);
                ++at;
                continue;
            }
            char32_t value = 0;
            const qsizetype length = CharacterReference(original, at, value);
            if (length > 0 && ForbiddenControl(value)) {
                out += Carried(value);
                shift += length - 1;
                Shifts.emplace_back(out.size(), shift);
                at += length;
                continue;
            }
            out += QChar(c);
            ++at;
        }
        return out;
    }

    // A field's text with the carried controls restored.
    QString Restore(QStringView field) const {
        QString out = field.toString();
        if (Base == 0)
            return out;
        for (QChar& c : out)
            if (c.unicode() >= Base && c.unicode() < Base + 0x20)
                c = QChar(static_cast<char16_t>(c.unicode() - Base));
        return out;
    }

    // An offset in the prepared text as an offset in the original.
    qsizetype Original(qsizetype offset) const {
        const auto after = std::upper_bound(
            Shifts.begin(), Shifts.end(), offset,
            [](qsizetype o, const std::pair<qsizetype, qsizetype>& s) { return o < s.first; });
        return after == Shifts.begin() ? offset : offset + std::prev(after)->second;
    }

private:
    static bool NeedsCarrying(const QString& text) {
        for (qsizetype at = 0; at < text.size(); ++at) {
            const char16_t c = text[at].unicode();
            if (c < 0x20 && ForbiddenControl(c))
                return true;
            char32_t value = 0;
            if (c == u'&' && CharacterReference(text, at, value) > 0 && ForbiddenControl(value))
                return true;
        }
        return false;
    }

    // "&#x1B;" or "&#27;" at `at`: its length and value; 0 when there is none.
    static qsizetype CharacterReference(const QString& text, qsizetype at, char32_t& value) {
        if (at + 3 >= text.size() || text[at] != u'&' || text[at + 1] != u'#')
            return 0;
        qsizetype i = at + 2;
        const bool hex = text[i] == u'x';
        if (hex)
            ++i;
        const qsizetype digitsFrom = i;
        std::uint32_t v = 0;
        for (; i < text.size() && i - digitsFrom < 8; ++i) {
            const char16_t c = text[i].unicode();
            int d = -1;
            if (c >= u'0' && c <= u'9')
                d = c - u'0';
            else if (hex && c >= u'a' && c <= u'f')
                d = c - u'a' + 10;
            else if (hex && c >= u'A' && c <= u'F')
                d = c - u'A' + 10;
            if (d < 0)
                break;
            v = v * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
        }
        if (i == digitsFrom || i >= text.size() || text[i] != u';')
            return 0;
        value = v;
        return i + 1 - at;
    }

    // The first block of 32 private-use characters the document uses nowhere, raw or as a
    // reference; with none free the controls become U+FFFD.
    void PickBase(const QString& text) {
        constexpr char32_t first = 0xE000, blocks = 0x1900 / 0x20;
        std::vector<bool> used(blocks, false);
        auto mark = [&](char32_t c) {
            if (c >= first && c < first + blocks * 0x20)
                used[(c - first) / 0x20] = true;
        };
        for (qsizetype at = 0; at < text.size(); ++at) {
            mark(text[at].unicode());
            char32_t value = 0;
            if (CharacterReference(text, at, value) > 0)
                mark(value);
        }
        for (char32_t b = 0; b < blocks; ++b)
            if (!used[b]) {
                Base = static_cast<char16_t>(first + b * 0x20);
                return;
            }
    }

    QChar Carried(char32_t control) const {
        if (control == 0 || Base == 0)
            return QChar(0xFFFD);
        return QChar(static_cast<char16_t>(Base + control));
    }

    char16_t Base = 0;
    // (offset in the prepared text from which on, what to add for the original), ascending
    std::vector<std::pair<qsizetype, qsizetype>> Shifts;
};

std::string Bounded(const QString& text, std::size_t limit) {
    QStringView view(text);
    if (static_cast<std::size_t>(view.size()) > limit) {
        view = view.first(static_cast<qsizetype>(limit));
        if (!view.isEmpty() && view.back().isHighSurrogate())
            view.chop(1);
    }
    return view.toString().toStdString();
}

std::string Trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// Text the reader never delivered because the document ends in it: up to the next tag, the
// predefined entities resolved.
QString RawText(QStringView text) {
    const qsizetype tag = text.indexOf(u'<');
    QString out = (tag < 0 ? text : text.first(tag)).toString();
    for (const auto& [entity, c] :
         {std::pair{u"&lt;", u'<'}, std::pair{u"&gt;", u'>'}, std::pair{u"&quot;", u'"'},
          std::pair{u"&apos;", u'\''}, std::pair{u"&amp;", u'&'}})
        out.replace(QString::fromUtf16(entity), QChar(c));
    return out;
}

enum class TScope { Events, OneReport };

class TDeadlockXmlReader {
public:
    TDeadlockXmlReader(std::string_view xml, TScope scope) : Scope(scope) {
        if (xml.size() > kDeadlockMaxXmlBytes) {
            xml = xml.substr(0, kDeadlockMaxXmlBytes);
            CutAtLimit = true;
        }
        Original = QString::fromUtf8(xml.data(), static_cast<qsizetype>(xml.size()));
        Prepared = Carrier.Prepare(Original);
        Reader.addData(Prepared);
        Reader.setNamespaceProcessing(false);
    }

    void Run() {
        while (!Reader.atEnd() && !Done) {
            const QXmlStreamReader::TokenType token = Reader.readNext();
            switch (token) {
            case QXmlStreamReader::DTD:
            case QXmlStreamReader::EntityReference:
                Refuse("a document type declaration is refused");
                break;
            case QXmlStreamReader::StartElement:
                if (static_cast<int>(Path.size()) >= kDeadlockMaxDepth)
                    Refuse("elements nest deeper than " + std::to_string(kDeadlockMaxDepth) +
                           " levels");
                else
                    Start();
                break;
            case QXmlStreamReader::EndElement:
                End();
                break;
            case QXmlStreamReader::Characters:
                if (Capture)
                    Text(Reader.text());
                break;
            default:
                break;
            }
        }
        if (Refused) {
            Reports.clear();
            return;
        }
        if (Reader.hasError()) {
            if (Report)
                Finish(Original.size(), true);
            Error = "the XML breaks off at line " + std::to_string(Reader.lineNumber()) +
                    ", column " + std::to_string(Reader.columnNumber()) + ": " +
                    Reader.errorString().toStdString();
        }
        if (CutAtLimit)
            Error = "the XML is longer than " + std::to_string(kDeadlockMaxXmlBytes) +
                    " bytes; read up to there";
    }

    std::vector<TDeadlockReport> Reports;
    std::string Error;

private:
    void Refuse(std::string why) {
        Refused = true;
        Done = true;
        Error = std::move(why);
    }

    QString Attribute(const char* name) const {
        return Reader.attributes().value(QLatin1StringView(name)).toString();
    }
    std::string Field(const char* name) const {
        return Bounded(Carrier.Restore(Reader.attributes().value(QLatin1StringView(name))),
                       kDeadlockMaxField);
    }

    bool Under(QStringView parent) const {
        return Path.size() >= 2 && Path[Path.size() - 2] == parent;
    }

    void Start() {
        const QString name = Reader.name().toString();
        Path.push_back(name);
        const int depth = static_cast<int>(Path.size());
        if (!Report) {
            if (Scope == TScope::Events && name == u"event") {
                const QString event = Attribute("name");
                InDeadlockEvent =
                    event == u"xml_deadlock_report" || event == u"database_xml_deadlock_report";
                EventTime = 0;
                if (InDeadlockEvent)
                    ParseDeadlockTimestamp(Attribute("timestamp").toStdString(), EventTime);
            }
            if (name == u"deadlock" && (Scope == TScope::OneReport || InDeadlockEvent)) {
                Report.emplace();
                Report->Time = Scope == TScope::Events ? EventTime : 0;
                ReportDepth = depth;
                // The reader stands after the start tag, whose text holds no other '<'.
                ReportStart = Prepared.lastIndexOf(u'<', Reader.characterOffset() - 1);
                Victims.clear();
                if (const std::string victim = Field("victim"); !victim.empty())
                    Victims.push_back(victim); // the form before victim-list
            }
            return;
        }
        if (name == u"victimProcess") {
            Victims.push_back(Field("id"));
        } else if (name == u"process" && Under(u"process-list")) {
            TDeadlockProcess p;
            p.Id = Field("id");
            p.Spid = Attribute("spid").toInt();
            p.LoginName = Field("loginname");
            p.HostName = Field("hostname");
            p.ProgramName = Field("clientapp");
            p.DBName = Field("currentdbname");
            p.LockMode = Field("lockMode");
            p.WaitResource = Field("waitresource");
            Report->Processes.push_back(std::move(p));
            ProcessDepth = depth;
            FirstFrame.clear();
            FrameSeen = false;
        } else if (ProcessDepth > 0 && name == u"inputbuf") {
            StartCapture(&Statement, depth);
        } else if (ProcessDepth > 0 && name == u"frame" && !FrameSeen) {
            FrameSeen = true;
            StartCapture(&FirstFrame, depth);
        } else if (Under(u"resource-list")) {
            TDeadlockResource r;
            r.Kind = Bounded(name, kDeadlockMaxField);
            r.ObjectName = Field("objectname");
            r.IndexName = Field("indexname");
            r.WaitType = Field("WaitType");
            Report->Resources.push_back(std::move(r));
            ResourceDepth = depth;
        } else if (ResourceDepth > 0 && (name == u"owner" || name == u"waiter")) {
            TDeadlockResource& r = Report->Resources.back();
            (name == u"owner" ? r.Owners : r.Waiters).push_back({Field("id"), Field("mode")});
        }
    }

    void End() {
        const int depth = static_cast<int>(Path.size());
        if (Capture && depth == CaptureDepth)
            Capture = nullptr;
        if (Report && depth == ProcessDepth) {
            TDeadlockProcess& p = Report->Processes.back();
            p.Statement = Trimmed(Bounded(Carrier.Restore(Statement), kDeadlockMaxStatement));
            if (p.Statement.empty())
                p.Statement = Trimmed(Bounded(Carrier.Restore(FirstFrame), kDeadlockMaxStatement));
            Statement.clear();
            ProcessDepth = 0;
        }
        if (Report && depth == ResourceDepth)
            ResourceDepth = 0;
        if (Report && depth == ReportDepth) {
            Finish(Carrier.Original(Reader.characterOffset()), false);
            if (Scope == TScope::OneReport)
                Done = true;
        }
        if (!Path.empty() && Path.back() == u"event")
            InDeadlockEvent = false;
        if (!Path.empty())
            Path.pop_back();
    }

    void StartCapture(QString* into, int depth) {
        Capture = into;
        Capture->clear();
        CaptureDepth = depth;
        CaptureFrom = Reader.characterOffset();
    }

    void Text(QStringView text) {
        const qsizetype room = static_cast<qsizetype>(kDeadlockMaxStatement) + 1 - Capture->size();
        if (room > 0)
            Capture->append(text.first(std::min(room, text.size())));
    }

    // Closes the open report; `end` is its end in the original text.
    void Finish(qsizetype end, bool truncated) {
        TDeadlockReport& r = *Report;
        if (truncated && Capture == &Statement && !r.Processes.empty()) {
            const QString text = RawText(QStringView(Prepared).mid(CaptureFrom));
            r.Processes.back().Statement =
                Trimmed(Bounded(Carrier.Restore(text), kDeadlockMaxStatement));
        }
        for (TDeadlockProcess& p : r.Processes) {
            p.Victim = std::find(Victims.begin(), Victims.end(), p.Id) != Victims.end();
            for (const TDeadlockResource& res : r.Resources) {
                const bool waits =
                    std::any_of(res.Waiters.begin(), res.Waiters.end(),
                                [&](const TDeadlockLock& w) { return w.ProcessId == p.Id; });
                if (waits && !res.ObjectName.empty()) {
                    p.ObjectName = res.ObjectName;
                    p.IndexName = res.IndexName;
                    break;
                }
            }
        }
        const qsizetype start = Carrier.Original(ReportStart);
        r.Xml = QStringView(Original)
                    .mid(start, std::max<qsizetype>(0, end - start))
                    .toString()
                    .toStdString();
        r.Truncated = truncated;
        Reports.push_back(std::move(r));
        Report.reset();
        ProcessDepth = ResourceDepth = ReportDepth = 0;
        Capture = nullptr;
    }

    TScope Scope;
    QString Original;
    QString Prepared; // what the reader reads: Original with its controls carried
    TControlCarrier Carrier;
    QXmlStreamReader Reader;
    bool CutAtLimit = false;
    bool Refused = false;
    bool Done = false;

    std::vector<QString> Path; // the open elements' names
    bool InDeadlockEvent = false;
    std::int64_t EventTime = 0;

    std::optional<TDeadlockReport> Report; // the open report
    int ReportDepth = 0;
    qsizetype ReportStart = 0; // in the prepared text
    std::vector<std::string> Victims;
    int ProcessDepth = 0; // 0: no process open
    int ResourceDepth = 0;
    bool FrameSeen = false;
    QString Statement, FirstFrame;
    QString* Capture = nullptr; // the text being collected, null when none
    int CaptureDepth = 0;
    qsizetype CaptureFrom = 0; // where its text starts in the prepared text
};

bool Digits(std::string_view t, std::size_t at, std::size_t n, int& out) {
    if (at + n > t.size())
        return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (t[i] < '0' || t[i] > '9')
            return false;
        out = out * 10 + (t[i] - '0');
    }
    return true;
}

} // namespace

bool ParseDeadlockTimestamp(std::string_view t, std::int64_t& msSince1970) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!Digits(t, 0, 4, y) || t.size() < 19 || t[4] != '-' || !Digits(t, 5, 2, mo) ||
        t[7] != '-' || !Digits(t, 8, 2, d) || (t[10] != 'T' && t[10] != ' ') ||
        !Digits(t, 11, 2, h) || t[13] != ':' || !Digits(t, 14, 2, mi) || t[16] != ':' ||
        !Digits(t, 17, 2, s))
        return false;
    std::size_t at = 19;
    int ms = 0;
    if (at < t.size() && t[at] == '.') {
        const std::size_t from = ++at;
        while (at < t.size() && t[at] >= '0' && t[at] <= '9') {
            if (at - from < 3)
                ms = ms * 10 + (t[at] - '0');
            ++at;
        }
        if (at == from)
            return false;
        for (std::size_t n = at - from; n < 3; ++n)
            ms *= 10;
    }
    int offsetMinutes = 0;
    if (at < t.size() && t[at] == 'Z') {
        ++at;
    } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
        int oh = 0, om = 0;
        if (!Digits(t, at + 1, 2, oh) || at + 3 >= t.size() || t[at + 3] != ':' ||
            !Digits(t, at + 4, 2, om) || oh > 23 || om > 59)
            return false;
        offsetMinutes = (t[at] == '-' ? -1 : 1) * (oh * 60 + om);
        at += 6;
    }
    if (at != t.size() || h > 23 || mi > 59 || s > 59)
        return false;
    const std::chrono::year_month_day date{std::chrono::year(y),
                                           std::chrono::month(static_cast<unsigned>(mo)),
                                           std::chrono::day(static_cast<unsigned>(d))};
    if (!date.ok())
        return false;
    const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    msSince1970 =
        ((days * 24 + h) * 60 + mi) * 60'000LL + s * 1000LL + ms - offsetMinutes * 60'000LL;
    return true;
}

std::vector<TDeadlockReport> ParseDeadlockEvents(std::string_view targetData, std::string* error) {
    TDeadlockXmlReader reader(targetData, TScope::Events);
    reader.Run();
    if (error)
        *error = reader.Error;
    return std::move(reader.Reports);
}

TDeadlockReport ParseDeadlockReport(std::string_view deadlockXml, std::string* error) {
    TDeadlockXmlReader reader(deadlockXml, TScope::OneReport);
    reader.Run();
    if (reader.Reports.empty() && reader.Error.empty())
        reader.Error = "no <deadlock> element";
    if (error)
        *error = reader.Error;
    return reader.Reports.empty() ? TDeadlockReport{} : std::move(reader.Reports.front());
}
