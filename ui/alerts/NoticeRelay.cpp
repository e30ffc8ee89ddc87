#include "NoticeRelay.h"

#include "BlockingSummary.h"
#include "DeadlockNotices.h"
#include "NoticeUrl.h"
#include "ServerData.h"
#include "Settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <QTimer>
#include <utility>

namespace {

std::int64_t NowMs(const TImpactRule::TClock& clock) {
    if (clock)
        return std::chrono::duration_cast<std::chrono::milliseconds>(clock().time_since_epoch())
            .count();
    return QDateTime::currentMSecsSinceEpoch();
}

// The chain that hurts most: the largest summed wait, then the most sessions.
const TBlockingChain* ChainByImpact(const TBlockingAnalysis& analysis) {
    const TBlockingChain* worst = nullptr;
    for (const TBlockingChain& chain : analysis.Heads())
        if (!worst || chain.TotalWait > worst->TotalWait ||
            (chain.TotalWait == worst->TotalWait && chain.Blocked > worst->Blocked))
            worst = &chain;
    return worst;
}

TImpactSettings RuleSettings() {
    return {std::int64_t{ImpactAlertSeconds} * 1000, std::int64_t{WarningTimeout},
            std::chrono::seconds(NotifyCooldown)};
}

} // namespace

TNoticeRelay::TNoticeRelay(TLog log, QObject* parent) : QObject(parent), Log(std::move(log)) {
    StartedAt = QDateTime::currentMSecsSinceEpoch();
    QPointer<TNoticeRelay> self(this);
    Sender_ = std::make_unique<TNoticeSender>([self](const std::string& line) {
        // From the sending thread to the GUI thread's error log.
        QMetaObject::invokeMethod(
            qApp,
            [self, line] {
                if (self && self->Log)
                    self->Log(line);
            },
            Qt::QueuedConnection);
    });
}

TNoticeRelay::~TNoticeRelay() = default;

std::vector<TNoticeTarget> TNoticeRelay::TargetsFromSettings(std::string* refused) {
    std::vector<TNoticeTarget> targets;
    std::string why;
    if (!WebhookUrl.empty()) {
        TNoticeTarget t;
        t.Channel = TNoticeChannel::Webhook;
        t.Url = WebhookUrl;
        const auto format = WebhookFormatFromName(WebhookFormat);
        if (const std::string bad = CheckNoticeUrl(t.Url, t.Channel); !bad.empty())
            why = bad;
        else if (!format)
            why = "The webhook format \"" + WebhookFormat.substr(0, 16) +
                  "\" is none of json, slack and teams";
        else {
            t.Format = *format;
            targets.push_back(std::move(t));
        }
    }
    if (!SmtpUrl.empty()) {
        TNoticeTarget t;
        t.Channel = TNoticeChannel::Mail;
        t.Url = SmtpUrl;
        t.From = SmtpFrom;
        t.To = SmtpTo;
        t.User = SmtpUser;
        t.Password = SmtpPassword;
        std::string bad = CheckNoticeUrl(t.Url, t.Channel);
        if (bad.empty()) {
            try {
                CheckMailAddresses(t.From, "The sender (SmtpFrom)");
                CheckMailAddresses(t.To, "The recipients (SmtpTo)");
            } catch (const std::exception& error) {
                bad = error.what();
            }
        }
        if (bad.empty())
            targets.push_back(std::move(t));
        else
            why += (why.empty() ? "" : "; ") + bad;
    }
    if (refused)
        *refused = why;
    return targets;
}

void TNoticeRelay::ApplySettings() {
    std::string refused;
    std::vector<TNoticeTarget> targets = TargetsFromSettings(&refused);
    for (TNoticeTarget& t : targets) {
        t.LoopbackOnly = LoopbackOnly;
        t.CaFile = CaFile;
    }
    HasTargets = !targets.empty();
    Sender_->SetTargets(std::move(targets));
    if (!refused.empty() && refused != LastRefusal && Log)
        Log(refused + ": no notices go there");
    LastRefusal = refused;
}

void TNoticeRelay::Forget(const TServerData& server) {
    States.erase(&server);
}

TNotice TNoticeRelay::Incident(const TServerData& server, const char* event) const {
    TNotice n;
    n.Event = event;
    n.Server = server.Info.Name;
    n.TimeMs = NowMs(Clock);
    const TBlockingAnalysis& analysis = server.Analysis();
    n.Blocked = analysis.BlockedSessions();
    n.SummedWaitMs = analysis.TotalWait();
    n.LongestWaitMs = analysis.LongestWaiter() >= 0
                          ? std::int64_t{analysis.Session(analysis.LongestWaiter()).Wait()}
                          : 0;
    if (const TBlockingChain* chain = ChainByImpact(analysis)) {
        const TBlockingSession& head = analysis.Session(chain->Session);
        n.HeadSpid = head.Spid;
        if (head.FirstRow) {
            n.Login = head.FirstRow->LoginName;
            n.Host = head.FirstRow->HostName;
            n.Program = head.FirstRow->ProgramName;
        }
    }
    return n;
}

