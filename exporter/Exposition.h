// Writes metric families in the two formats a scraper may ask for: the Prometheus text format
// 0.0.4 and OpenMetrics 1.0 (chosen by the request's Accept header).
#pragma once

#include "MetricFamily.h"

#include <string>
#include <vector>

enum class TExpositionFormat { Text004, OpenMetrics };

// The format that an Accept header asks for: OpenMetrics when it names
// application/openmetrics-text (with any version this writer can produce), else text 0.0.4.
TExpositionFormat FormatForAccept(const std::string& accept);
// The Content-Type header value of a format.
const char* ContentTypeOf(TExpositionFormat format);

std::string WriteExposition(const std::vector<TMetricFamily>& families, TExpositionFormat format);

// A label value as both formats quote it: backslash, double quote and line feed escaped;
// bytes that are not UTF-8 become U+FFFD followed by the byte's value in hex ("<FF>"), since a
// scraper rejects the whole page otherwise; distinct names keep distinct values.
std::string EscapeLabelValue(const std::string& value);
// A sample value: integers without a fraction, "+Inf", "-Inf", "NaN", else the shortest
// text that reads back as the same double.
std::string FormatSampleValue(double value);
