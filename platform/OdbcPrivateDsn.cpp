#include "OdbcPrivateDsn.h"

#include "DbTypes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// A folder of this user's alone: the runtime folder, or one in /tmp that must be ours.
std::string Folder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/tallyvane-odbc";
    }
    return "/tmp/tallyvane-odbc-" + std::to_string(::geteuid());
}

const std::string& IniPath() {
    static const std::string path = Folder() + "/odbc.ini";
    return path;
}

// Before main: the driver manager looks at ODBCINI on every connect, and changing the
// environment later would race with other threads reading it. Our connection strings never
// name a data source, so nothing else is read from that file.
const bool OdbcIniSet = [] { return ::setenv("ODBCINI", IniPath().c_str(), 1) == 0; }();

[[noreturn]] void Fail(const std::string& why) {
    throw EDbError(MakeDbError("Cannot pass the credentials to the ODBC driver: " + why, "HY000"));
}

// "Key=value;Key={value};" as TranslateConnectionString writes them for FreeTDS.
std::vector<std::pair<std::string, std::string>> Attributes(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> attributes;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t equals = text.find('=', i);
        if (equals == std::string::npos) {
            break;
        }
        std::string key = text.substr(i, equals - i);
        std::size_t end;
        std::string value;
        if (equals + 1 < text.size() && text[equals + 1] == '{') {
            end = text.find("};", equals + 2);
            end = end == std::string::npos ? text.size() : end;
            value = text.substr(equals + 2, end - equals - 2);
            end += 2;
        } else {
            end = text.find(';', equals + 1);
            end = end == std::string::npos ? text.size() : end;
            value = text.substr(equals + 1, end - equals - 1);
            end += 1;
        }
        attributes.emplace_back(std::move(key), std::move(value));
        i = end;
    }
    return attributes;
}

std::set<std::string> SectionsInFile() {
    std::set<std::string> names{""};
    if (FILE* f = std::fopen(IniPath().c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            std::string text(line);
            if (text.size() > 2 && text.front() == '[' && text.find(']') != std::string::npos) {
                names.insert(text.substr(1, text.find(']') - 1));
            }
        }
        std::fclose(f);
    }
    return names;
}

// True when the file started afresh (and holds this section alone).
bool AppendToFile(const std::string& section) {
    const std::string folder = Folder();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        Fail("cannot create " + folder);
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        Fail(folder + " is not a private folder of this user");
    }
    // Each server's address makes one section; a file that has grown large over many runs
    // starts afresh.
    constexpr off_t kLargeFile = 256 * 1024;
    const bool large = ::stat(IniPath().c_str(), &st) == 0 && st.st_size > kLargeFile;
    const int fd = ::open(IniPath().c_str(),
                          O_WRONLY | O_CREAT | O_CLOEXEC | (large ? O_TRUNC : O_APPEND), 0600);
    if (fd < 0) {
        Fail("cannot write " + IniPath());
    }
    const bool written =
        ::write(fd, section.data(), section.size()) == static_cast<ssize_t>(section.size());
    ::close(fd);
    if (!written) {
        Fail("cannot write " + IniPath());
    }
    return large;
}

} // namespace

std::string PrivateDataSource(const std::string& odbcString) {
    if (!OdbcIniSet) {
        Fail("ODBCINI could not be set");
    }
    std::string body;
    for (const auto& [key, value] : Attributes(odbcString)) {
        if (value.find_first_of("\r\n") != std::string::npos) {
            Fail("the value of " + key + " holds a line break");
        }
        body += key + " = " + value + "\n";
    }
    // Named after what it holds: the same connection finds the same data source again, in this
    // run and in later ones.
    char name[32];
    std::snprintf(name, sizeof name, "Tallyvane-%016zx", std::hash<std::string>()(body));
    static std::mutex mutex;
    static std::set<std::string> written;
    std::lock_guard<std::mutex> lock(mutex);
    if (written.empty()) {
        written = SectionsInFile(); // from earlier runs
    }
    if (written.count(name) == 0) {
        std::string section = "[";
        section.append(name).append("]\n").append(body).append("\n");
        if (AppendToFile(section)) {
            written = {""};
        }
        written.insert(name);
    }
    return name;
}
