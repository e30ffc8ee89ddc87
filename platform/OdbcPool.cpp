#include "OdbcPool.h"

#include <algorithm>
#include <iterator>
#include <thread>
#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

namespace {

// The pool's threads give way to the GUI thread when both want a processor: reading hundreds of
// answers at once must not delay a repaint. They mostly wait for servers anyway.
void LowerThisThreadsPriority() {
#if defined(__linux__)
    // On Linux the nice value belongs to the thread.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
#endif
}

} // namespace

// A thread whose task has run this long counts as held up (by a silent server, as a rule).
constexpr auto StuckAfter = std::chrono::milliseconds(100);
constexpr auto IdleEnd = std::chrono::seconds(30);
constexpr std::size_t MostThreads = 256;

} // namespace

TOdbcPool& TOdbcPool::Instance() {
    // Never destroyed: its threads may still wait in a driver call when the process ends.
    static TOdbcPool* pool = new TOdbcPool();
    return *pool;
}

TOdbcPool::TOdbcPool()
    : Kept(std::max<std::size_t>(4, 2 * std::thread::hardware_concurrency())), Limit(MostThreads) {
    std::thread([this] { Watch(); }).detach();
}

std::size_t TOdbcPool::ThreadCount() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Threads;
}

void TOdbcPool::Schedule(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(Mutex);
    const bool wasEmpty = Tasks.empty();
    Tasks.push_back({Clock::now(), std::move(task)});
    if (Idle == 0 && Threads < Kept) {
        StartThread();
    }
    lock.unlock();
    Work.notify_one();
    if (wasEmpty) {
        Waiting.notify_one(); // the watch looks after queued tasks
    }
}

// Under Mutex.
void TOdbcPool::StartThread() {
    ++Threads;
    Slots.emplace_back();
    std::thread([this, slot = std::prev(Slots.end())] { Run(slot); }).detach();
}

// Under Mutex.
std::size_t TOdbcPool::HeldUp(Clock::time_point now) const {
    std::size_t n = 0;
    for (const TSlot& slot : Slots) {
        if (slot.Busy != Clock::time_point::max() && now - slot.Busy >= StuckAfter) {
            ++n;
        }
    }
    return n;
}

void TOdbcPool::Run(std::list<TSlot>::iterator slot) {
    LowerThisThreadsPriority();
    std::unique_lock<std::mutex> lock(Mutex);
    for (;;) {
        if (Tasks.empty()) {
            ++Idle;
            const bool woken = Work.wait_for(lock, IdleEnd, [this] { return !Tasks.empty(); });
            --Idle;
            if (!woken && Threads > Kept) {
                --Threads;
                Slots.erase(slot);
                return;
            }
            continue;
        }
        TTask task = std::move(Tasks.front());
        Tasks.pop_front();
        slot->Busy = Clock::now();
        lock.unlock();
        task.Run();
        task.Run = nullptr; // what the task holds goes before the lock is taken again
        lock.lock();
        slot->Busy = Clock::time_point::max();
    }
}

void TOdbcPool::Watch() {
    std::unique_lock<std::mutex> lock(Mutex);
    for (;;) {
        if (Tasks.empty()) {
            Waiting.wait(lock);
            continue;
        }
        // Tasks wait: enough threads must be free to work, not held up in one call.
        if (Idle == 0 && Threads - HeldUp(Clock::now()) < Kept && Threads < Limit) {
            StartThread();
            continue;
        }
        Waiting.wait_for(lock, StuckAfter / 5);
    }
}
