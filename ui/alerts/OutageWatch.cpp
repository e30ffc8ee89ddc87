#include "OutageWatch.h"

#include "ServerData.h"

TOutageWatch::TChange TOutageWatch::Update(const TServerData& server, const QDateTime& now) {
    if (!server.Enabled) {
        // Switched off: whatever happens next starts afresh.
        States.erase(&server);
        return TChange::None;
    }
    TState& state = States[&server];
    if (server.State != 2) {
        // Only a snapshot read proves that it answers; a step before the first one does not.
        if (server.Snapshots == 0)
            return TChange::None;
        state.Answered = true;
        if (!state.Down)
            return TChange::None;
        state.Down = false;
        return TChange::Recovered;
    }
    if (!state.Answered || state.Down || server.SeesOnlyOwnSession)
        return TChange::None;
    state.Down = true;
    state.Since = now;
    return TChange::Down;
}

QDateTime TOutageWatch::DownSince(const TServerData& server) const {
    const auto it = States.find(&server);
    return it == States.end() ? QDateTime() : it->second.Since;
}

bool TOutageWatch::IsDown(const TServerData& server) const {
    const auto it = States.find(&server);
    return it != States.end() && it->second.Down;
}

void TOutageWatch::Forget(const TServerData& server) {
    States.erase(&server);
}
