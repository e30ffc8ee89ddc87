#include "StatusSummary.h"

#include "BlockingAnalysis.h"
#include "BlockingSummary.h"
#include "DisplayText.h"
#include "ServerData.h"

#include <QDateTime>
#include <QLocale>
#include <algorithm>

namespace {

QString Plural(int n, const char* one, const char* many) {
    return QString::number(n) + ' ' + QString::fromLatin1(n == 1 ? one : many);
}

QString MuteText(const TServerData& server) {
    if (!server.Muted())
        return QString();
    if (server.MutedUntil == std::chrono::system_clock::time_point::max())
        return QStringLiteral(" · muted until restart");
    const auto until =
        std::chrono::duration_cast<std::chrono::milliseconds>(server.MutedUntil.time_since_epoch());
    return " · muted until " +
           QLocale().toString(QDateTime::fromMSecsSinceEpoch(until.count()).time(),
                              QLocale::ShortFormat);
}

// " · 2 blocking cycles (SPIDs 80 ↔ 81; 82 → 83 → 84)": a cycle has no head, so the head
// count alone would hide it.
QString CyclesText(const TBlockingAnalysis& analysis) {
    const auto& cycles = analysis.Cycles();
    if (cycles.empty())
        return QString();
    constexpr std::size_t kNamed = 3;
    QStringList named;
    for (std::size_t i = 0; i < cycles.size() && i < kNamed; ++i) {
        QStringList spids;
        for (std::int32_t m = cycles[i].Begin; m < cycles[i].End; ++m)
            spids << QString::number(
                analysis.Session(analysis.CycleMembers()[static_cast<std::size_t>(m)]).Spid);
        named << spids.join(spids.size() == 2 ? QStringLiteral(" ↔ ") : QStringLiteral(" → "));
    }
    QString text = " · " +
                   Plural(static_cast<int>(cycles.size()), "blocking cycle", "blocking cycles") +
                   " (SPIDs " + named.join(QStringLiteral("; "));
    if (cycles.size() > kNamed)
        text += QStringLiteral("; …");
    return text + ')';
}

} // namespace

QString ServerSummary(const TServerData& server) {
    const QString name = DisplayText(server.Info.Name);
    QString text;
    if (!server.Enabled)
        text = name + " · monitoring off";
    else if (server.State == 2 && server.SeesOnlyOwnSession)
        text = name + " · " + QString::fromStdString(server.OwnSessionOnlyText());
    else if (server.State == 2)
        text = name + " · error (see the error log)";
    else if (server.ProcessList.Count() == 0 && server.Busy)
        text = name + " · connecting…";
    else {
        const TBlockingSummary s = SummarizeBlocking(server.Analysis());
        text = name + " · " + Plural(s.Sessions, "session", "sessions") + " · " +
               Plural(s.HeadBlockers, "head blocker", "head blockers") + " · " +
               QString::number(s.Blocked) + " blocked";
        if (s.Blocked > 0) {
            QLocale locale;
            locale.setNumberOptions(QLocale::OmitGroupSeparator);
            text += " · longest wait " + locale.toString(s.LongestWait / 1000.0, 'f', 1) +
                    " s (SPID " + QString::number(s.LongestWaiter) + " ← " +
                    QString::number(s.LongestBlocker) + ")";
        }
        text += CyclesText(server.Analysis());
    }
    return text + MuteText(server);
}

namespace {

// One line of server text: runs of white space as one blank, controls shown as codes, at most
// max characters.
QString Field(const std::string& text, int max) {
    QString line = DisplayText(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).simplified());
    if (line.size() > max)
        line = line.left(max - 1) + QChar(0x2026);
    return line;
}

QString Field(const QString& text, int max) {
    return Field(text.toStdString(), max);
}

QString Seconds(std::int64_t ms) {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(static_cast<double>(ms) / 1000.0, 'f', 1) + " s";
}

// The chain to report: the longest wait, then the most sessions held up.
const TBlockingChain* WorstChain(const TBlockingAnalysis& analysis) {
    const TBlockingChain* worst = nullptr;
    for (const TBlockingChain& chain : analysis.Heads())
        if (!worst || chain.LongestWait > worst->LongestWait ||
            (chain.LongestWait == worst->LongestWait && chain.Blocked > worst->Blocked))
            worst = &chain;
    return worst;
}

struct TTipEntry {
    const TServerData* Server;
    int Group; // 0 blocking, 1 error, 2 muted blocking, 3 muted error
    std::int32_t Wait;
};

