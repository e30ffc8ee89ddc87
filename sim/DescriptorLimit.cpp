#include "DescriptorLimit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tdssim {

namespace {

// One descriptor held back so that a client can still be taken off a listening socket and
// closed when all others are in use.
int spareDescriptor = -1;

std::string limitText(rlim_t value) {
    return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value);
}

} // namespace

long raiseDescriptorLimit(int instances) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        throw std::runtime_error(std::string("cannot read the limit on open files: ") +
                                 std::strerror(errno));
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            throw std::runtime_error("the system refused to raise the limit on open files from " +
                                     limitText(limit.rlim_cur) + " to " +
                                     limitText(limit.rlim_max) + ": " + std::strerror(errno));
        }
        limit = raised;
    }
    // A listening socket per instance must fit; a client each should.
    const long listening = static_cast<long>(instances) + kDescriptorReserve;
    const long withClients = 2L * instances + kDescriptorReserve;
    const bool unlimited = limit.rlim_cur == RLIM_INFINITY;
    if (!unlimited && static_cast<long>(limit.rlim_cur) < listening) {
        throw std::runtime_error(
            std::to_string(instances) + " instances need at least " + std::to_string(listening) +
            " open files (a listening socket each), " + std::to_string(withClients) +
            " with a client each, but the system allows " + limitText(limit.rlim_cur) +
            "; raise the hard limit (ulimit -Hn, or LimitNOFILE for a service) or run fewer "
            "instances");
    }
    if (!unlimited && static_cast<long>(limit.rlim_cur) < withClients) {
        std::fprintf(stderr,
                     "tdssim: the limit of %s open files leaves room for %ld clients at once, "
                     "fewer than one for each of the %d instances\n",
                     limitText(limit.rlim_cur).c_str(),
                     static_cast<long>(limit.rlim_cur) - listening, instances);
    }
    if (spareDescriptor < 0) {
        spareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

bool shedWaitingClient(int listenFd) {
    static bool said = false;
    if (spareDescriptor < 0) {
        return false;
    }
    ::close(spareDescriptor);
    const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) {
        ::close(client);
    }
    spareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (!said) {
        said = true;
        std::fprintf(stderr, "tdssim: out of file descriptors; new clients are closed at once "
                             "until others leave\n");
    }
    return client >= 0;
}

} // namespace tdssim
