// Splitting a fleet between several exporters: "--shard I/N" watches only the servers whose
// name hashes to I of N (I from 1 to N). The hash is FNV-1a (32 bits) of the name's UTF-8
// bytes, so every exporter, on any machine and of any build, puts a server in the same shard.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct TShard {
    std::uint32_t Index = 1; // 1 to Count
    std::uint32_t Count = 1;
};

// "I/N" with 1 <= I <= N <= 65535; nothing for anything else.
std::optional<TShard> ParseShard(const std::string& text);

std::uint32_t ShardHash(const std::string& serverName);
// The shard (1 to count) a server name belongs to.
std::uint32_t ShardOf(const std::string& serverName, std::uint32_t count);
bool InShard(const std::string& serverName, const TShard& shard);
