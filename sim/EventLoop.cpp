#include "EventLoop.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace tdssim {

EventLoop::EventLoop() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) {
        throw std::runtime_error(std::string("signalfd: ") + std::strerror(errno));
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr; // null marks the signal descriptor
    epoll_ctl(epoll_, EPOLL_CTL_ADD, signalFd_, &ev);
}

EventLoop::~EventLoop() {
    graveyard_.clear();
    if (signalFd_ >= 0) {
        close(signalFd_);
    }
    if (epoll_ >= 0) {
        close(epoll_);
    }
}

void EventLoop::add(int fd, std::uint32_t events, FdHandler* handler) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = handler;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        throw std::runtime_error(std::string("epoll_ctl add: ") + std::strerror(errno));
    }
}

void EventLoop::modify(int fd, std::uint32_t events, FdHandler* handler) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = handler;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
}

void EventLoop::remove(int fd) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

EventLoop::TimerId EventLoop::addTimer(std::chrono::milliseconds delay, std::function<void()> fn) {
    TimerId id = nextTimer_++;
    Clock::time_point due = Clock::now() + delay;
    timers_.emplace(std::make_pair(due, id), std::move(fn));
    timerDue_[id] = due;
    return id;
}

void EventLoop::cancelTimer(TimerId id) {
    auto it = timerDue_.find(id);
    if (it == timerDue_.end()) {
        return;
    }
    timers_.erase({it->second, id});
    timerDue_.erase(it);
}

void EventLoop::destroyLater(std::unique_ptr<FdHandler> handler) {
    graveyard_.push_back(std::move(handler));
}

void EventLoop::run() {
    constexpr int kMaxEvents = 64;
    epoll_event events[kMaxEvents];
    while (!stopping_) {
        int timeout = -1;
        if (!timers_.empty()) {
            auto wait = timers_.begin()->first.first - Clock::now();
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
            timeout = ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms, 1 << 30));
        }
        int n = epoll_wait(epoll_, events, kMaxEvents, timeout);
        if (n < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
        }
        for (int i = 0; i < n; ++i) {
            auto* handler = static_cast<FdHandler*>(events[i].data.ptr);
            if (!handler) {
                signalfd_siginfo info;
                while (read(signalFd_, &info, sizeof info) == sizeof info) {
                    stopping_ = true;
                }
                continue;
            }
            handler->onEvents(events[i].events);
        }
        while (!timers_.empty() && timers_.begin()->first.first <= Clock::now()) {
            auto node = timers_.extract(timers_.begin());
            timerDue_.erase(node.key().second);
            node.mapped()();
        }
        graveyard_.clear();
    }
}

} // namespace tdssim
