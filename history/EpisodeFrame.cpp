#include "EpisodeFrame.h"

#include <algorithm>
#include <map>

namespace {

// The first byte of every blob: a later layout gets another number.
constexpr unsigned char FormatVersion = 1;
// Bounds that no real frame comes near; a damaged length must not make us allocate gigabytes.
constexpr std::uint64_t MaxStrings = 1u << 20;
constexpr std::uint64_t MaxSessions = 1u << 22;

void PutVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// Zigzag, so that a negative SPID or wait costs a byte or two, not ten.
void PutSigned(std::string& out, std::int64_t value) {
    PutVarint(out,
              (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63));
}

class TReader {
public:
    explicit TReader(std::string_view bytes) : Bytes(bytes) {}

    bool Varint(std::uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (At >= Bytes.size())
                return false;
            const auto byte = static_cast<unsigned char>(Bytes[At++]);
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0)
                return true;
        }
        return false;
    }
    // A difference of two 32-bit numbers: damaged bytes beyond that range are refused.
    bool Signed(std::int64_t& value) {
        std::uint64_t raw = 0;
        if (!Varint(raw))
            return false;
        value = static_cast<std::int64_t>(raw >> 1) ^ -static_cast<std::int64_t>(raw & 1);
        return value >= 2 * std::int64_t{INT32_MIN} && value <= 2 * std::int64_t{INT32_MAX};
    }
    bool Text(std::string& text) {
        std::uint64_t length = 0;
        if (!Varint(length) || length > Bytes.size() - At)
            return false;
        text.assign(Bytes.substr(At, length));
        At += length;
        return true;
    }
    bool Byte(unsigned char& byte) {
        if (At >= Bytes.size())
            return false;
        byte = static_cast<unsigned char>(Bytes[At++]);
        return true;
    }
    bool AtEnd() const { return At == Bytes.size(); }

private:
    std::string_view Bytes;
    std::size_t At = 0;
};

bool Within32(std::int64_t value, std::int32_t& out) {
    if (value < INT32_MIN || value > INT32_MAX)
        return false;
    out = static_cast<std::int32_t>(value);
    return true;
}

} // namespace

std::int64_t TEpisodeFrame::TotalWait() const {
    std::int64_t total = 0;
    for (const TFrameSession& s : Sessions)
        total += std::max(s.Wait, 0);
    return total;
}

std::int32_t TEpisodeFrame::LongestWait() const {
    std::int32_t longest = 0;
    for (const TFrameSession& s : Sessions)
        longest = std::max(longest, s.Wait);
    return longest;
}

std::string FrameBytes(const TEpisodeFrame& frame) {
    // Each distinct string once, numbered in the order first used.
    std::map<std::string_view, std::uint64_t> numbers;
    std::vector<std::string_view> strings;
    const auto number = [&](const std::string& text) {
        const auto [at, added] = numbers.try_emplace(text, strings.size());
        if (added)
            strings.push_back(text);
        return at->second;
    };
    std::string sessions;
    sessions.reserve(frame.Sessions.size() * 8);
    // Each number as its difference to the one before it (the blocker to the session's own
    // SPID): sessions of one chain come in order with waits alike, so most take a byte.
    TFrameSession previous;
    for (const TFrameSession& s : frame.Sessions) {
        PutSigned(sessions, std::int64_t{s.Ordinal} - previous.Ordinal);
        PutSigned(sessions, std::int64_t{s.Spid} - previous.Spid);
        PutSigned(sessions, std::int64_t{s.BlockedBy} - s.Spid);
        PutSigned(sessions, std::int64_t{s.Wait} - previous.Wait);
        PutVarint(sessions, number(s.WaitType));
        PutVarint(sessions, number(s.WaitResource));
        previous.Ordinal = s.Ordinal;
        previous.Spid = s.Spid;
        previous.Wait = s.Wait;
    }
    std::string out;
    out.push_back(static_cast<char>(FormatVersion));
    PutVarint(out, strings.size());
    for (std::string_view text : strings) {
        PutVarint(out, text.size());
        out.append(text);
    }
    PutVarint(out, frame.Sessions.size());
    out += sessions;
    return out;
}

bool ReadFrameBytes(std::string_view bytes, TEpisodeFrame& frame) {
    TReader in(bytes);
    unsigned char version = 0;
    std::uint64_t stringCount = 0;
    if (!in.Byte(version) || version != FormatVersion || !in.Varint(stringCount) ||
        stringCount > MaxStrings || stringCount > bytes.size())
        return false;
    std::vector<std::string> strings(stringCount);
    for (std::string& text : strings)
        if (!in.Text(text))
            return false;
    std::uint64_t sessionCount = 0;
    if (!in.Varint(sessionCount) || sessionCount > MaxSessions || sessionCount > bytes.size())
        return false;
    std::vector<TFrameSession> sessions(sessionCount);
    TFrameSession previous;
    for (TFrameSession& s : sessions) {
        std::uint64_t type = 0, resource = 0;
        std::int64_t ordinal = 0, spid = 0, blockedBy = 0, wait = 0;
        if (!in.Signed(ordinal) || !in.Signed(spid) || !in.Signed(blockedBy) || !in.Signed(wait) ||
            !in.Varint(type) || !in.Varint(resource) || type >= stringCount ||
            resource >= stringCount)
            return false;
        if (!Within32(ordinal += previous.Ordinal, s.Ordinal) ||
            !Within32(spid += previous.Spid, s.Spid) ||
            !Within32(blockedBy += s.Spid, s.BlockedBy) ||
            !Within32(wait += previous.Wait, s.Wait) || s.Ordinal < 0)
            return false;
        previous = s;
        s.WaitType = strings[type];
        s.WaitResource = strings[resource];
    }
    if (!in.AtEnd())
        return false;
    frame.Sessions = std::move(sessions);
    return true;
}
