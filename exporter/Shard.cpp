#include "Shard.h"

#include <charconv>

namespace {

std::optional<std::uint32_t> ParseNumber(const std::string& text, std::size_t from,
                                         std::size_t to) {
    std::uint32_t value = 0;
    const char* first = text.data() + from;
    const char* last = text.data() + to;
    if (first == last || *first < '0' || *first > '9') {
        return std::nullopt;
    }
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<TShard> ParseShard(const std::string& text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    const auto index = ParseNumber(text, 0, slash);
    const auto count = ParseNumber(text, slash + 1, text.size());
    if (!index || !count || *count < 1 || *count > 65535 || *index < 1 || *index > *count) {
        return std::nullopt;
    }
    return TShard{*index, *count};
}

std::uint32_t ShardHash(const std::string& serverName) {
    std::uint32_t hash = 2166136261u;
    for (const char c : serverName) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

std::uint32_t ShardOf(const std::string& serverName, std::uint32_t count) {
    return count <= 1 ? 1 : ShardHash(serverName) % count + 1;
}

bool InShard(const std::string& serverName, const TShard& shard) {
    return ShardOf(serverName, shard.Count) == shard.Index;
}
