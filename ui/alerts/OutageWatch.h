// Tells when a server that has answered stops answering (a hang that ends in a time-out, a
// refusal, a failed login), once per outage, and when it answers again. A server that never
// answered since the start has no outage: it is simply in error. A login that lost VIEW SERVER
// STATE still answers; that is no outage either.
#pragma once

#include <QDateTime>
#include <unordered_map>

class TServerData;

class TOutageWatch {
public:
    enum class TChange { None, Down, Recovered };

    // Looks at the server after one of its steps; now is the moment of the call. Down comes
    // once per outage, Recovered once when it ends (DownSince still tells when it began).
    TChange Update(const TServerData& server, const QDateTime& now);
    // When the server's latest outage began (also once it has ended); invalid when it had none.
    QDateTime DownSince(const TServerData& server) const;
    bool IsDown(const TServerData& server) const;
    // The server goes away: nothing of it is kept.
    void Forget(const TServerData& server);

private:
    struct TState {
        bool Answered = false;
        bool Down = false;
        QDateTime Since;
    };
    std::unordered_map<const TServerData*, TState> States;
};
