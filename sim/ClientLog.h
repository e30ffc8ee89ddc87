// What clients did, one JSON object per line: logins with their user, application, host,
// database and TDS version, every batch and RPC with its text, attentions, disconnects.
// Also kept in memory per instance for the control port's "log" command.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tdssim {

using LogFields = std::vector<std::pair<std::string, std::string>>;

class ClientLog {
public:
    // path empty: memory only; "-": standard error.
    explicit ClientLog(const std::string& path);
    ~ClientLog();
    ClientLog(const ClientLog&) = delete;
    ClientLog& operator=(const ClientLog&) = delete;

    bool ok() const { return ok_; }
    void write(int instance, int port, std::uint64_t connection, int spid, std::string_view event,
               const LogFields& fields);
    const std::deque<std::string>& recent(int instance) { return recent_[instance]; }
    void clear(int instance) { recent_[instance].clear(); }

private:
    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    bool ok_ = true;
    std::map<int, std::deque<std::string>> recent_;
};

} // namespace tdssim
