#include "TlsRelay.h"

#include <QSocketNotifier>
#if defined(Q_OS_UNIX)
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Read ahead at most this much in either direction: the rest waits in the kernel (and in Qt).
constexpr std::size_t MostBuffered = 256 * 1024;

enum class TIo { Progress, Wait, End, Failed };

TIo ReadInto(int fd, std::string& buffer) {
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
        buffer.append(chunk, std::size_t(n));
        return TIo::Progress;
    }
    if (n == 0) {
        return TIo::End;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? TIo::Wait : TIo::Failed;
}

TIo WriteFrom(int fd, std::string& buffer) {
    const ssize_t n = ::send(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
        buffer.erase(0, std::size_t(n));
        return TIo::Progress;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? TIo::Wait
                                                                                : TIo::Failed;
}

} // namespace

TTlsRelay::TTlsRelay(qintptr client, std::chrono::milliseconds drainTimeout, QObject* parent)
    : QObject(parent) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        return;
    }
    Client = int(client);
    Inner = pair[0];
    QtEnd = pair[1];
    const auto watch = [this](int fd, QSocketNotifier::Type type) {
        auto* notifier = new QSocketNotifier(fd, type, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] { Pump(); });
        return notifier;
    };
    ClientReadable = watch(Client, QSocketNotifier::Read);
    ClientWritable = watch(Client, QSocketNotifier::Write);
    InnerReadable = watch(Inner, QSocketNotifier::Read);
    InnerWritable = watch(Inner, QSocketNotifier::Write);
    DrainLimit.setSingleShot(true);
    DrainLimit.setInterval(drainTimeout);
    connect(&DrainLimit, &QTimer::timeout, this, [this] { Abort(); });
    Arm();
}

TTlsRelay::~TTlsRelay() {
    delete ClientReadable;
    delete ClientWritable;
    delete InnerReadable;
    delete InnerWritable;
    if (Client >= 0) {
        ::close(Client);
    }
    if (Inner >= 0) {
        ::close(Inner);
    }
}

void TTlsRelay::Abort() {
    if (Client < 0) {
        return;
    }
    ClientDone = QtDone = true;
    ForQt.clear();
    ForClient.clear();
    DrainLimit.stop();
    Arm();
    ::close(Client);
    Client = -1;
    ::close(Inner);
    Inner = -1;
    deleteLater();
}

bool TTlsRelay::FromClient() {
    if (ClientDone || ForQt.size() >= MostBuffered) {
        return false;
    }
    switch (ReadInto(Client, ForQt)) {
    case TIo::Progress:
        return true;
    case TIo::Wait:
        return false;
    case TIo::End:
        ClientDone = true;
        if (ClientEnded) {
            ClientEnded();
        }
        return true;
    case TIo::Failed:
        Abort();
        return false;
    }
    return false;
}

bool TTlsRelay::ToQtSide() {
    if (ForQt.empty() || QtDone) {
        ForQt.clear();
        return false;
    }
    switch (WriteFrom(Inner, ForQt)) {
    case TIo::Progress:
        return true;
    case TIo::Failed:
        ForQt.clear(); // Qt has closed its end
        return false;
    default:
        return false;
    }
}

bool TTlsRelay::FromQtSide() {
    if (QtDone || ForClient.size() >= MostBuffered) {
        return false;
    }
    switch (ReadInto(Inner, ForClient)) {
    case TIo::Progress:
        return true;
    case TIo::Wait:
        return false;
    case TIo::End:
    case TIo::Failed:
        QtDone = true;
        DrainLimit.start();
        return true;
    }
    return false;
}

bool TTlsRelay::ToClientSide() {
    if (ForClient.empty()) {
        return false;
    }
    switch (WriteFrom(Client, ForClient)) {
    case TIo::Progress:
        return true;
    case TIo::Failed:
        Abort(); // the client is gone
        return false;
    default:
        return false;
    }
}

void TTlsRelay::Pump() {
    bool moved = true;
    while (moved && Client >= 0) {
        moved = FromClient();
        moved = (Client >= 0 && ToQtSide()) || moved;
        moved = (Client >= 0 && FromQtSide()) || moved;
        moved = (Client >= 0 && ToClientSide()) || moved;
    }
    if (Client < 0) {
        return;
    }
    if (QtDone && ForClient.empty()) {
        // All Qt wrote is out: the connection ends here.
        Abort();
        return;
    }
    Arm();
}

void TTlsRelay::Arm() {
    const bool open = Client >= 0;
    ClientReadable->setEnabled(open && !ClientDone && ForQt.size() < MostBuffered);
    InnerWritable->setEnabled(open && !ForQt.empty() && !QtDone);
    InnerReadable->setEnabled(open && !QtDone && ForClient.size() < MostBuffered);
    ClientWritable->setEnabled(open && !ForClient.empty());
}
#else
// Qt's socket talks to the client directly there.
TTlsRelay::TTlsRelay(qintptr, std::chrono::milliseconds, QObject* parent) : QObject(parent) {}
TTlsRelay::~TTlsRelay() = default;
void TTlsRelay::Abort() {}
#endif
