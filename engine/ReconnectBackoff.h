// TReconnectBackoff: when a server whose connects fail is tried again by the automatic refresh.
// Every failed connect doubles the wait, from twice the refresh interval up to 30 intervals, less
// a random share of up to a quarter so that servers that went away together do not come back
// knocking together; the first successful connect ends it. A refusing server thus costs a
// connect every few minutes instead of one per refresh. The user's own Refresh is not held back.
#pragma once

#include <chrono>
#include <functional>
#include <string>

class TReconnectBackoff {
public:
    using Clock = std::chrono::steady_clock;
    using TNow = std::function<Clock::time_point()>;
    using TJitter = std::function<double()>; // a fraction in [0, 1)

    static constexpr int CapIntervals = 30;

    TReconnectBackoff();
    // The seams for tests: the clock and the random share.
    TReconnectBackoff(TNow now, TJitter jitter);

    // The refresh interval the waits are counted in (at least 1 ms).
    void SetInterval(std::chrono::milliseconds interval);
    // Whether the automatic refresh may try a connect now.
    bool Due() const;
    void Failed();
    void Succeeded();
    int Failures() const { return Failures_; }
    // The wait left before the next automatic try; zero when one is due.
    std::chrono::milliseconds Remaining() const;

private:
    TNow Now;
    TJitter Jitter;
    std::chrono::milliseconds Interval{1000};
    int Failures_ = 0;
    Clock::time_point NextTry{};
};

// "next try in 45 s", "next try in 2 min 5 s"; empty when a try is due.
std::string NextTryText(std::chrono::milliseconds remaining);
