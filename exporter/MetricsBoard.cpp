#include "MetricsBoard.h"

void TMetricsBoard::Publish(std::vector<TServerReport> reports) {
    auto published = std::make_shared<const std::vector<TServerReport>>(std::move(reports));
    const std::lock_guard<std::mutex> guard(Lock);
    Latest = std::move(published);
}

std::string TMetricsBoard::Render(TExpositionFormat format) const {
    std::shared_ptr<const std::vector<TServerReport>> reports;
    {
        const std::lock_guard<std::mutex> guard(Lock);
        reports = Latest;
    }
    return WriteExposition(CollectFleetMetrics(*reports, Facts), format);
}
