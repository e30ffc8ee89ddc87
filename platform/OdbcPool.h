// The threads that make the blocking ODBC calls of every connection. Private to the platform
// layer.
//
// A thread per connection does not scale: hundreds of servers meant hundreds of threads waking
// at once on every refresh and competing with the GUI thread, and a failed connect tore its
// thread down only for the next refresh to start another. The pool keeps a few threads and
// reuses them. A thread that waits on a silent server is held up for that call's time-out, so
// when tasks queue up while threads are held up in one call for long, the pool adds threads
// until a few are free to work again (up to a bound): a hung server costs its own connection's
// time-out, never another server's turn. Threads merely busy (or waiting for a CPU on a loaded
// machine) are not replaced: more of them would only compete for the same cores. Threads that
// stay idle for a while end, down to the few kept.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>

class TOdbcPool {
public:
    // The process's pool; it lives until the process ends.
    static TOdbcPool& Instance();

    // Runs the task on a pool thread, in the order of scheduling.
    void Schedule(std::function<void()> task);

    // Figures for tests and benchmarks.
    std::size_t ThreadCount();

private:
    using Clock = std::chrono::steady_clock;
    // One thread: when its present task began; Clock::time_point::max() while idle.
    struct TSlot {
        Clock::time_point Busy = Clock::time_point::max();
    };
    struct TTask {
        Clock::time_point Queued;
        std::function<void()> Run;
    };

    TOdbcPool();
    void StartThread();
    void Run(std::list<TSlot>::iterator slot);
    void Watch();
    std::size_t HeldUp(Clock::time_point now) const;

    std::mutex Mutex;
    std::condition_variable Work;
    std::condition_variable Waiting; // the watch: tasks wait for a thread
    std::deque<TTask> Tasks;
    std::list<TSlot> Slots; // one per thread
    std::size_t Threads = 0;
    std::size_t Idle = 0;
    std::size_t Kept;  // threads that never end
    std::size_t Limit; // threads at most
};
