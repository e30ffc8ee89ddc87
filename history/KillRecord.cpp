#include "KillRecord.h"

#ifdef _WIN32
#include <QString>
#include <QtGlobal>
#else
#include <pwd.h>
#include <unistd.h>
#include <vector>
#endif

std::string LocalUserName() {
#ifdef _WIN32
    const QString name = qEnvironmentVariable("USERNAME");
    return name.isEmpty() ? std::string("(unknown)") : name.toStdString();
#else
    // The account database, not $USER: the environment is whatever the caller set.
    const uid_t uid = geteuid();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && found->pw_name[0] != '\0')
        return found->pw_name;
    return "uid " + std::to_string(uid);
#endif
}
