#include "AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::error_code LastError() {
    return {errno, std::generic_category()};
}

// Closes the descriptor on every path.
class TFd {
public:
    explicit TFd(int fd) : Fd(fd) {}
    ~TFd() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return Fd; }
    int Release() {
        const int fd = Fd;
        Fd = -1;
        return fd;
    }

private:
    int Fd;
};

std::error_code WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastError();
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

} // namespace

std::error_code ReadWholeFile(const std::string& path, std::string& text) {
    text.clear();
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return LastError();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastError();
        }
        if (n == 0)
            return {};
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

std::error_code WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::filesystem::path target(path);
    std::string temp =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    // mkstemp creates the file with mode 0600.
    TFd fd(::mkstemp(temp.data()));
    if (fd.Get() < 0)
        return LastError();
    std::error_code error = WriteAll(fd.Get(), text);
    if (!error && ::fsync(fd.Get()) != 0)
        error = LastError();
    if (!error && ::close(fd.Release()) != 0)
        error = LastError();
    if (!error && ::rename(temp.c_str(), path.c_str()) != 0)
        error = LastError();
    if (error) {
        ::unlink(temp.c_str());
        return error;
    }
    // Make the rename itself durable; a failure here loses nothing, so it is not reported.
    const std::string folder =
        target.has_parent_path() ? target.parent_path().string() : std::string(".");
    TFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
    return {};
}
