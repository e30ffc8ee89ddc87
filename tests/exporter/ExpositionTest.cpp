// The two exposition formats: escaping, values, the format an Accept header picks, and how
// each format names counters and infos.
#include "Exposition.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <set>
#include <vector>

namespace {

TEST(Exposition, LabelValuesAreEscapedAndKeptValidUtf8) {
    const struct {
        std::string In;
        std::string Out;
    } cases[] = {
        {"SQL01", "SQL01"},
        {"a\"b", "a\\\"b"},
        {"C:\\inst", "C:\\\\inst"},
        {"two\nlines", "two\\nlines"},
        {"Zürich", "Zürich"},
        {std::string("bad\xff"), "bad\xef\xbf\xbd<FF>"}, // not UTF-8: U+FFFD and the byte
        {std::string("cut\xc3"), "cut\xef\xbf\xbd<C3>"},
        {std::string("\xc3\x28"), "\xef\xbf\xbd<C3>("},
        {std::string("\xed\xa0\x80"),
         "\xef\xbf\xbd<ED>\xef\xbf\xbd<A0>\xef\xbf\xbd<80>"},          // surrogate
        {std::string("\xc0\xaf"), "\xef\xbf\xbd<C0>\xef\xbf\xbd<AF>"}, // overlong
        {"a\xef\xbf\xbd", "a\xef\xbf\xbd<FFFD>"}, // a U+FFFD of the name itself
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}, // outside the BMP
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapeLabelValue(c.In), c.Out) << c.In;
    }
}

TEST(Exposition, NamesThatDifferOnlyInInvalidBytesStayDistinct) {
    const std::vector<std::string> names = {
        "SQL\xff",     "SQL\xfe", "SQL\xef\xbf\xbd", "SQL\xef\xbf\xbd<FF>",  "SQL\xc3",
        "SQL\xc3\xc3", "SQL",     "SQL\xff\xff",     "SQL\xef\xbf\xbd<FFFD>"};
    std::set<std::string> escaped;
    for (const std::string& name : names) {
        EXPECT_TRUE(escaped.insert(EscapeLabelValue(name)).second) << EscapeLabelValue(name);
    }
}

TEST(Exposition, SampleValues) {
    const struct {
        double In;
        const char* Out;
    } cases[] = {
        {0, "0"},
        {42, "42"},
        {-3, "-3"},
        {12.866, "12.866"},
        {0.1, "0.1"},
        {1796910376.4124253, "1796910376.4124253"},
        {1e300, "1e+300"},
        {std::numeric_limits<double>::infinity(), "+Inf"},
        {-std::numeric_limits<double>::infinity(), "-Inf"},
        {std::nan(""), "NaN"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatSampleValue(c.In), c.Out) << c.In;
    }
}

TEST(Exposition, AcceptHeaderPicksTheFormat) {
    const struct {
        const char* Accept;
        TExpositionFormat Format;
    } cases[] = {
        {"", TExpositionFormat::Text004},
        {"*/*", TExpositionFormat::Text004},
        {"text/plain;version=0.0.4", TExpositionFormat::Text004},
        // What Prometheus sends.
        {"application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
         "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
         TExpositionFormat::OpenMetrics},
        {"application/openmetrics-text", TExpositionFormat::OpenMetrics},
        {"Application/OpenMetrics-Text; Version=\"1.0.0\"", TExpositionFormat::OpenMetrics},
        {"application/openmetrics-text;version=2.0.0", TExpositionFormat::Text004},
        {"application/openmetrics-text;q=0", TExpositionFormat::Text004},
        {"application/openmetrics-text;q=0.2, text/plain", TExpositionFormat::Text004},
        {"text/plain;q=0.1, application/openmetrics-text;q=0.9", TExpositionFormat::OpenMetrics},
        {"application/openmetrics-text;q=bogus", TExpositionFormat::Text004},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatForAccept(c.Accept), c.Format) << c.Accept;
    }
}

std::vector<TMetricFamily> SomeFamilies() {
    TMetricFamily up{"tallyvane_up", "1 when \"up\",\nelse 0 \\", TMetricType::Gauge, "", {}};
    up.Samples.push_back({{{"server", "A"}}, 1});
    TMetricFamily errors{"tallyvane_poll_errors_total", "Errors.", TMetricType::Counter, "", {}};
    errors.Samples.push_back({{{"server", "A"}}, 3});
    TMetricFamily wait{
        "tallyvane_longest_block_wait_seconds", "Wait.", TMetricType::Gauge, "seconds", {}};
    wait.Samples.push_back({{{"server", "A"}}, 1.5});
    TMetricFamily build{"tallyvane_build_info", "Build.", TMetricType::Info, "", {}};
    build.Samples.push_back({{{"version", "1.2.3"}}, 1});
    return {up, errors, wait, build};
}

TEST(Exposition, TextFormat) {
    EXPECT_EQ(WriteExposition(SomeFamilies(), TExpositionFormat::Text004),
              "# HELP tallyvane_up 1 when \"up\",\\nelse 0 \\\\\n"
              "# TYPE tallyvane_up gauge\n"
              "tallyvane_up{server=\"A\"} 1\n"
              "# HELP tallyvane_poll_errors_total Errors.\n"
              "# TYPE tallyvane_poll_errors_total counter\n"
              "tallyvane_poll_errors_total{server=\"A\"} 3\n"
              "# HELP tallyvane_longest_block_wait_seconds Wait.\n"
              "# TYPE tallyvane_longest_block_wait_seconds gauge\n"
              "tallyvane_longest_block_wait_seconds{server=\"A\"} 1.5\n"
              "# HELP tallyvane_build_info Build.\n"
              "# TYPE tallyvane_build_info gauge\n"
              "tallyvane_build_info{version=\"1.2.3\"} 1\n");
}

TEST(Exposition, OpenMetricsFormat) {
    EXPECT_EQ(WriteExposition(SomeFamilies(), TExpositionFormat::OpenMetrics),
              "# TYPE tallyvane_up gauge\n"
              "# HELP tallyvane_up 1 when \\\"up\\\",\\nelse 0 \\\\\n"
              "tallyvane_up{server=\"A\"} 1\n"
              "# TYPE tallyvane_poll_errors counter\n"
              "# HELP tallyvane_poll_errors Errors.\n"
              "tallyvane_poll_errors_total{server=\"A\"} 3\n"
              "# TYPE tallyvane_longest_block_wait_seconds gauge\n"
              "# UNIT tallyvane_longest_block_wait_seconds seconds\n"
              "# HELP tallyvane_longest_block_wait_seconds Wait.\n"
              "tallyvane_longest_block_wait_seconds{server=\"A\"} 1.5\n"
              "# TYPE tallyvane_build info\n"
              "# HELP tallyvane_build Build.\n"
              "tallyvane_build_info{version=\"1.2.3\"} 1\n"
              "# EOF\n");
    EXPECT_EQ(WriteExposition({}, TExpositionFormat::OpenMetrics), "# EOF\n");
}

} // namespace
