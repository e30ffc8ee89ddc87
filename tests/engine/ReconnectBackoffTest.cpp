// When the automatic refresh tries a failing server again: the schedule of waits under a test
// clock, the random share's bounds, the reset on success, and the tooltip's words.
#include "ReconnectBackoff.h"

#include <gtest/gtest.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = TReconnectBackoff::Clock;

namespace {

struct TestClock {
    Clock::time_point Now{Clock::duration(1'000'000'000)};
};

struct ScheduleCase {
    const char* Name;
    std::chrono::milliseconds Interval;
    double Share;                                 // the random share every failure draws
    std::vector<std::chrono::milliseconds> Waits; // after the 1st, 2nd, ... failure in a row
};

// The longest interval the settings allow: 2, 4, 8, 16 intervals, then the cap for good.
std::vector<std::chrono::milliseconds> ManyFailures() {
    std::vector<std::chrono::milliseconds> waits = {65535s * 2, 65535s * 4, 65535s * 8,
                                                    65535s * 16};
    waits.resize(70, 65535s * 30);
    return waits;
}

} // namespace

TEST(ReconnectBackoff, WaitsDoubleUpToThirtyIntervalsLessAtMostAQuarter) {
    const std::vector<ScheduleCase> cases = {
        {"no share", 1s, 0.0, {2s, 4s, 8s, 16s, 30s, 30s, 30s}},
        {"largest share", 1s, 0.999999, {1500ms, 3s, 6s, 12s, 22500ms, 22500ms}},
        {"half share", 10s, 0.5, {17500ms, 35s, 70s, 140s, 262500ms, 262500ms}},
        {"long interval", 3600s, 0.0, {7200s, 14400s, 28800s, 57600s, 108000s}},
        {"a share out of range is clamped", 1s, 7.0, {1500ms, 3s}},
        // Many failures in a row never overflow the doubling: the wait stays at the cap.
        {"many failures", 65535s, 0.0, ManyFailures()},
    };
    for (const ScheduleCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TestClock clock;
        TReconnectBackoff backoff([&] { return clock.Now; }, [&] { return c.Share; });
        backoff.SetInterval(c.Interval);
        EXPECT_TRUE(backoff.Due());
        for (std::size_t i = 0; i < c.Waits.size(); ++i) {
            SCOPED_TRACE(i + 1);
            backoff.Failed();
            EXPECT_EQ(backoff.Remaining(), c.Waits[i]);
            EXPECT_FALSE(backoff.Due());
            clock.Now += c.Waits[i] - 1ms;
            EXPECT_FALSE(backoff.Due());
            EXPECT_EQ(backoff.Remaining(), 1ms);
            clock.Now += 1ms;
            EXPECT_TRUE(backoff.Due());
            EXPECT_EQ(backoff.Remaining(), 0ms);
        }
    }
}

TEST(ReconnectBackoff, TheFirstSuccessEndsTheWaitAndStartsTheScheduleAgain) {
    TestClock clock;
    TReconnectBackoff backoff([&] { return clock.Now; }, [] { return 0.0; });
    backoff.SetInterval(5s);
    backoff.Failed();
    backoff.Failed();
    backoff.Failed();
    EXPECT_EQ(backoff.Remaining(), 40s);
    backoff.Succeeded();
    EXPECT_TRUE(backoff.Due());
    EXPECT_EQ(backoff.Failures(), 0);
    EXPECT_EQ(backoff.Remaining(), 0ms);
    backoff.Failed();
    EXPECT_EQ(backoff.Remaining(), 10s);
}

TEST(ReconnectBackoff, AZeroIntervalStillWaits) {
    TestClock clock;
    TReconnectBackoff backoff([&] { return clock.Now; }, [] { return 0.0; });
    backoff.SetInterval(0ms);
    backoff.Failed();
    EXPECT_FALSE(backoff.Due());
    EXPECT_EQ(backoff.Remaining(), 2ms);
}

TEST(ReconnectBackoff, TheRealRandomShareStaysWithinAQuarterAndVaries) {
    std::vector<std::chrono::milliseconds> waits;
    for (int i = 0; i < 50; ++i) {
        TReconnectBackoff backoff;
        backoff.SetInterval(1000s);
        backoff.Failed();
        waits.push_back(backoff.Remaining());
    }
    bool varies = false;
    for (const auto wait : waits) {
        EXPECT_GE(wait, 1499s);
        EXPECT_LE(wait, 2000s);
        varies = varies || wait != waits.front();
    }
    EXPECT_TRUE(varies);
}

TEST(ReconnectBackoff, NextTryTextRoundsUpToWholeSeconds) {
    const std::vector<std::pair<std::chrono::milliseconds, std::string>> cases = {
        {0ms, ""},
        {-5ms, ""},
        {1ms, "next try in 1 s"},
        {1000ms, "next try in 1 s"},
        {1001ms, "next try in 2 s"},
        {59s, "next try in 59 s"},
        {60s, "next try in 1 min"},
        {125s, "next try in 2 min 5 s"},
        {30min, "next try in 30 min"},
    };
    for (const auto& [remaining, text] : cases) {
        EXPECT_EQ(NextTryText(remaining), text) << remaining.count();
    }
}
