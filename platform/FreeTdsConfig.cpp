#include "FreeTdsConfig.h"

#include "DbTypes.h"

#include <QDir>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// FreeTDS reads a configuration line into a buffer of 256 bytes: what lies beyond 255 bytes
// becomes a line of its own. The newline counts.
constexpr std::size_t LineLimit = 255;

[[noreturn]] void Fail(const std::string& message) {
    throw EDbError(MakeDbError(message, "08001"));
}

// FreeTDS ends a value at ';' or '#', trims blanks at both ends, and a line break would start
// a line of the writer's choice: such a value cannot be written without being altered.
void CheckValue(const std::string& key, const std::string& value, const char* what) {
    const auto describe = [&] { return std::string(what) + " \"" + value + "\""; };
    for (unsigned char c : value) {
        if (c == ';' || c == '#' || c == '\r' || c == '\n' || c == '\0') {
            std::string shown = c == '\r'   ? "a carriage return"
                                : c == '\n' ? "a line break"
                                : c == '\0' ? "a NUL character"
                                            : std::string("\"") + static_cast<char>(c) + "\"";
            Fail((c == ';' || c == '#' ? describe() : std::string(what)) + " cannot hold " + shown +
                 " when the driver must check the certificate (the FreeTDS configuration cannot "
                 "carry it)");
        }
    }
    if (!value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                           value.back() == '\t')) {
        Fail(describe() + " cannot begin or end with a blank when the driver must check the "
                          "certificate (the FreeTDS configuration cannot carry it)");
    }
    const std::size_t line = 1 + key.size() + 3 + value.size() + 1; // "\tkey = value\n"
    if (line > LineLimit) {
        Fail(describe() + " is too long for the FreeTDS configuration: at most " +
             std::to_string(LineLimit - key.size() - 5) +
             " bytes when the driver must check "
             "the certificate");
    }
}

std::string SectionText(const TFreeTdsServer& s) {
    std::string t = "\thost = " + s.Host + "\n";
    if (s.Port) {
        t += "\tport = " + std::to_string(*s.Port) + "\n";
    } else if (!s.Instance.empty()) {
        t += "\tinstance = " + s.Instance + "\n";
    } else {
        t += "\tport = 1433\n";
    }
    t += "\ttds version = 7.4\n";
    t += "\tencryption = require\n";
    t += "\tca file = " + (s.CaFile.empty() ? std::string("system") : s.CaFile) + "\n";
    t += "\tcheck certificate hostname = yes\n";
    return t;
}

std::string HashName(const std::string& text) {
    std::uint64_t h = 1469598103934665603ULL; // FNV-1a
    for (unsigned char c : text) {
        h = (h ^ c) * 1099511628211ULL;
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "tallyvane-%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// The user's runtime folder when Qt finds one it trusts, else a folder of this user's own in
// the temporary folder (never a shared one: another user could have made it first).
std::string ChooseFolder() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty()) {
        return QDir(runtime).filePath("tallyvane").toStdString();
    }
    return QDir(QDir::tempPath())
        .filePath("tallyvane-" + QString::number(::geteuid()))
        .toStdString();
}

// What to do about a folder in the shared temporary folder that this user cannot remove (its
// sticky bit keeps other users' entries): point TMPDIR at a fresh folder of one's own.
std::string WayOut(const std::string& folder) {
    const QString temp = QDir::tempPath();
    if (QString::fromStdString(folder).section('/', 0, -2) != temp) {
        return "; remove it";
    }
    const char* home = std::getenv("HOME");
    const std::string cache = std::string(home && *home ? home : "~") + "/.cache/tallyvane-tmp";
    return ". Another user made it, so it may not be removable without root; instead start "
           "Tallyvane with its temporary files in a fresh folder of your own: mkdir -m 700 " +
           cache + " && TMPDIR=" + cache + " tallyvane";
}

// The folder as the private odbc.ini folder must be: a real folder (not a symbolic link),
// owned by this user, closed to everyone else.
void CheckPrivate(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        Fail("Cannot create the folder " + folder + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        Fail("Cannot use the folder " + folder + ": " + std::strerror(errno));
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        Fail("The folder " + folder +
             " for the FreeTDS configuration is not a folder but a link or a file" +
             WayOut(folder));
    }
    if (st.st_uid != ::geteuid()) {
        Fail("The folder " + folder + " for the FreeTDS configuration belongs to another user (" +
             std::to_string(st.st_uid) + ")" + WayOut(folder));
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        Fail("The folder " + folder +
             " for the FreeTDS configuration is open to other users (mode " + mode +
             "); it must be 0700");
    }
}

