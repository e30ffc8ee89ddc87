// Bounded waits for tests whose results arrive through the Qt event loop.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <functional>

namespace tallyvane::testsupport {

// Dispatches events until the condition holds or the deadline passes; returns the condition.
inline bool SpinUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() >= timeout.count()) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

} // namespace tallyvane::testsupport
