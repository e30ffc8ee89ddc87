// The metric families of one scrape, assembled from the fleet's servers as they are now. Every
// per-server series carries one label, "server"; SPIDs, logins and statements never become
// labels, so a scrape grows with the number of servers and nothing else.
#pragma once

#include "FleetServer.h"
#include "MetricFamily.h"

#include <string>
#include <vector>

struct TExporterFacts {
    std::string Version;
    double WarningThresholdSeconds = 0;
    double PollIntervalSeconds = 0;
};

std::vector<TMetricFamily> CollectFleetMetrics(const std::vector<TServerReport>& servers,
                                               const TExporterFacts& facts);
