#include "FileNames.h"

#include "Errors.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#ifdef _WIN32
#include <QDir>
#include <QString>
#include <QTemporaryFile>
#include <cwchar>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

std::string SettingsFileName;
std::string ServersFileName;

namespace {

std::string ConfigFolderInUse; // set when the files live in the user's configuration folder

} // namespace

TFileNames ComputeFileNames(const std::string& programPath, bool programFolderWritable,
                            const std::string& configFolder) {
    const fs::path program(programPath);
    std::string name = program.filename().string();
    const auto dot = name.rfind('.');
    name = (dot == std::string::npos ? name : name.substr(0, dot)) + ".ini";

    TFileNames names;
    names.InConfigFolder = !programFolderWritable && !configFolder.empty();
    const fs::path folder = names.InConfigFolder ? fs::path(configFolder) : program.parent_path();
    names.Settings = (folder / name).string();
    names.Servers = (folder / "servers.ini").string();
    return names;
}

std::string UserConfigFolder() {
#ifdef _WIN32
    // %APPDATA%\Tallyvane: the roaming profile, which the user's ACLs keep private.
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (appData == nullptr || *appData == L'\0')
        return {};
    return QDir::fromNativeSeparators(QString::fromWCharArray(appData, std::wcslen(appData)) +
                                      QStringLiteral("/Tallyvane"))
        .toStdString();
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/')
        return (fs::path(xdg) / "Tallyvane").string();
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0')
        return (fs::path(home) / ".config" / "Tallyvane").string();
    return {};
#endif
}

void InitFileNames(const std::string& programPath) {
    const fs::path folder = fs::path(programPath).parent_path();
    const std::string probe = folder.empty() ? std::string(".") : folder.string();
#ifdef _WIN32
    // Access bits say nothing of ACLs (Program Files): only a file made there tells.
    QTemporaryFile test(QString::fromStdString(probe) + QStringLiteral("/.tallyvane-XXXXXX"));
    const bool writable = test.open();
#else
    const bool writable = ::access(probe.c_str(), W_OK | X_OK) == 0;
#endif
    const TFileNames names = ComputeFileNames(programPath, writable, UserConfigFolder());
    SettingsFileName = names.Settings;
    ServersFileName = names.Servers;
    ConfigFolderInUse =
        names.InConfigFolder ? fs::path(names.Settings).parent_path().string() : std::string();
}

void PrepareFolderOf(const std::string& fileName) {
    const std::string folder = fs::path(fileName).parent_path().string();
    if (ConfigFolderInUse.empty() || folder != ConfigFolderInUse)
        return;
#ifdef _WIN32
    // Inherits the profile's ACLs, which grant the user alone.
    if (!QDir().mkpath(QString::fromStdString(folder)))
        throw Exception("Cannot create folder \"" + folder + "\".");
#else
    std::error_code error;
    if (fs::create_directories(folder, error))
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, error);
    if (error)
        throw Exception("Cannot create folder \"" + folder + "\". " + error.message());
#endif
}
