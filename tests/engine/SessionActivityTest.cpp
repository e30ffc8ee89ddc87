// Ages from the server's time texts: what parses, what is refused, and a time ahead of the
// server's clock.
#include "SessionActivity.h"

#include <gtest/gtest.h>

TEST(SessionActivityTest, AgesBetweenServerTimes) {
    struct TCase {
        const char* From;
        const char* To;
        std::optional<std::int64_t> Ms;
    } cases[] = {
        {"2026-12-11 02:07:13.123", "2026-12-11 02:21:13.123", 840'000},
        {"2026-12-11 23:59:59.997", "2026-12-12 00:00:00.000", 3},              // across midnight
        {"2028-02-28 12:00:00.000", "2028-03-01 12:00:00.000", 2 * 86'400'000}, // leap year
        {"2026-12-11 02:07:13", "2026-12-11 02:07:14.5", 1'500},                // fewer digits
        {"1753-01-01 00:00:00.000", "9999-12-31 23:59:59.997", 260'250'105'599'997},
        {"2026-12-11 02:07:14.000", "2026-12-11 02:07:13.500", 0},            // rounding: now
        {"2026-12-11 02:10:00.000", "2026-12-11 02:07:13.000", std::nullopt}, // ahead
        {"", "2026-12-11 02:07:13.000", std::nullopt},                        // NULL
        {"2026-02-30 00:00:00.000", "2026-12-11 02:07:13.000", std::nullopt},
        {"2026-13-01 00:00:00.000", "2026-12-11 02:07:13.000", std::nullopt},
        {"2026-12-11 24:00:00.000", "2026-12-11 02:07:13.000", std::nullopt},
        {"2026-12-11T02:07:13.000", "2026-12-11 02:07:13.000", std::nullopt},
        {"2026-12-11 02:07:13.0000", "2026-12-11 02:07:13.000", std::nullopt},
        {"2026-12-11 02:07:13.", "2026-12-11 02:07:13.000", std::nullopt},
        {"2026-12-11 02:07:1x.000", "2026-12-11 02:07:13.000", std::nullopt},
        {"+026-12-11 02:07:13.000", "2026-12-11 02:07:13.000", std::nullopt},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.From) + " -> " + c.To);
        EXPECT_EQ(AgeBetween(c.From, c.To), c.Ms);
    }
}
