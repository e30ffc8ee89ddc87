#include "RawTdsClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyvane::testsupport {

namespace {

using Clock = std::chrono::steady_clock;

void putLe16(std::string& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

void putLe32(std::string& s, std::size_t at, std::uint32_t v) {
    putLe16(s, at, static_cast<std::uint16_t>(v & 0xFFFF));
    putLe16(s, at + 2, static_cast<std::uint16_t>(v >> 16));
}

// ASCII only: enough for the names and statements tests send.
std::string ucs2(const std::string& s) {
    std::string out;
    for (char c : s) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

std::uint64_t le(const std::string& s, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<std::uint8_t>(s[at + static_cast<std::size_t>(i)]);
    }
    return v;
}

} // namespace

RawTdsClient::RawTdsClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd_);
        fd_ = -1;
        throw RawTdsError(std::string("connect: ") + std::strerror(err));
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawTdsClient::~RawTdsClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void RawTdsClient::sendRaw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            throw RawTdsError("send failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

void RawTdsClient::sendMessage(std::uint8_t type, const std::string& payload,
                               std::size_t packetSize) {
    std::string out;
    std::size_t pos = 0;
    std::uint8_t id = 1;
    do {
        std::size_t n = std::min(packetSize - 8, payload.size() - pos);
        bool last = pos + n == payload.size();
        std::uint16_t len = static_cast<std::uint16_t>(n + 8);
        char header[8] = {static_cast<char>(type),
                          static_cast<char>(last ? 1 : 0),
                          static_cast<char>(len >> 8),
                          static_cast<char>(len & 0xFF),
                          0,
                          0,
                          static_cast<char>(id++),
                          0};
        out.append(header, 8);
        out.append(payload, pos, n);
        pos += n;
    } while (pos < payload.size());
    sendRaw(out);
}

RawMessage RawTdsClient::login(const std::string& user, const std::string& password,
                               const std::string& app, std::uint32_t packetSize) {
    // PRELOGIN: VERSION and ENCRYPTION (off), as FreeTDS sends them.
    std::string pre = std::string("\x00\x00\x0B\x00\x06\x01\x00\x11\x00\x01\xFF", 11) +
                      std::string("\x0C\x00\x00\x00\x00\x00\x00", 7);
    prelogin(pre);
    sendLogin7(user, password, 0x74000004, app, packetSize);
    return readMessage();
}

RawMessage RawTdsClient::prelogin(const std::string& payload) {
    sendMessage(0x12, payload, 4096);
    RawMessage reply = readMessage();
    if (reply.type != 0x04) {
        throw RawTdsError("PRELOGIN reply is not a tabular result");
    }
    return reply;
}

void RawTdsClient::sendLogin7(const std::string& user, const std::string& password,
                              std::uint32_t tdsVersion, const std::string& app,
                              std::uint32_t packetSize) {
    std::string fixed(94, '\0');
    std::string data;
    auto field = [&](std::size_t at, const std::string& text, bool obfuscate) {
        std::string u = ucs2(text);
        if (obfuscate) {
            for (char& c : u) {
                auto b = static_cast<std::uint8_t>(c);
                c = static_cast<char>(static_cast<std::uint8_t>(((b << 4) | (b >> 4)) ^ 0xA5));
            }
        }
        putLe16(fixed, at, static_cast<std::uint16_t>(94 + data.size()));
        putLe16(fixed, at + 2, static_cast<std::uint16_t>(text.size()));
        data += u;
    };
    putLe32(fixed, 4, tdsVersion);
    putLe32(fixed, 8, packetSize);
    field(36, "rawhost", false);
    field(40, user, false);
    field(44, password, true);
    field(48, app, false);
    field(52, "127.0.0.1", false);
    std::string payload = fixed + data;
    putLe32(payload, 0, static_cast<std::uint32_t>(payload.size()));
    sendMessage(0x10, payload, 4096);
}

void RawTdsClient::sendBatch(const std::string& sql, std::size_t packetSize, bool allHeaders) {
    // ALL_HEADERS with one transaction descriptor header, as the clients send it.
    std::string headers("\x16\x00\x00\x00\x12\x00\x00\x00\x02\x00", 10);
    headers += std::string(8, '\0');
    headers += std::string("\x01\x00\x00\x00", 4);
    sendMessage(0x01, (allHeaders ? headers : std::string()) + ucs2(sql), packetSize);
}

void RawTdsClient::sendAttention() {
    sendRaw(std::string("\x06\x01\x00\x08\x00\x00\x01\x00", 8));
}

void RawTdsClient::readExact(char* buf, std::size_t n, Clock::time_point deadline) {
    std::size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            throw RawTdsError("time-out waiting for the server");
        }
        ssize_t r = ::recv(fd_, buf + got, n - got, 0);
        if (r <= 0) {
            throw RawTdsError("connection closed by the server");
        }
        got += static_cast<std::size_t>(r);
    }
}

RawMessage RawTdsClient::readMessage(std::chrono::milliseconds timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    RawMessage m;
    for (;;) {
        char header[8];
        readExact(header, 8, deadline);
        std::size_t len =
            (static_cast<std::uint8_t>(header[2]) << 8) | static_cast<std::uint8_t>(header[3]);
        if (len < 8) {
            throw RawTdsError("malformed packet header");
        }
        std::string body(len - 8, '\0');
        readExact(body.data(), body.size(), deadline);
        m.type = static_cast<std::uint8_t>(header[0]);
        m.payload += body;
        ++m.packets;
        m.largestPacket = std::max(m.largestPacket, len);
        if (header[1] & 0x01) {
            return m;
        }
    }
}

bool RawTdsClient::closedByServer(std::chrono::milliseconds timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r <= 0) {
            return true;
        }
    }
}

std::uint16_t RawTdsClient::finalDoneStatus(const RawMessage& m) {
    if (m.payload.size() < 13 ||
        static_cast<std::uint8_t>(m.payload[m.payload.size() - 13]) != 0xFD) {
        throw RawTdsError("reply does not end with DONE");
    }
    return static_cast<std::uint16_t>(le(m.payload, m.payload.size() - 12, 2));
}

std::uint64_t RawTdsClient::finalDoneRows(const RawMessage& m) {
    finalDoneStatus(m);
    return le(m.payload, m.payload.size() - 8, 8);
}

} // namespace tallyvane::testsupport
