// Windows: the console's control events stand in for the signals. Ctrl+C gives SIGINT;
// Ctrl+Break, closing the console, logoff and shutdown give SIGTERM. The handler runs on a
// thread of its own, so it only queues the request for the event loop.
#include "SignalWatcher.h"

#include <QMetaObject>
#include <atomic>
#include <csignal>
#include <stdexcept>
#include <windows.h>

namespace {

std::atomic<TSignalWatcher*> Watcher{nullptr};
HANDLE Stopped = nullptr; // set when the watcher goes, i.e. the exporter has stopped

BOOL WINAPI OnConsoleEvent(DWORD event) {
    TSignalWatcher* watcher = Watcher.load();
    if (watcher == nullptr) {
        return FALSE;
    }
    const int number = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    QMetaObject::invokeMethod(
        watcher, [watcher, number] { emit watcher->StopRequested(number); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process when this returns: give the exporter the time it has
        // (about five seconds) to stop its monitors first.
        ::WaitForSingleObject(Stopped, 4500);
    }
    return TRUE;
}

} // namespace

TSignalWatcher::TSignalWatcher(QObject* parent) : QObject(parent) {
    Stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (Stopped == nullptr) {
        throw std::runtime_error("Cannot create the stop event");
    }
    Watcher.store(this);
    if (!::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE)) {
        Watcher.store(nullptr);
        throw std::runtime_error("Cannot install the console control handler");
    }
}

TSignalWatcher::~TSignalWatcher() {
    Watcher.store(nullptr);
    ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    ::SetEvent(Stopped);
}
