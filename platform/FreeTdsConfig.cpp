#include "FreeTdsConfig.h"

#include "DbTypes.h"

#include <QDir>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& message) {
    throw EDbError(MakeDbError(message, "08001"));
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
        if (Path.empty()) {
            QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
            if (dir.isEmpty()) {
                dir = QDir::tempPath();
            }
            const std::string folder = QDir(dir).filePath("tallyvane").toStdString();
            if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
                Fail("Cannot create the folder " + folder + ": " + std::strerror(errno));
            }
            Path = folder + "/freetds-" + std::to_string(::getpid()) + ".conf";
        }
        std::string body = "; Written by Tallyvane for its own connections; removed when it "
                           "ends.\n[global]\n";
        for (const auto& [name, text] : Sections) {
            body += "[" + name + "]\n" + text;
        }
        // Whole file to a temporary one, then renamed over: the driver never reads half.
        const std::string temp = Path + ".tmp";
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            Fail("Cannot write the FreeTDS configuration " + temp + ": " + std::strerror(errno));
        }
        const bool ok = ::fchmod(fd, 0600) == 0 &&
                        ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
        ::close(fd);
        if (!ok || ::rename(temp.c_str(), Path.c_str()) != 0) {
            ::unlink(temp.c_str());
            Fail("Cannot write the FreeTDS configuration " + Path + ": " + std::strerror(errno));
        }
        if (!Pointed) {
            // Set once, before any connection reads it; the value never changes afterwards.
            ::setenv("FREETDSCONF", Path.c_str(), 1);
            Pointed = true;
        }
    }

    std::mutex Mutex;
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
    for (const std::string* v : {&server.Host, &server.Instance, &server.CaFile}) {
        if (v->find_first_of("\r\n") != std::string::npos) {
            Fail("Invalid character in \"" + *v + "\" for the FreeTDS configuration");
        }
    }
    return File().Section(server);
}

std::string FreeTdsConfigPath() {
    return File().CurrentPath();
}
