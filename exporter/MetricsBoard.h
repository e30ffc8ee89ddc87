// The figures the endpoint serves: the fleet's thread publishes copies of its server reports,
// the endpoint's thread renders whatever was published last. Scrapes so never wait for the
// polls' handling, and polls never wait for a scrape.
#pragma once

#include "Exposition.h"
#include "FleetMetrics.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TMetricsBoard {
public:
    explicit TMetricsBoard(TExporterFacts facts) : Facts(std::move(facts)) {}

    // Any thread.
    void Publish(std::vector<TServerReport> reports);
    std::string Render(TExpositionFormat format) const;

private:
    const TExporterFacts Facts;
    mutable std::mutex Lock;
    std::shared_ptr<const std::vector<TServerReport>> Latest =
        std::make_shared<const std::vector<TServerReport>>();
};
