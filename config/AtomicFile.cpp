#include "AtomicFile.h"

#include "FollowLinks.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
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

// ".servers.ini.XXXXXX" beside "servers.ini": the pattern of our temporary files.
std::string TemporaryPattern(const std::filesystem::path& target) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "." + name.
    std::string name = ".";
    name += target.filename().string();
    name += ".XXXXXX";
    return (target.parent_path() / name).string();
}

bool IsTemporaryOf(const std::string& name, const std::string& fileName) {
    std::string prefix = ".";
    prefix += fileName;
    prefix += '.';
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(
        name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        });
}

// Temporary files that a save interrupted by a crash left behind (they may hold passwords).
// Only ours (by name and owner), and only old ones: a young one may belong to a save that
// another running copy of the program is making right now.
void RemoveStaleTemporaries(const std::filesystem::path& target) {
    constexpr std::time_t kStaleAfterSeconds = 60;
    const std::string folder =
        target.has_parent_path() ? target.parent_path().string() : std::string(".");
    const std::string fileName = target.filename().string();
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    const std::time_t now = std::time(nullptr);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        struct stat st {};
        if (!IsTemporaryOf(name, fileName) || ::lstat(it->path().c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            now - st.st_mtime < kStaleAfterSeconds)
            continue;
        ::unlink(it->path().c_str());
    }
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
    std::filesystem::path target(path);
    // Through a symbolic link to its target: the link stays, and a file shared that way goes
    // on being shared.
    if (std::error_code resolveError = FollowLinks(target))
        return resolveError;
    std::error_code error;
    const std::string targetPath = target.string();
    struct stat old {};
    const bool exists = ::stat(targetPath.c_str(), &old) == 0;
    // A file that the user made read-only stays as it is, even where the folder would let us
    // replace it (and also for root, who could write it anyway).
    if (exists && ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
                   ::access(targetPath.c_str(), W_OK) != 0))
        return std::make_error_code(std::errc::permission_denied);
    RemoveStaleTemporaries(target);
    std::string temp = TemporaryPattern(target);
    // mkstemp creates the file with mode 0600.
    TFd fd(::mkstemp(temp.data()));
    if (fd.Get() < 0)
        return LastError();
    // A file that is replaced keeps its permissions (a list shared with a group stays so), but
    // what can hold passwords is never left readable by everybody.
    if (exists && ::fchmod(fd.Get(), old.st_mode & 07770) != 0)
        error = LastError();
    if (!error)
        error = WriteAll(fd.Get(), text);
    if (!error && ::fsync(fd.Get()) != 0)
        error = LastError();
    if (!error && ::close(fd.Release()) != 0)
        error = LastError();
    if (!error && ::rename(temp.c_str(), targetPath.c_str()) != 0)
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
