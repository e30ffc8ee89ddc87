#include "StatusSummary.h"

#include "BlockingSummary.h"
#include "DisplayText.h"
#include "ServerData.h"

#include <QDateTime>
#include <QLocale>

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
    }
    return text + MuteText(server);
}

QString TrayToolTip(const QString& caption, const std::vector<TServerData*>& servers,
                    int maxLength) {
    const TServerData* worst = nullptr;
    int worstWait = -1;
    for (const TServerData* s : servers) {
        if (!s->Enabled || s->State == 0)
            continue;
        if (s->State == 2) {
            if (!worst || worst->State != 2)
                worst = s;
            continue;
        }
        if (worst && worst->State == 2)
            continue;
        const int wait = s->MaxWaitTime; // the monitor's own figure: no walk over the rows
        if (wait > worstWait) {
            worst = s;
            worstWait = wait;
        }
    }
    QString tip = caption;
    if (worst)
        tip += '\n' + ServerSummary(*worst);
    if (tip.size() > maxLength)
        tip = tip.left(maxLength - 1) + QChar(0x2026);
    return tip;
}