void TNoticeRelay::ServerChanged(TServerData& server) {
    TServerState& state = States[&server];
    if (!state.Rule)
        state.Rule = std::make_unique<TImpactRule>(Clock);
    const bool failed = server.State == 2;
    // Once per snapshot, and once per failure.
    if (failed ? state.Failed : server.Snapshots == state.Snapshots)
        return;
    state.Failed = failed;
    state.Snapshots = server.Snapshots;
    if (!server.Enabled)
        return;
    TImpactReading reading;
    reading.Seeing = !failed;
    reading.Muted = server.Muted();
    if (!failed) {
        const TBlockingAnalysis& analysis = server.Analysis();
        reading.SummedWaitMs = analysis.TotalWait();
        reading.LongestWaitMs =
            analysis.LongestWaiter() >= 0 ? analysis.Session(analysis.LongestWaiter()).Wait() : 0;
    }
    const TNoticeEvent event = state.Rule->Feed(reading, RuleSettings());
    if (event == TNoticeEvent::Blocking) {
        TNotice notice = Incident(server, "blocking");
        state.Announced = notice;
        PostWithStatement(server, std::move(notice));
    } else if (event == TNoticeEvent::Cleared) {
        TNotice notice = Incident(server, "cleared");
        // The head of the incident that ended, with the figures as they are now.
        notice.HeadSpid = state.Announced.HeadSpid;
        notice.Login = state.Announced.Login;
        notice.Host = state.Announced.Host;
        notice.Program = state.Announced.Program;
        notice.Statement = state.Announced.Statement;
        Post(std::move(notice));
    }
}

void TNoticeRelay::PostWithStatement(TServerData& server, TNotice notice) {
    const bool mayRead = server.IsSysAdmin || server.CanViewServerState;
    if (!HasTargets || !notice.HeadSpid || !mayRead) {
        Post(std::move(notice));
        return;
    }
    // The notice goes when the statement has come, or without it after StatementWaitMs.
    auto pending = std::make_shared<TNotice>(std::move(notice));
    QPointer<TNoticeRelay> self(this);
    const TServerData* monitor = &server;
    const auto give = [self, pending, monitor](const std::string* text) {
        if (!self || pending->Event.empty())
            return;
        if (text)
            pending->Statement = *text;
        if (auto it = self->States.find(monitor);
            it != self->States.end() && it->second.Announced.HeadSpid == pending->HeadSpid)
            it->second.Announced.Statement = pending->Statement;
        self->Post(std::exchange(*pending, TNotice{}));
    };
    bool asked = false;
    try {
        asked = server.RequestInputBuffer(*pending->HeadSpid, give);
    } catch (const std::exception&) {
        asked = false;
    }
    if (!asked) {
        give(nullptr);
        return;
    }
    QTimer::singleShot(StatementWaitMs, this, [give] { give(nullptr); });
}

void TNoticeRelay::DeadlocksRead(const TServerData& server,
                                 const std::vector<TDeadlockReport>& reports) {
    // Reports from before the start are the server's old news; the history has them.
    const TDeadlockReport* newest = nullptr;
    for (const TDeadlockReport& report : reports)
        if (report.Time >= StartedAt - TDeadlockNotices::ClockSlackMs &&
            (!newest || report.Time >= newest->Time))
            newest = &report;
    if (!newest)
        return;
    TServerState& state = States[&server];
    if (!state.Rule)
        state.Rule = std::make_unique<TImpactRule>(Clock);
    if (state.Rule->Deadlock(server.Muted(), RuleSettings()) != TNoticeEvent::Deadlock)
        return;
    TNotice n;
    n.Event = "deadlock";
    n.Server = server.Info.Name;
    n.TimeMs = newest->Time;
    for (const TDeadlockProcess& p : newest->Processes) {
        if (p.Victim && !n.VictimSpid) {
            n.VictimSpid = p.Spid;
            n.Login = p.LoginName;
            n.Host = p.HostName;
            n.Program = p.ProgramName;
            n.Statement = p.Statement;
        } else if (!p.Victim) {
            n.Survivors.push_back(p.Spid);
        }
    }
    Post(std::move(n));
}

void TNoticeRelay::Post(TNotice notice) {
    if (!HasTargets)
        return;
    if (Posted_.size() >= 100)
        Posted_.erase(Posted_.begin());
    Posted_.push_back(notice);
    Sender_->Post(notice);
}
