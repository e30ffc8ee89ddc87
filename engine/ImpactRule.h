// When a server's blocking is worth telling someone who is not at the desk, and when it is over.
//
// Each refresh of a server gives one reading: whether the snapshot could be read and shows
// every session, whether the server is muted, the summed wait of its blocked sessions and the
// longest of those waits. Two rules decide that an incident begins:
// - by impact (Bar > 0): the summed wait at or above the bar fires at once at three times the
//   bar, otherwise once it has held for three readings in a row. Routine short blocks that
//   come and go never add up to the bar, so they stay quiet;
// - without a bar, the warning rule: a blocked session has waited WarningMs or longer.
// The incident ends ("cleared") at the first reading that no longer meets its rule. A reading
// that cannot see (error, login without VIEW SERVER STATE) changes nothing: an incident is
// neither begun nor ended by what the program cannot see, and the count of readings in a row
// starts again afterwards.
//
// Notices: a "blocking" notice at most once per Cooldown per server, and a "cleared" only for
// an incident whose "blocking" notice went out; a deadlock notice at most once per Cooldown.
// A muted server sends nothing, and an incident that began while muted stays unannounced.
// The clock is a seam for the tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

enum class TNoticeEvent { None, Blocking, Cleared, Deadlock };

struct TImpactReading {
    bool Seeing = true;
    bool Muted = false;
    std::int64_t SummedWaitMs = 0;
    std::int64_t LongestWaitMs = 0;
};

struct TImpactSettings {
    std::int64_t BarMs = 0;     // 0: the warning rule decides
    std::int64_t WarningMs = 0; // the warning threshold
    std::chrono::seconds Cooldown{600};
};

class TImpactRule {
public:
    using TClock = std::function<std::chrono::system_clock::time_point()>;
    explicit TImpactRule(TClock clock = {});

    // The notice this reading calls for, None for none.
    TNoticeEvent Feed(const TImpactReading& reading, const TImpactSettings& settings);
    // A deadlock was reported: Deadlock when a notice is due, None otherwise.
    TNoticeEvent Deadlock(bool muted, const TImpactSettings& settings);

    // An incident is going on (announced or not).
    bool Active() const { return Active_; }
    // Its "blocking" notice went out.
    bool Announced() const { return Announced_; }
    int Held() const { return Held_; }

private:
    bool Cooling(std::chrono::system_clock::time_point last,
                 std::chrono::system_clock::time_point now, const TImpactSettings& settings) const;

    TClock Clock;
    bool Active_ = false;
    bool Announced_ = false;
    int Held_ = 0; // readings in a row at or above the bar
    bool BlockingSent = false, DeadlockSent = false;
    std::chrono::system_clock::time_point LastBlocking{}, LastDeadlock{};
};
