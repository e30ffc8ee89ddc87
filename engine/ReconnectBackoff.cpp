#include "ReconnectBackoff.h"

#include <algorithm>
#include <random>

namespace {

double RandomShare() {
    // Seeded per process: monitors of one process draw different shares from one sequence.
    thread_local std::minstd_rand engine{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

} // namespace

TReconnectBackoff::TReconnectBackoff() : TReconnectBackoff(Clock::now, RandomShare) {}

TReconnectBackoff::TReconnectBackoff(TNow now, TJitter jitter)
    : Now(std::move(now)), Jitter(std::move(jitter)) {}

void TReconnectBackoff::SetInterval(std::chrono::milliseconds interval) {
    Interval = std::max(interval, std::chrono::milliseconds(1));
}

bool TReconnectBackoff::Due() const {
    return Failures_ == 0 || Now() >= NextTry;
}

void TReconnectBackoff::Failed() {
    // Counted no further than the cap needs, so the doubling never overflows.
    Failures_ = std::min(Failures_ + 1, 16);
    const auto cap = Interval * CapIntervals;
    const auto wait = std::min(Interval * (std::int64_t{1} << Failures_), cap);
    const double share = std::clamp(Jitter(), 0.0, 1.0);
    const auto jittered = std::chrono::duration_cast<std::chrono::milliseconds>(
        wait - std::chrono::duration<double, std::milli>(wait) * (share / 4));
    NextTry = Now() + jittered;
}

void TReconnectBackoff::Succeeded() {
    Failures_ = 0;
    NextTry = {};
}

std::chrono::milliseconds TReconnectBackoff::Remaining() const {
    if (Failures_ == 0) {
        return std::chrono::milliseconds(0);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(NextTry - Now());
    return std::max(left, std::chrono::milliseconds(0));
}

std::string NextTryText(std::chrono::milliseconds remaining) {
    if (remaining <= std::chrono::milliseconds(0)) {
        return {};
    }
    // Whole seconds, rounded up: "in 0 s" would say a try is due.
    const long long seconds = (remaining.count() + 999) / 1000;
    if (seconds < 60) {
        std::string text = "next try in ";
        text += std::to_string(seconds);
        text += " s";
        return text;
    }
    const long long minutes = seconds / 60;
    const long long rest = seconds % 60;
    std::string text = "next try in ";
    text += std::to_string(minutes);
    text += " min";
    if (rest != 0) {
        text += ' ';
        text += std::to_string(rest);
        text += " s";
    }
    return text;
}
