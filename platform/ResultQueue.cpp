#include "ResultQueue.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <memory>

TResultQueue& TResultQueue::OfThisThread() {
    // Destroyed when the thread ends, after everything that posted to it.
    thread_local std::unique_ptr<TResultQueue> queue(new TResultQueue());
    return *queue;
}

void TResultQueue::Post(QObject* receiver, std::function<void()> deliver) {
    // The caller guarantees that receiver is alive while it posts, so the guard can be made
    // here on another thread.
    std::lock_guard<std::mutex> lock(Mutex);
    Items.push_back({QPointer<QObject>(receiver), std::move(deliver)});
    if (!DrainPosted) {
        DrainPosted = true;
        QMetaObject::invokeMethod(this, &TResultQueue::Drain, Qt::QueuedConnection);
    }
}

void TResultQueue::Drain() {
    {
        std::lock_guard<std::mutex> lock(Mutex);
        DrainPosted = false;
    }
    QElapsedTimer slice;
    slice.start();
    for (;;) {
        TItem item;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (Items.empty())
                return;
            if (slice.elapsed() >= SliceMs) {
                // The rest waits for the next pass, behind what the loop has pending now.
                if (!DrainPosted) {
                    DrainPosted = true;
                    QMetaObject::invokeMethod(this, &TResultQueue::Drain, Qt::QueuedConnection);
                }
                return;
            }
            item = std::move(Items.front());
            Items.pop_front();
        }
        // A handler may run a nested event loop (a modal dialog); a drain posted meanwhile
        // goes on with the items after this one.
        if (item.Receiver)
            item.Deliver();
    }
}
