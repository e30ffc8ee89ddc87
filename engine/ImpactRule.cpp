#include "ImpactRule.h"

#include <utility>

TImpactRule::TImpactRule(TClock clock) : Clock(std::move(clock)) {
    if (!Clock)
        Clock = [] { return std::chrono::system_clock::now(); };
}

bool TImpactRule::Cooling(std::chrono::system_clock::time_point last,
                          std::chrono::system_clock::time_point now,
                          const TImpactSettings& settings) const {
    // A clock set back counts as still cooling rather than as a reason to send again.
    return now - last < settings.Cooldown;
}

TNoticeEvent TImpactRule::Feed(const TImpactReading& reading, const TImpactSettings& settings) {
    if (!reading.Seeing) {
        Held_ = 0;
        return TNoticeEvent::None;
    }
    bool over = false;
    bool atOnce = false;
    if (settings.BarMs > 0) {
        over = reading.SummedWaitMs >= settings.BarMs;
        Held_ = over ? Held_ + 1 : 0;
        atOnce = reading.SummedWaitMs >= 3 * settings.BarMs || Held_ >= 3;
    } else {
        over = reading.SummedWaitMs > 0 && reading.LongestWaitMs >= settings.WarningMs;
        Held_ = over ? Held_ + 1 : 0;
        atOnce = over;
    }
    if (Active_) {
        if (over)
            return TNoticeEvent::None;
        Active_ = false;
        Held_ = 0;
        const bool announced = std::exchange(Announced_, false);
        return announced && !reading.Muted ? TNoticeEvent::Cleared : TNoticeEvent::None;
    }
    if (!over || !atOnce)
        return TNoticeEvent::None;
    Active_ = true;
    Announced_ = false;
    if (reading.Muted)
        return TNoticeEvent::None;
    const auto now = Clock();
    if (BlockingSent && Cooling(LastBlocking, now, settings))
        return TNoticeEvent::None;
    BlockingSent = true;
    LastBlocking = now;
    Announced_ = true;
    return TNoticeEvent::Blocking;
}

TNoticeEvent TImpactRule::Deadlock(bool muted, const TImpactSettings& settings) {
    if (muted)
        return TNoticeEvent::None;
    const auto now = Clock();
    if (DeadlockSent && Cooling(LastDeadlock, now, settings))
        return TNoticeEvent::None;
    DeadlockSent = true;
    LastDeadlock = now;
    return TNoticeEvent::Deadlock;
}
