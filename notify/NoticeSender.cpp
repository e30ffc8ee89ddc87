#include "NoticeSender.h"

#include <algorithm>
#include <utility>

TNoticeSender::TNoticeSender(TLog log, TSend send) : Log(std::move(log)), Send(std::move(send)) {
    if (!Send)
        Send = SendNotice;
    Worker = std::thread([this] { Run(); });
}

TNoticeSender::~TNoticeSender() {
    {
        std::lock_guard lock(Mutex);
        Stopping = true;
        Cancel = true;
    }
    Wake.notify_all();
    // A send in progress ends within its time-out; the program does not wait longer for it.
    Worker.join();
}

void TNoticeSender::SetTargets(std::vector<TNoticeTarget> targets) {
    std::lock_guard lock(Mutex);
    std::vector<TChannel> channels;
    for (TNoticeTarget& target : targets) {
        TChannel channel;
        const auto same = std::find_if(Channels.begin(), Channels.end(), [&](const TChannel& c) {
            return c.Target.Channel == target.Channel && c.Target.Url == target.Url;
        });
        if (same != Channels.end())
            channel = std::move(*same);
        channel.Target = std::move(target);
        channel.Generation = ++Generation;
        channels.push_back(std::move(channel));
    }
    Channels = std::move(channels);
    Wake.notify_all();
}

void TNoticeSender::Post(const TNotice& notice) {
    {
        std::lock_guard lock(Mutex);
        for (TChannel& channel : Channels) {
            if (channel.Queue.size() >= MaxQueued) {
                channel.Queue.pop_front();
                ++Dropped_;
            }
            channel.Queue.push_back({notice, 0});
        }
    }
    Wake.notify_all();
}

void TNoticeSender::SendTest(TNoticeTarget target, TNotice notice,
                             std::function<void(const std::string&)> done) {
    std::thread([target = std::move(target), notice = std::move(notice), done = std::move(done)] {
        done(SendNotice(target, notice));
    }).detach();
}

std::uint64_t TNoticeSender::Delivered() const {
    std::lock_guard lock(Mutex);
    return Delivered_;
}
std::uint64_t TNoticeSender::Dropped() const {
    std::lock_guard lock(Mutex);
    return Dropped_;
}
std::uint64_t TNoticeSender::Failures() const {
    std::lock_guard lock(Mutex);
    return Failures_;
}
bool TNoticeSender::Idle() const {
    std::lock_guard lock(Mutex);
    if (Sending)
        return false;
    return std::all_of(Channels.begin(), Channels.end(),
                       [](const TChannel& c) { return c.Queue.empty(); });
}

void TNoticeSender::Run() {
    std::unique_lock lock(Mutex);
    while (!Stopping) {
        const auto now = std::chrono::steady_clock::now();
        TChannel* due = nullptr;
        auto earliest = std::chrono::steady_clock::time_point::max();
        for (TChannel& channel : Channels) {
            if (channel.Queue.empty())
                continue;
            if (channel.Next <= now) {
                due = &channel;
                break;
            }
            earliest = std::min(earliest, channel.Next);
        }
        if (!due) {
            if (earliest == std::chrono::steady_clock::time_point::max())
                Wake.wait(lock);
            else
                Wake.wait_until(lock, earliest);
            continue;
        }
        // The notice leaves the queue while it is sent, so that Post never drops it midway.
        TNoticeTarget target = due->Target;
        target.Cancel = &Cancel;
        TQueued sending = std::move(due->Queue.front());
        due->Queue.pop_front();
        const std::uint64_t generation = due->Generation;
        Sending = true;
        lock.unlock();
        const std::string error = Send(target, sending.Notice);
        lock.lock();
        Sending = false;
        // The channels may have been replaced meanwhile.
        const auto it = std::find_if(Channels.begin(), Channels.end(),
                                     [&](const TChannel& c) { return c.Generation == generation; });
        if (error.empty()) {
            ++Delivered_;
            if (it != Channels.end()) {
                it->Failing = false;
                it->BackOff = std::chrono::milliseconds(0);
                it->Next = {};
            }
            continue;
        }
        ++Failures_;
        if (it == Channels.end()) {
            ++Dropped_;
            continue;
        }
        TChannel& channel = *it;
        channel.BackOff =
            channel.BackOff.count() == 0 ? FirstBackOff : std::min(channel.BackOff * 2, MaxBackOff);
        channel.Next = std::chrono::steady_clock::now() + channel.BackOff;
        if (++sending.Attempts >= MaxAttempts || channel.Queue.size() >= MaxQueued)
            ++Dropped_;
        else
            channel.Queue.push_front(std::move(sending));
        if (!std::exchange(channel.Failing, true) && Log) {
            const std::string line =
                error + ". Notices are tried again with growing pauses, and dropped while the "
                        "channel stays down";
            lock.unlock();
            Log(line);
            lock.lock();
        }
    }
}
