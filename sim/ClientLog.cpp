#include "ClientLog.h"

#include "TextUtil.h"

#include <chrono>
#include <ctime>

namespace tdssim {

namespace {

constexpr std::size_t kKeptPerInstance = 10000;

std::string timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t secs = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return buf;
}

} // namespace

ClientLog::ClientLog(const std::string& path) {
    if (path == "-") {
        file_ = stderr;
    } else if (!path.empty()) {
        file_ = std::fopen(path.c_str(), "a");
        ownsFile_ = true;
        ok_ = file_ != nullptr;
    }
}

ClientLog::~ClientLog() {
    if (ownsFile_ && file_) {
        std::fclose(file_);
    }
}

void ClientLog::write(int instance, int port, std::uint64_t connection, int spid,
                      std::string_view event, const LogFields& fields) {
    std::string line =
        "{\"time\":" + jsonQuote(timestamp()) + ",\"instance\":" + std::to_string(instance) +
        ",\"port\":" + std::to_string(port) + ",\"conn\":" + std::to_string(connection) +
        ",\"spid\":" + std::to_string(spid) + ",\"event\":" + jsonQuote(event);
    for (const auto& [key, value] : fields) {
        line += "," + jsonQuote(key) + ":" + jsonQuote(value);
    }
    line += "}";
    if (file_) {
        std::fputs(line.c_str(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
    auto& kept = recent_[instance];
    kept.push_back(std::move(line));
    if (kept.size() > kKeptPerInstance) {
        kept.pop_front();
    }
}

} // namespace tdssim
