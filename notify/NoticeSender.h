// Sends notices on a thread of its own, so that neither the GUI nor a refresh ever waits for a
// webhook or a mail server. Each channel has its own queue of at most MaxQueued notices (the
// oldest goes when it is full), so a channel that is down never fills the memory. A failed
// send is tried again after a pause that doubles from FirstBackOff up to MaxBackOff; after
// MaxAttempts tries the notice is dropped. One thread sends for every channel, so a channel
// that hangs holds the other up for at most its time-out. The first failure of an outage goes to
// the log once, and nothing more until the channel has delivered again.
#pragma once

#include "Notice.h"
#include "NoticeTransport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TNoticeSender {
public:
    // Called on the sending thread with a line for the error log (no secrets in it).
    using TLog = std::function<void(const std::string& message)>;
    // The sending itself; SendNotice unless a test puts another in.
    using TSend = std::function<std::string(const TNoticeTarget&, const TNotice&)>;
    explicit TNoticeSender(TLog log, TSend send = {});
    // Stops the thread without waiting for a send beyond its time-out; queued notices go.
    ~TNoticeSender();
    TNoticeSender(const TNoticeSender&) = delete;
    TNoticeSender& operator=(const TNoticeSender&) = delete;

    // The channels to send to. A channel kept with the same URL keeps its queue.
    void SetTargets(std::vector<TNoticeTarget> targets);
    // Queues the notice for every channel and returns at once.
    void Post(const TNotice& notice);
    // One try at once on a thread of its own; done gets "" or the error, on that thread.
    static void SendTest(TNoticeTarget target, TNotice notice,
                         std::function<void(const std::string& error)> done);

    std::size_t MaxQueued = 16;
    int MaxAttempts = 5;
    std::chrono::milliseconds FirstBackOff{2000};
    std::chrono::milliseconds MaxBackOff{std::chrono::minutes(5)};

    std::uint64_t Delivered() const;
    std::uint64_t Dropped() const;
    std::uint64_t Failures() const;
    // Nothing queued and nothing being sent (tests).
    bool Idle() const;

private:
    struct TQueued {
        TNotice Notice;
        int Attempts = 0;
    };
    struct TChannel {
        TNoticeTarget Target;
        std::deque<TQueued> Queue;
        std::chrono::steady_clock::time_point Next{};
        std::chrono::milliseconds BackOff{0};
        bool Failing = false;
        std::uint64_t Generation = 0;
    };
    void Run();

    TLog Log;
    TSend Send;
    mutable std::mutex Mutex;
    std::condition_variable Wake;
    std::vector<TChannel> Channels;
    bool Stopping = false;
    std::atomic<bool> Cancel{false}; // ends a send in progress when the sender goes
    bool Sending = false;
    std::uint64_t Generation = 0;
    std::uint64_t Delivered_ = 0, Dropped_ = 0, Failures_ = 0;
    std::thread Worker;
};
