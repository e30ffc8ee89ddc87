#include "FreeTdsConfig.h"

#include "DbTypes.h"
#include "OdbcValueRules.h"

#include <QDir>
#include <QStandardPaths>
#include <algorithm>
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

// A value the file cannot carry unaltered is refused (OdbcValueRules.h), and so is one whose
// line would be longer than FreeTDS reads.
void CheckValue(const std::string& key, const std::string& value, const std::string& what,
                const std::string& why) {
    const std::string problem = ConfigValueProblem(value);
    if (!problem.empty()) {
        // A value with control characters is not shown: it would break the message's line.
        const bool showable = std::none_of(value.begin(), value.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20;
        });
        Fail(what + (showable ? " \"" + value + "\"" : std::string()) + " " + problem + why);
    }
    const std::size_t line = 1 + key.size() + 3 + value.size() + 1; // "\tkey = value\n"
    if (line > LineLimit) {
        Fail(what + " \"" + value + "\" is too long for the FreeTDS configuration: at most " +
             std::to_string(LineLimit - key.size() - 5) + " bytes" + why);
    }
}

const char* const CertificateWhy =
    " when the driver must check the certificate (the FreeTDS configuration cannot carry it)";
const char* const SeparateLoginWhy =
    " when the user name or password travels apart from the connection string (the ODBC "
    "configuration cannot carry it)";

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
    t += "\tclient charset = UTF-8\n";
    t += "\tinitial block size = 32767\n";
    if (!s.Encryption.empty()) {
        t += "\tencryption = " + s.Encryption + "\n";
    }
    if (s.CheckCertificate) {
        t += "\tca file = " + (s.CaFile.empty() ? std::string("system") : s.CaFile) + "\n";
        t += "\tcheck certificate hostname = yes\n";
    }
    return t;
}

std::string DataSourceText(const TOdbcDataSource& s) {
    std::string t = "Driver = " + s.Driver + "\nServername = " + s.Servername + "\n";
    if (!s.Database.empty()) {
        t += "Database = " + s.Database + "\n";
    }
    return t;
}

