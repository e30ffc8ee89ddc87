#include "DeadlockParser.h"

#include "XmlControlCarrier.h"

#include <QString>
#include <QXmlStreamReader>
#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

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

// Text the reader never delivered because the document ends in it: up to the next tag, its
// references resolved and CDATA sections as they stand. A reference the cut broke is dropped.
QString RawText(QStringView text) {
    static constexpr std::pair<QStringView, char16_t> predefined[] = {
        {u"&lt;", u'<'}, {u"&gt;", u'>'}, {u"&quot;", u'"'}, {u"&apos;", u'\''}, {u"&amp;", u'&'}};
    static constexpr QStringView cdataOpen = u"<![CDATA[", cdataClose = u"]]>";
    // After the last ';' and '<' no reference is whole.
    const qsizetype lastStop = std::max(text.lastIndexOf(u';'), text.lastIndexOf(u'<'));
    QString out;
    for (qsizetype at = 0; at < text.size();) {
        const QStringView rest = text.sliced(at);
        if (rest.startsWith(cdataOpen)) {
            const qsizetype end = rest.indexOf(cdataClose);
            out += rest.sliced(cdataOpen.size(), (end < 0 ? rest.size() : end) - cdataOpen.size());
            at += end < 0 ? rest.size() : end + cdataClose.size();
            continue;
        }
        if (rest.front() == u'<')
            break;
        if (rest.front() != u'&') {
            out += rest.front();
            ++at;
            continue;
        }
        char32_t value = 0;
        if (const qsizetype length = TXmlControlCarrier::CharacterReference(rest, 0, value)) {
            if (!TXmlControlCarrier::XmlCharacter(value))
                value = 0xFFFD;
            out += QString::fromUcs4(&value, 1);
            at += length;
            continue;
        }
        const auto named = std::find_if(std::begin(predefined), std::end(predefined),
                                        [&](const auto& p) { return rest.startsWith(p.first); });
        if (named != std::end(predefined)) {
            out += QChar(named->second);
            at += named->first.size();
            continue;
        }
        if (at > lastStop)
            break; // a reference the cut broke off
        out += rest.front();
        ++at;
    }
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

    // A process id as the report's other fields refer to it. Ids cut at the field limit would
    // be taken for one another when they agree that far; a cut one gets a number of its own
    // after the cut, which makes it longer than any id that fits.
    std::string ProcessId(const char* name) {
        const QString id = Carrier.Restore(Reader.attributes().value(QLatin1StringView(name)));
        if (static_cast<std::size_t>(id.size()) <= kDeadlockMaxField)
            return id.toStdString();
        const auto [known, added] = LongIds.try_emplace(id);
        if (added)
            known->second =
                Bounded(id, kDeadlockMaxField) + "\u2026#" + std::to_string(LongIds.size());
        return known->second;
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
                LongIds.clear();
                if (const std::string victim = ProcessId("victim"); !victim.empty())
                    Victims.insert(victim); // the form before victim-list
            }
            return;
        }
        if (name == u"victimProcess") {
            Victims.insert(ProcessId("id"));
        } else if (name == u"process" && Under(u"process-list")) {
            TDeadlockProcess p;
            p.Id = ProcessId("id");
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
            (name == u"owner" ? r.Owners : r.Waiters).push_back({ProcessId("id"), Field("mode")});
        }
    }

    void End() {
        const int depth = static_cast<int>(Path.size());
        if (Capture && depth == CaptureDepth)
            Capture = nullptr;
        if (Report && depth == ProcessDepth)
            CloseProcess();
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

    void CloseProcess() {
        TDeadlockProcess& p = Report->Processes.back();
        p.Statement = Trimmed(Bounded(Carrier.Restore(Statement), kDeadlockMaxStatement));
        if (p.Statement.empty())
            p.Statement = Trimmed(Bounded(Carrier.Restore(FirstFrame), kDeadlockMaxStatement));
        Statement.clear();
        ProcessDepth = 0;
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
        if (truncated && ProcessDepth > 0) {
            // The process the cut went through keeps what it had: a capture under way gets
            // the text the reader never delivered.
            if (Capture)
                *Capture = RawText(QStringView(Prepared).sliced(CaptureFrom));
            CloseProcess();
        }
        // The first resource with a name that each process waits for, in one pass.
        std::unordered_map<std::string_view, const TDeadlockResource*> wanted;
        for (const TDeadlockResource& res : r.Resources)
            if (!res.ObjectName.empty())
                for (const TDeadlockLock& w : res.Waiters)
                    wanted.try_emplace(w.ProcessId, &res);
        for (TDeadlockProcess& p : r.Processes) {
            p.Victim = Victims.count(p.Id) != 0;
            if (const auto found = wanted.find(p.Id); found != wanted.end()) {
                p.ObjectName = found->second->ObjectName;
                p.IndexName = found->second->IndexName;
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
    TXmlControlCarrier Carrier;
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
    std::unordered_set<std::string> Victims;
    std::map<QString, std::string> LongIds; // ids longer than a field, as the report uses them
    int ProcessDepth = 0;                   // 0: no process open
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
