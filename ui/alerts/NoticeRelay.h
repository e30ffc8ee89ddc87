// Between the monitors and the notices that leave the desk: after each snapshot of a server it
// feeds that server's incident rule (TImpactRule) and turns what the rule calls for into a
// notice for the webhook and the e-mail channel, naming the worst chain's head; deadlocks a
// server reports become deadlock notices. The sending runs on the sender's own thread: nothing
// here waits for a channel. Only a blocking notice reads a statement (the head's, once, where
// the login may read it), so a calm server costs no statement at all.
#pragma once

#include "DeadlockReport.h"
#include "ImpactRule.h"
#include "Notice.h"
#include "NoticeSender.h"

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class TServerData;

class TNoticeRelay : public QObject {
    Q_OBJECT
public:
    // log adds a line to the error log; it is called on the GUI thread.
    using TLog = std::function<void(const std::string& message)>;
    explicit TNoticeRelay(TLog log, QObject* parent = nullptr);
    ~TNoticeRelay() override;

    // Reads the channels from the settings (WebhookUrl, WebhookFormat, SmtpUrl, SmtpFrom,
    // SmtpTo, SmtpUser, SmtpPassword). A channel whose settings are refused is left out and
    // said once in the log.
    void ApplySettings();
    // After every call-back of a monitor; acts once per snapshot or error.
    void ServerChanged(TServerData& server);
    void DeadlocksRead(const TServerData& server, const std::vector<TDeadlockReport>& reports);
    // The server goes away.
    void Forget(const TServerData& server);

    // The channels as the settings give them; the error of a refused one in refused.
    static std::vector<TNoticeTarget> TargetsFromSettings(std::string* refused = nullptr);

    TNoticeSender& Sender() { return *Sender_; }
    // Tests: only loopback addresses, and an authority to trust for HTTPS and SMTP.
    bool LoopbackOnly = false;
    std::string CaFile;
    TImpactRule::TClock Clock;
    // Every notice handed to the sender, oldest first (the last 100).
    const std::vector<TNotice>& Posted() const { return Posted_; }
    int StatementWaitMs = 2000;

private:
    struct TServerState {
        std::unique_ptr<TImpactRule> Rule;
        std::uint64_t Snapshots = ~std::uint64_t{0};
        bool Failed = false;
        TNotice Announced; // the head of the incident announced last
    };
    void Post(TNotice notice);
    TNotice Incident(const TServerData& server, const char* event) const;
    void PostWithStatement(TServerData& server, TNotice notice);

    TLog Log;
    std::unique_ptr<TNoticeSender> Sender_;
    std::unordered_map<const TServerData*, TServerState> States;
    std::vector<TNotice> Posted_;
    std::string LastRefusal;
    std::int64_t StartedAt = 0;
    bool HasTargets = false;
};
