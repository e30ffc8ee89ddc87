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

// Paths are UTF-8 here; on Windows a plain std::string would go through the ANSI code page.
fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string TextOf(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string ConfigFolderInUse; // set when the files live in the user's configuration folder

} // namespace

TFileNames ComputeFileNames(const std::string& programPath, bool programFolderWritable,
                            const std::string& configFolder) {
    const fs::path program = PathOf(programPath);
    std::string name = TextOf(program.filename());
    const auto dot = name.rfind('.');
    name = (dot == std::string::npos ? name : name.substr(0, dot)) + ".ini";

    TFileNames names;
    names.InConfigFolder = !programFolderWritable && !configFolder.empty();
    const fs::path folder = names.InConfigFolder ? PathOf(configFolder) : program.parent_path();
    names.Settings = TextOf(folder / PathOf(name));
    names.Servers = TextOf(folder / "servers.ini");
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
    const fs::path folder = PathOf(programPath).parent_path();
    const std::string probe = folder.empty() ? std::string(".") : TextOf(folder);
#ifdef _WIN32
    // Access bits say nothing of ACLs (Program Files): only a file made there tells.
    QTemporaryFile test(QString::fromStdString(probe) + QStringLiteral("/.tallyvane-XXXXXX"));
    const bool writable = test.open();
#else
    const bool writable = ::access(probe.c_str(), W_OK | X_OK) == 0;
#endif
    // An installed program (its data in ../share/tallyvane) never keeps the server list, which
    // holds passwords, in a bin/ folder, even one the user may write (~/.local/bin, or root's
    // /usr/local/bin).
    std::error_code error;
    const bool installed = fs::is_directory(PathOf(probe) / ".." / "share" / "tallyvane", error);
    const TFileNames names =
        ComputeFileNames(programPath, writable && !installed, UserConfigFolder());
    SettingsFileName = names.Settings;
    ServersFileName = names.Servers;
    ConfigFolderInUse =
        names.InConfigFolder ? TextOf(PathOf(names.Settings).parent_path()) : std::string();
}

void PrepareFolderOf(const std::string& fileName) {
    const std::string folder = TextOf(PathOf(fileName).parent_path());
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
