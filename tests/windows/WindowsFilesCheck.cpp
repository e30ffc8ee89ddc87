// The Windows file seams, run under Wine by tests/windows/test_windows.py: crash-safe
// replacement, read-only files, leftovers of interrupted saves, UTF-8 paths beyond ASCII, and
// the %APPDATA% rule. GoogleTest is not cross-built, so each failed check prints a line and
// the exit status counts them.
#include "AtomicFile.h"
#include "FileNames.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <windows.h>

namespace fs = std::filesystem;

namespace {

int Failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok)
        ++Failures;
}

std::string Utf8(const std::wstring& wide) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), s.data(), n,
                          nullptr, nullptr);
    return s;
}

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Read(const std::string& path) {
    std::string text;
    return ReadWholeFile(path, text) ? std::string("<error>") : text;
}

void MakeOld(const fs::path& file) {
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: windows-files-check FOLDER\n");
        return 2;
    }
    // A folder name beyond ASCII and the code page: the paths travel as UTF-8.
    const fs::path root = fs::path(argv[1]) / L"Pr\u00fcfung \u6e2c\u8a66";
    fs::remove_all(root);
    fs::create_directories(root);
    const std::string folder = Utf8(root.wstring());
    const std::string servers = folder + "\\servers.ini";

    std::string text;
    Check(ReadWholeFile(servers, text) == std::errc::no_such_file_or_directory,
          "a missing file reads as no_such_file_or_directory");
    Check(!WriteFileAtomically(servers, "[A]\r\n") && Read(servers) == "[A]\r\n",
          "a new file is written");
    Check(fs::exists(root / L"servers.ini"), "under the name Windows gives it (UTF-8 path)");
    Check(!WriteFileAtomically(servers, "[B]\r\n") && Read(servers) == "[B]\r\n",
          "an existing file is replaced");
    std::string big(3 * 65536 + 17, 'x');
    Check(!WriteFileAtomically(servers, big) && Read(servers) == big,
          "a file larger than one read buffer comes back whole");

    int leftovers = 0;
    for (const auto& entry : fs::directory_iterator(root))
        leftovers += entry.path().filename() != L"servers.ini";
    Check(leftovers == 0, "no temporary file is left after a save");

    // Leftovers of an interrupted save: old ones go, a young one (another copy saving right
    // now) and files that only look alike stay.
    const fs::path stale = root / L".servers.ini.Ab12Cd";
    const fs::path young = root / L".servers.ini.Zz98Yy";
    const fs::path alike = root / L".servers.ini.toolong1";
    const fs::path other = root / L".other.ini.Ab12Cd";
    for (const fs::path& p : {stale, young, alike, other}) {
        std::FILE* f = _wfopen(p.c_str(), L"wb");
        std::fputs("password=secret", f);
        std::fclose(f);
    }
    MakeOld(stale);
    MakeOld(alike);
    MakeOld(other);
    Check(!WriteFileAtomically(servers, "[C]\r\n"), "a save beside leftovers succeeds");
    Check(!fs::exists(stale), "an old leftover of this file is removed");
    Check(fs::exists(young) && fs::exists(alike) && fs::exists(other),
          "a young leftover and other files stay");

    // A file the user made read-only stays as it is.
    const std::string locked = folder + "\\locked.ini";
    Check(!WriteFileAtomically(locked, "keep"), "a second file is written");
    ::SetFileAttributesW((root / L"locked.ini").c_str(), FILE_ATTRIBUTE_READONLY);
    Check(WriteFileAtomically(locked, "lost") == std::errc::permission_denied,
          "a read-only file is refused with permission_denied");
    Check(Read(locked) == "keep", "and keeps its content");
    ::SetFileAttributesW((root / L"locked.ini").c_str(), FILE_ATTRIBUTE_NORMAL);

    // A folder that does not exist: the error, and nothing made.
    Check(WriteFileAtomically(folder + "\\missing\\servers.ini", "x") ==
              std::errc::no_such_file_or_directory,
          "a save into a missing folder fails with no_such_file_or_directory");

    // %APPDATA%\Tallyvane, also beyond ASCII, and the folder made on demand.
    const std::wstring appData = (root / L"AppData \u00e9").wstring();
    ::_wputenv_s(L"APPDATA", appData.c_str());
    const std::string config = UserConfigFolder();
    Check(PathOf(config) == fs::path(appData) / L"Tallyvane",
          "the configuration folder is %APPDATA%\\Tallyvane: " + config);
    const TFileNames names =
        ComputeFileNames("C:/Program Files/Tallyvane/tallyvane.exe", false, config);
    Check(names.InConfigFolder &&
              PathOf(names.Servers) == fs::path(appData) / L"Tallyvane" / L"servers.ini" &&
              PathOf(names.Settings) == fs::path(appData) / L"Tallyvane" / L"tallyvane.ini",
          "a program folder that cannot be written sends the files there: " + names.Servers);
    const std::string programFolder = Utf8((root / L"Programm").wstring());
    fs::create_directories(root / L"Programm");
    InitFileNames(programFolder + "/tallyvane.exe");
    Check(PathOf(ServersFileName) == root / L"Programm" / L"servers.ini",
          "a program folder that can be written keeps the files: " + ServersFileName);
    PrepareFolderOf(names.Servers);
    Check(!fs::exists(fs::path(appData) / L"Tallyvane"),
          "the configuration folder is made only when it is the one in use");
    ::_wputenv_s(L"APPDATA", L"");
    Check(UserConfigFolder().empty(), "no APPDATA: no configuration folder");

    std::printf(Failures == 0 ? "all file checks passed\n" : "%d file check(s) failed\n", Failures);
    return Failures;
}
