// The incident rule behind the notices, driven through a table of readings with a clock that
// the test moves: what each reading sends.
#include "ImpactRule.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct TStep {
    int AtSeconds;          // the clock at this reading
    std::int64_t SummedMs;  // summed blocked wait
    std::int64_t LongestMs; // longest blocked wait
    char Sight;             // 's' sees, 'b' blind (error or no VIEW SERVER STATE), 'm' muted
    TNoticeEvent Expected;
};

struct TCase {
    const char* Name;
    TImpactSettings Settings;
    std::vector<TStep> Steps;
};

constexpr auto N = TNoticeEvent::None;
constexpr auto B = TNoticeEvent::Blocking;
constexpr auto C = TNoticeEvent::Cleared;

const TImpactSettings kBar60{60'000, 3000, 600s};
const TImpactSettings kWarning{0, 3000, 600s};

const std::vector<TCase> kCases = {
    {"a spike at three times the bar fires at once, and clears below the bar",
     kBar60,
     {{0, 0, 0, 's', N},
      {10, 180'000, 90'000, 's', B},
      {20, 200'000, 100'000, 's', N},
      {30, 59'999, 30'000, 's', C},
      {40, 0, 0, 's', N}}},
    {"a plateau just over the bar fires on its third reading in a row",
     kBar60,
     {{0, 60'000, 20'000, 's', N},
      {10, 70'000, 25'000, 's', N},
      {20, 80'000, 30'000, 's', B},
      {30, 90'000, 35'000, 's', N},
      {40, 0, 0, 's', C}}},
    {"flapping around the bar never holds three readings and stays quiet",
     kBar60,
     {{0, 61'000, 0, 's', N},
      {10, 59'000, 0, 's', N},
      {20, 61'000, 0, 's', N},
      {30, 62'000, 0, 's', N},
      {40, 10'000, 0, 's', N},
      {50, 61'000, 0, 's', N}}},
    {"flapping across the bar after an incident: the cooldown holds the second one back, and "
     "its end is not announced",
     kBar60,
     {{0, 200'000, 0, 's', B},
      {10, 0, 0, 's', C},
      {20, 200'000, 0, 's', N},
      {30, 0, 0, 's', N},
      {700, 200'000, 0, 's', B},
      {710, 0, 0, 's', C}}},
    {"a muted server sends nothing, and an incident begun while muted is never announced",
     kBar60,
     {{0, 200'000, 0, 'm', N},
      {10, 200'000, 0, 's', N},
      {20, 0, 0, 's', N},
      {30, 200'000, 0, 's', B},
      {40, 200'000, 0, 'm', N},
      {50, 0, 0, 'm', N},
      {60, 0, 0, 's', N}}},
    {"a server going blind mid-incident neither clears nor fires until it sees again",
     kBar60,
     {{0, 200'000, 0, 's', B},
      {10, 0, 0, 'b', N},
      {20, 0, 0, 'b', N},
      {30, 200'000, 0, 's', N},
      {40, 0, 0, 'b', N},
      {50, 0, 0, 's', C}}},
    {"blindness breaks a run of readings over the bar",
     kBar60,
     {{0, 70'000, 0, 's', N},
      {10, 70'000, 0, 's', N},
      {20, 0, 0, 'b', N},
      {30, 70'000, 0, 's', N},
      {40, 70'000, 0, 's', N},
      {50, 70'000, 0, 's', B}}},
    {"without a bar the warning threshold decides, at once",
     kWarning,
     {{0, 2'999, 2'999, 's', N},
      {1, 3'000, 3'000, 's', B},
      {2, 9'000, 5'000, 's', N},
      {3, 2'000, 2'000, 's', C},
      {4, 4'000, 4'000, 's', N}}},
    {"a clock set back counts as cooling",
     kWarning,
     {{100, 5'000, 5'000, 's', B}, {101, 0, 0, 's', C}, {50, 5'000, 5'000, 's', N}}},
};

TEST(ImpactRule, TableOfCases) {
    for (const TCase& c : kCases) {
        std::chrono::system_clock::time_point now{};
        TImpactRule rule([&now] { return now; });
        int i = 0;
        for (const TStep& step : c.Steps) {
            now = std::chrono::system_clock::time_point{} + std::chrono::seconds(step.AtSeconds);
            const TImpactReading reading{step.Sight != 'b', step.Sight == 'm', step.SummedMs,
                                         step.LongestMs};
            EXPECT_EQ(static_cast<int>(rule.Feed(reading, c.Settings)),
                      static_cast<int>(step.Expected))
                << c.Name << ", reading " << i;
            ++i;
        }
    }
}

TEST(ImpactRule, DeadlocksOncePerCooldownAndNotWhileMuted) {
    std::chrono::system_clock::time_point now{};
    TImpactRule rule([&now] { return now; });
    EXPECT_EQ(rule.Deadlock(true, kWarning), N);
    EXPECT_EQ(rule.Deadlock(false, kWarning), TNoticeEvent::Deadlock);
    now += 599s;
    EXPECT_EQ(rule.Deadlock(false, kWarning), N);
    now += 1s;
    EXPECT_EQ(rule.Deadlock(false, kWarning), TNoticeEvent::Deadlock);
}

} // namespace
