// One epoll loop for every socket of the process, with timers. It blocks in epoll_wait
// until something happens, so idle instances cost no CPU.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace tdssim {

class FdHandler {
public:
    virtual ~FdHandler() = default;
    virtual void onEvents(std::uint32_t events) = 0;
};

class EventLoop {
public:
    using TimerId = std::uint64_t;
    using Clock = std::chrono::steady_clock;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void add(int fd, std::uint32_t events, FdHandler* handler);
    void modify(int fd, std::uint32_t events, FdHandler* handler);
    void remove(int fd);

    TimerId addTimer(std::chrono::milliseconds delay, std::function<void()> fn);
    void cancelTimer(TimerId id);

    // Destroys the object after the current round of events, so that events already
    // fetched for it find it alive (and find it marked dead by its own close()).
    void destroyLater(std::unique_ptr<FdHandler> handler);

    // Runs until stop(); a SIGINT or SIGTERM also stops it.
    void run();
    void stop() { stopping_ = true; }

private:
    int epoll_ = -1;
    int signalFd_ = -1;
    bool stopping_ = false;
    TimerId nextTimer_ = 1;
    std::map<std::pair<Clock::time_point, TimerId>, std::function<void()>> timers_;
    std::map<TimerId, Clock::time_point> timerDue_;
    std::vector<std::unique_ptr<FdHandler>> graveyard_;
};

} // namespace tdssim