// "freetds-<pid>.conf" or "freetds-<pid>.conf.tmp": the pid, or 0 for any other name.
pid_t PidOfFile(const char* name) {
    static const char prefix[] = "freetds-";
    if (std::strncmp(name, prefix, sizeof prefix - 1) != 0) {
        return 0;
    }
    const char* p = name + sizeof prefix - 1;
    long pid = 0;
    const char* digits = p;
    while (*p >= '0' && *p <= '9' && pid < 1L << 30) {
        pid = pid * 10 + (*p++ - '0');
    }
    if (p == digits || (std::strcmp(p, ".conf") != 0 && std::strcmp(p, ".conf.tmp") != 0)) {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

// Files left by runs that did not end normally (killed, crashed): only regular files of this
// user, named as this program names them, of processes that no longer exist.
void RemoveDeadFiles(const std::string& folder) {
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return;
    }
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
        ::close(dirFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t pid = PidOfFile(entry->d_name);
        if (pid <= 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) {
            continue;
        }
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid()) {
            ::unlinkat(dirFd, entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

class TConfigFile {
public:
    ~TConfigFile() {
        if (!Path.empty()) {
            ::unlink(Path.c_str());
        }
    }

    std::string Section(const TFreeTdsServer& server) {
        const std::string text = SectionText(server);
        const std::string name = HashName(text);
        std::lock_guard<std::mutex> lock(Mutex);
        if (Sections.count(name) != 0) {
            return name;
        }
        Sections[name] = text;
        try {
            Write();
        } catch (...) {
            Sections.erase(name);
            throw;
        }
        return name;
    }

    std::string CurrentPath() {
        std::lock_guard<std::mutex> lock(Mutex);
        return Path;
    }

private:
    void Write() {
        // Chosen and checked until a file exists; checked again before every write.
        const std::string folder = Folder.empty() ? ChooseFolder() : Folder;
        CheckPrivate(folder);
        if (Folder.empty()) {
            RemoveDeadFiles(folder);
            Folder = folder;
            Path = folder + "/freetds-" + std::to_string(::getpid()) + ".conf";
        }
        std::string body = "; Written by Tallyvane for its own connections; removed when it "
                           "ends.\n[global]\n";
        for (const auto& [name, text] : Sections) {
            body += "[" + name + "]\n" + text;
        }
        // Whole file to a new temporary one, then renamed over: the driver never reads half,
        // and nothing planted under either name is ever written through.
        const std::string temp = Path + ".tmp";
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::open(temp.c_str(), flags, 0600);
        if (fd < 0 && errno == EEXIST && ::unlink(temp.c_str()) == 0) {
            fd = ::open(temp.c_str(), flags, 0600); // left by an earlier write that failed
        }
        if (fd < 0) {
            Fail("Cannot write the FreeTDS configuration " + temp + ": " + std::strerror(errno));
        }
        const bool ok = ::fchmod(fd, 0600) == 0 &&
                        ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
        ::close(fd);
        if (!ok || ::rename(temp.c_str(), Path.c_str()) != 0) {
            const int err = errno;
            ::unlink(temp.c_str());
            Fail("Cannot write the FreeTDS configuration " + Path + ": " + std::strerror(err));
        }
        if (!Pointed) {
            // Set once, before any connection reads it; the value never changes afterwards.
            ::setenv("FREETDSCONF", Path.c_str(), 1);
            Pointed = true;
        }
    }

    std::mutex Mutex;
    std::string Folder;
    std::string Path;
    bool Pointed = false;
    std::map<std::string, std::string> Sections;
};

TConfigFile& File() {
    static TConfigFile file;
    return file;
}

} // namespace

std::string FreeTdsSectionFor(const TFreeTdsServer& server) {
    CheckValue("host", server.Host, "The server name");
    CheckValue("instance", server.Instance, "The instance name");
    CheckValue("ca file", server.CaFile, "The certificate file (ServerCertificate)");
    return File().Section(server);
}

std::string FreeTdsConfigPath() {
    return File().CurrentPath();
}
