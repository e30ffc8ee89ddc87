// The queue that hands the ODBC pool's results to the GUI thread in slices.
#include "ResultQueue.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

bool ProcessUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

} // namespace

TEST(ResultQueue, ResultsKeepTheirOrderAndTheLoopRunsBetweenSlices) {
    TResultQueue& queue = TResultQueue::OfThisThread();
    QObject receiver;
    std::vector<std::string> seen;
    // Each result takes longer than a slice, as a burst of slow handlers would.
    std::thread pool([&] {
        for (int i = 0; i < 6; ++i)
            queue.Post(&receiver, [&seen, i] {
                seen.push_back("result " + std::to_string(i));
                std::this_thread::sleep_for(std::chrono::milliseconds(TResultQueue::SliceMs + 2));
            });
    });
    pool.join();
    // Something the event loop has to do after the burst arrived: a paint, a ping.
    QMetaObject::invokeMethod(
        &receiver, [&seen] { seen.push_back("loop"); }, Qt::QueuedConnection);
    ASSERT_TRUE(ProcessUntil([&] { return seen.size() == 7; }));

    std::vector<std::string> results;
    for (const std::string& s : seen)
        if (s != "loop")
            results.push_back(s);
    EXPECT_EQ(results, (std::vector<std::string>{"result 0", "result 1", "result 2", "result 3",
                                                 "result 4", "result 5"}));
    // The loop's own work came between the results, not after the last one.
    EXPECT_NE(seen.back(), "loop");
}

TEST(ResultQueue, AResultForAReceiverThatIsGoneIsDropped) {
    TResultQueue& queue = TResultQueue::OfThisThread();
    auto gone = std::make_unique<QObject>();
    QObject kept;
    std::vector<std::string> seen;
    queue.Post(gone.get(), [&seen] { seen.push_back("gone"); });
    queue.Post(&kept, [&seen] { seen.push_back("kept"); });
    gone.reset();
    ASSERT_TRUE(ProcessUntil([&] { return !seen.empty(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(seen, std::vector<std::string>{"kept"});
}