std::string HashName(const char* prefix, const std::string& text) {
    std::uint64_t h = 1469598103934665603ULL; // FNV-1a
    for (unsigned char c : text) {
        h = (h ^ c) * 1099511628211ULL;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s-%016llx", prefix, static_cast<unsigned long long>(h));
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

// "freetds-<pid>.conf" or "odbc-<pid>.ini", or either with ".tmp": the pid, or 0 for any
// other name.
pid_t PidOfFile(const char* name) {
    for (const auto& [prefix, suffix] : {std::pair<const char*, const char*>{"freetds-", ".conf"},
                                         std::pair<const char*, const char*>{"odbc-", ".ini"}}) {
        const std::size_t length = std::strlen(prefix);
        if (std::strncmp(name, prefix, length) != 0) {
            continue;
        }
        const char* p = name + length;
        long pid = 0;
        const char* digits = p;
        while (*p >= '0' && *p <= '9' && pid < 1L << 30) {
            pid = pid * 10 + (*p++ - '0');
        }
        const std::string rest = p;
        if (p == digits || (rest != suffix && rest != std::string(suffix) + ".tmp")) {
            return 0;
        }
        return static_cast<pid_t>(pid);
    }
    return 0;
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

// Writes a whole file to a new temporary one, then renames it over: a reader never sees
// half, and nothing planted under either name is ever written through.
void WriteWhole(const std::string& path, const std::string& body, const char* what) {
    const std::string temp = path + ".tmp";
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temp.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(temp.c_str()) == 0) {
        fd = ::open(temp.c_str(), flags, 0600); // left by an earlier write that failed
    }
    if (fd < 0) {
        Fail(std::string("Cannot write the ") + what + " " + temp + ": " + std::strerror(errno));
    }
    const bool ok = ::fchmod(fd, 0600) == 0 &&
                    ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        Fail(std::string("Cannot write the ") + what + " " + path + ": " + std::strerror(err));
    }
}

// One private file of named sections, pointed at by an environment variable.
struct TSectionFile {
    TSectionFile(const char* prefix, const char* suffix, const char* variable, const char* what,
                 std::string header)
        : Prefix(prefix), Suffix(suffix), Variable(variable), What(what),
          Header(std::move(header)) {}

    const char* Prefix; // of the file's name: "<prefix><pid><suffix>"
    const char* Suffix;
    const char* Variable; // FREETDSCONF, ODBCINI
    const char* What;     // for messages
    std::string Header;   // before the sections
    std::string Path;
    bool Pointed = false;
    std::map<std::string, std::string> Sections;
};

class TConfigFile {
public:
    ~TConfigFile() {
        for (const TSectionFile* file : {&FreeTds, &OdbcIni}) {
            if (!file->Path.empty()) {
                ::unlink(file->Path.c_str());
            }
        }
    }

    std::string Section(const TFreeTdsServer& server) {
        const std::string text = SectionText(server);
        return Add(FreeTds, HashName("tallyvane", text), text);
    }

    std::string DataSource(const TOdbcDataSource& source) {
        const std::string text = DataSourceText(source);
        // 30 characters: the driver manager refuses a data source name beyond 32.
        return Add(OdbcIni, HashName("tallyvane-dsn", text), text);
    }

    std::string CurrentPath() {
        std::lock_guard<std::mutex> lock(Mutex);
        return FreeTds.Path;
    }

    std::string CurrentOdbcIniPath() {
        std::lock_guard<std::mutex> lock(Mutex);
        return OdbcIni.Path;
    }

private:
    std::string Add(TSectionFile& file, const std::string& name, const std::string& text) {
        std::lock_guard<std::mutex> lock(Mutex);
        if (file.Sections.count(name) != 0) {
            return name;
        }
        file.Sections[name] = text;
        try {
            Write(file);
        } catch (...) {
            file.Sections.erase(name);
            throw;
        }
        return name;
    }

    void Write(TSectionFile& file) {
        // Chosen and checked until a file exists; checked again before every write.
        const std::string folder = Folder.empty() ? ChooseFolder() : Folder;
        CheckPrivate(folder);
        if (Folder.empty()) {
            RemoveDeadFiles(folder);
            Folder = folder;
        }
        if (file.Path.empty()) {
            file.Path = Folder + "/" + file.Prefix + std::to_string(::getpid()) + file.Suffix;
        }
        std::string body = file.Header;
        for (const auto& [name, text] : file.Sections) {
            body += "[" + name + "]\n" + text;
        }
        WriteWhole(file.Path, body, file.What);
        if (!file.Pointed) {
            // Set once, before any connection reads it; the value never changes afterwards.
            ::setenv(file.Variable, file.Path.c_str(), 1);
            file.Pointed = true;
        }
    }

    std::mutex Mutex;
    std::string Folder;
    TSectionFile FreeTds{"freetds-", ".conf", "FREETDSCONF", "FreeTDS configuration",
                         "; Written by Tallyvane for its own connections; removed when it "
                         "ends.\n[global]\n"};
    TSectionFile OdbcIni{"odbc-", ".ini", "ODBCINI", "ODBC data source file",
                         "; Written by Tallyvane for its own connections; removed when it "
                         "ends.\n"};
};

TConfigFile& File() {
    static TConfigFile file;
    return file;
}

} // namespace

std::string FreeTdsSectionFor(const TFreeTdsServer& server) {
    const std::string why = server.CheckCertificate ? CertificateWhy : SeparateLoginWhy;
    CheckValue("host", server.Host, "The server name", why);
    CheckValue("instance", server.Instance, "The instance name", why);
    CheckValue("ca file", server.CaFile, "The certificate file (ServerCertificate)", why);
    return File().Section(server);
}

std::string FreeTdsConfigPath() {
    return File().CurrentPath();
}

std::string OdbcDataSourceFor(const TOdbcDataSource& source) {
    CheckValue("Driver", source.Driver, "The driver name", SeparateLoginWhy);
    CheckValue("Database", source.Database, "The database name (Initial Catalog)",
               SeparateLoginWhy);
    return File().DataSource(source);
}

std::string OdbcIniPath() {
    return File().CurrentOdbcIniPath();
}
