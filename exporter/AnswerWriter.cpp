#include "AnswerWriter.h"

#include <QSocketNotifier>
#if defined(Q_OS_UNIX)
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

TAnswerWriter::TAnswerWriter([[maybe_unused]] qintptr descriptor, QObject* parent)
    : QObject(parent) {
#if defined(Q_OS_UNIX)
    Fd = ::fcntl(int(descriptor), F_DUPFD_CLOEXEC, 0);
    if (Fd >= 0) {
        Writable = new QSocketNotifier(Fd, QSocketNotifier::Write, this);
        Writable->setEnabled(false);
        connect(Writable, &QSocketNotifier::activated, this, [this] { WriteSome(); });
    }
#endif
}

TAnswerWriter::~TAnswerWriter() {
    Close();
}

void TAnswerWriter::Write(std::string bytes, TDone done) {
    Pending = std::move(bytes);
    Sent = 0;
    Done = std::move(done);
    WriteSome();
}

void TAnswerWriter::Close() {
    if (Writable) {
        Writable->setEnabled(false);
    }
#if defined(Q_OS_UNIX)
    if (Fd >= 0) {
        ::close(Fd);
    }
#endif
    Fd = -1;
    Pending.clear();
    Done = nullptr;
}

void TAnswerWriter::WriteSome() {
    bool whole = true;
#if defined(Q_OS_UNIX)
    while (Fd >= 0 && Sent < Pending.size()) {
        const ssize_t n =
            ::send(Fd, Pending.data() + Sent, Pending.size() - Sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            Sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Writable->setEnabled(true);
            return;
        }
        whole = false; // the client is gone
        break;
    }
#endif
    if (Writable) {
        Writable->setEnabled(false);
    }
    Pending.clear();
    if (TDone done = std::move(Done)) {
        Done = nullptr;
        done(whole && Fd >= 0);
    }
}
