// Hands the ODBC pool's results to the thread that waits for them, a few milliseconds' worth
// per pass of that thread's event loop. When hundreds of servers answer at once, the window
// still paints and answers its window manager between the slices instead of after the last
// result. Results keep the order in which they were posted. Private to the platform layer.
#pragma once

#include <QObject>
#include <QPointer>
#include <deque>
#include <functional>
#include <mutex>

class TResultQueue : public QObject {
    Q_OBJECT
public:
    // How long one slice may run before the event loop gets its turn.
    static constexpr int SliceMs = 4;

    // The queue of the calling thread, made on first use; it lives as long as the thread.
    static TResultQueue& OfThisThread();

    // Any thread: call deliver on this queue's thread, unless receiver is gone by then.
    void Post(QObject* receiver, std::function<void()> deliver);

private:
    TResultQueue() = default;
    void Drain();

    struct TItem {
        QPointer<QObject> Receiver;
        std::function<void()> Deliver;
    };
    std::mutex Mutex;
    std::deque<TItem> Items;  // guarded by Mutex
    bool DrainPosted = false; // guarded by Mutex
};