QString TipLine(const TTipEntry& e) {
    const TServerData& s = *e.Server;
    QString line = Field(s.Info.Name, 40) + ": ";
    if (e.Group == 0 || e.Group == 2) {
        const TBlockingSummary sum = SummarizeBlocking(s.Analysis());
        line += QString::number(sum.Blocked) + " blocked, longest wait " + Seconds(sum.LongestWait);
    } else if (s.SeesOnlyOwnSession) {
        line += "sees only its own session";
    } else {
        line += "error";
    }
    if (e.Group >= 2)
        line += " (muted)";
    return line;
}

} // namespace

int IncidentHeadSpid(const TServerData& server) {
    const TBlockingAnalysis& analysis = server.Analysis();
    const TBlockingChain* chain = WorstChain(analysis);
    return chain ? analysis.Session(chain->Session).Spid : 0;
}

QString IncidentStatement(const QString& statement) {
    return Field(statement, 90);
}

QString IncidentText(const TServerData& server) {
    const TBlockingAnalysis& analysis = server.Analysis();
    const TBlockingSummary sum = SummarizeBlocking(analysis);
    if (sum.Blocked == 0)
        return QString();
    const TBlockingChain* chain = WorstChain(analysis);
    if (!chain)
        // A cycle, or sessions blocked from outside the snapshot: no head to name.
        return QString::number(sum.Blocked) + " blocked, longest wait " + Seconds(sum.LongestWait) +
               " (SPID " + QString::number(sum.LongestWaiter) + " ← " +
               QString::number(sum.LongestBlocker) + ")";
    const TBlockingSession& head = analysis.Session(chain->Session);
    QString text = "Head blocker SPID " + QString::number(head.Spid);
    if (head.FirstRow && !Field(head.FirstRow->LoginName, 1).isEmpty())
        text += " · " + Field(head.FirstRow->LoginName, 32);
    if (head.FirstRow && !Field(head.FirstRow->ProgramName, 1).isEmpty())
        text += " · " + Field(head.FirstRow->ProgramName, 40);
    text += '\n' + QString::number(chain->Blocked) + " blocked, longest wait " +
            Seconds(chain->LongestWait);
    if (sum.Blocked > chain->Blocked)
        text += " (" + QString::number(sum.Blocked) + " blocked in all)";
    return text;
}

QString TrayToolTip(const QString& caption, const std::vector<TServerData*>& servers,
                    int maxLength) {
    std::vector<TTipEntry> entries;
    for (const TServerData* s : servers) {
        if (!s->Enabled || s->State == 0)
            continue;
        const int muted = s->Muted() ? 2 : 0;
        if (s->State == 2)
            entries.push_back({s, 1 + muted, 0});
        else if (s->Analysis().BlockedSessions() > 0)
            entries.push_back({s, muted, SummarizeBlocking(s->Analysis()).LongestWait});
    }
    std::stable_sort(entries.begin(), entries.end(), [](const TTipEntry& a, const TTipEntry& b) {
        return a.Group != b.Group ? a.Group < b.Group : a.Wait > b.Wait;
    });
    QString tip = caption;
    const auto more = [](std::size_t n) { return "\n+" + QString::number(n) + " more"; };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const QString line = '\n' + TipLine(entries[i]);
        const std::size_t left = entries.size() - i - 1;
        const qsizetype room = maxLength - (left > 0 ? more(left).size() : 0);
        if (tip.size() + line.size() <= room) {
            tip += line;
            continue;
        }
        if (i == 0) {
            tip += line; // the worst server is named, cut below if need be
            ++i;
        }
        if (i < entries.size()) {
            // The rest by name, as many as fit after the count.
            QString rest = more(entries.size() - i);
            for (std::size_t k = i; k < entries.size(); ++k) {
                const QString name = (k == i ? QStringLiteral(": ") : QStringLiteral(", ")) +
                                     Field(entries[k].Server->Info.Name, 40);
                const bool last = k + 1 == entries.size();
                // Room is kept for the ", …" that says some are left unnamed.
                if (tip.size() + rest.size() + name.size() + (last ? 0 : 3) > maxLength) {
                    if (k > i)
                        rest += QStringLiteral(", …");
                    break;
                }
                rest += name;
            }
            if (tip.size() + rest.size() <= maxLength)
                tip += rest;
        }
        break;
    }
    if (tip.size() > maxLength)
        tip = tip.left(maxLength - 1) + QChar(0x2026);
    return tip;
}
