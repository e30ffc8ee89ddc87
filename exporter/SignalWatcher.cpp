#include "SignalWatcher.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

int Pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int signalNumber) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a stop request; nothing is lost by dropping this one.
    [[maybe_unused]] const ssize_t written = ::write(Pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TSignalWatcher::TSignalWatcher(QObject* parent) : QObject(parent) {
    if (::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("Cannot create the signal pipe");
    }
    Notifier = std::make_unique<QSocketNotifier>(Pipe[0], QSocketNotifier::Read);
    connect(Notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        int last = 0;
        while (::read(Pipe[0], &byte, 1) == 1) {
            last = byte;
        }
        if (last != 0) {
            emit StopRequested(last);
        }
    });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

TSignalWatcher::~TSignalWatcher() {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    Notifier.reset();
    ::close(Pipe[0]);
    ::close(Pipe[1]);
    Pipe[0] = Pipe[1] = -1;
}
