// One metric family as a scrape writes it: name, help, type, unit and its samples. The
// exporter assembles a fresh set of families for every scrape; Exposition writes them out.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Info: a gauge of value 1 whose labels carry facts; its name ends in "_info".
enum class TMetricType { Gauge, Counter, Info };

struct TMetricSample {
    // Label name and value pairs in the order they are written; values are UTF-8 text.
    std::vector<std::pair<std::string, std::string>> Labels;
    double Value = 0;
};

struct TMetricFamily {
    // The family's name as the text format writes it; a counter's ends in "_total", an info's
    // in "_info".
    std::string Name;
    std::string Help;
    TMetricType Type = TMetricType::Gauge;
    // "seconds" when the name ends in "_seconds" (OpenMetrics writes a UNIT line for it).
    std::string Unit;
    std::vector<TMetricSample> Samples;
};
