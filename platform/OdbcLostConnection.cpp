#include "OdbcLostConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
std::string WinsockText(int code) {
    char text[512] = {};
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) {
        s.pop_back();
    }
    return s.empty() ? "error " + std::to_string(code) : s;
}

std::string TryConnect(const addrinfo& address, int timeoutMs) {
    // The driver has started Winsock already; this keeps it started for the look, whoever calls.
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        return "the network is not available";
    }
    const SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        return WinsockText(::WSAGetLastError());
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    std::string verdict;
    if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        const int code = ::WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            verdict = WinsockText(code);
        } else {
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
            const int ready = ::select(0, nullptr, &writable, &failed, &wait);
            int error = 0;
            int length = sizeof(error);
            if (ready == 0) {
                verdict = "no answer within " + std::to_string(timeoutMs / 1000) + " s";
            } else if (ready < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR,
                                                 reinterpret_cast<char*>(&error), &length) != 0) {
                verdict = WinsockText(::WSAGetLastError());
            } else if (error != 0) {
                verdict = WinsockText(error);
            }
        }
    }
    ::closesocket(s);
    return verdict;
}
#else
// The socket's own verdict on one address: empty when it could connect.
std::string TryConnect(const addrinfo& address, int timeoutMs) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address.ai_protocol);
    if (fd < 0) {
        return std::strerror(errno);
    }
    std::string verdict;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            verdict = std::strerror(errno);
        } else {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, timeoutMs);
            int error = 0;
            socklen_t length = sizeof(error);
            if (ready == 0) {
                verdict = "no answer within " + std::to_string(timeoutMs / 1000) + " s";
            } else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                verdict = std::strerror(errno);
            } else if (error != 0) {
                verdict = std::strerror(error);
            }
        }
    }
    ::close(fd);
    return verdict;
}
#endif

std::string NameError(int rc) {
#ifdef _WIN32
    return WinsockText(rc);
#else
    return ::gai_strerror(rc);
#endif
}

std::string LowerFirst(std::string s) {
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z') {
        s[0] = static_cast<char>(s[0] + 32);
    }
    return s;
}

} // namespace

void ExplainLostConnection(TDbError& error) {
    const std::string lost = "the connection to the server was lost (the session was ended or "
                             "the network failed)";
    if (error.Description.empty() || error.Description == "Unknown error" ||
        error.Description == "The statement failed") {
        error.Description = "Communication link failure: " + lost;
    } else {
        error.Description += ": " + lost;
    }
    error.SqlState = "08S01";
}

void ExplainUnreachable(TDbError& error, const std::string& host, std::uint16_t port,
                        std::uint32_t timeoutSeconds) {
    std::string where = host + ", port " + std::to_string(port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    std::string why;
    if (rc != 0) {
        why = "the name was not found (" + LowerFirst(NameError(rc)) + ")";
    } else {
        const int timeoutMs = static_cast<int>(std::min<std::uint32_t>(timeoutSeconds, 5) * 1000);
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
            why = TryConnect(*a, std::max(timeoutMs, 1000));
            if (why.empty()) {
                break; // reachable now: the driver's words stand alone
            }
        }
        ::freeaddrinfo(found);
        why = LowerFirst(why);
    }
    error.Description += " (" + where + (why.empty() ? "" : ": " + why) + ")";
}
