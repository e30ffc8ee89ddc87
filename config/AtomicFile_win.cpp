// Windows: the same contract as on Linux, through the Win32 file calls. Paths arrive as UTF-8;
// a file that is replaced keeps its security descriptor (ReplaceFileW), a new one inherits
// the folder's (under %APPDATA% the user's profile grants the user alone).
#include "AtomicFile.h"
#include "FollowLinks.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <windows.h>

namespace {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                              n);
    return wide;
}

// The callers compare with std::errc and print message(): portable codes for what they act on.
std::error_code FromWin32(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
        return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return std::make_error_code(std::errc::permission_denied);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return std::make_error_code(std::errc::no_space_on_device);
    case ERROR_FILENAME_EXCED_RANGE:
        return std::make_error_code(std::errc::filename_too_long);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return std::make_error_code(std::errc::file_exists);
    default:
        return std::make_error_code(std::errc::io_error);
    }
}

std::error_code LastError() {
    return FromWin32(::GetLastError());
}

class THandle {
public:
    explicit THandle(HANDLE h) : H(h) {}
    ~THandle() { Close(); }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return H; }
    bool Valid() const { return H != INVALID_HANDLE_VALUE; }
    bool Close() {
        const bool ok = !Valid() || ::CloseHandle(H) != 0;
        H = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE H;
};

std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(Wide(utf8));
}

// ".servers.ini.XXXXXX" beside "servers.ini", as on Linux.
bool IsTemporaryOf(const std::wstring& name, const std::wstring& fileName) {
    const std::wstring prefix = L"." + fileName + L".";
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(
        name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), [](wchar_t c) {
            return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
        });
}

// Leftovers of saves that a crash interrupted (they may hold passwords); young ones may belong
// to another running copy's save.
void RemoveStaleTemporaries(const std::filesystem::path& target) {
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(L".");
    const std::wstring fileName = target.filename().wstring();
    const auto now = std::filesystem::file_time_type::clock::now();
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::error_code statError;
        if (!IsTemporaryOf(it->path().filename().wstring(), fileName) ||
            !it->is_regular_file(statError) || it->is_symlink(statError))
            continue;
        const auto written = it->last_write_time(statError);
        if (statError || now - written < std::chrono::seconds(60))
            continue;
        ::DeleteFileW(it->path().c_str());
    }
}

} // namespace

std::error_code ReadWholeFile(const std::string& path, std::string& text) {
    text.clear();
    THandle file(::CreateFileW(Wide(path).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return LastError();
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof buffer, &n, nullptr))
            return LastError();
        if (n == 0)
            return {};
        text.append(buffer, n);
    }
}

std::error_code WriteFileAtomically(const std::string& path, const std::string& text) {
    std::filesystem::path target = PathOf(path);
    if (std::error_code resolveError = FollowLinks(target))
        return resolveError;
    const std::wstring targetPath = target.wstring();
    const DWORD attributes = ::GetFileAttributesW(targetPath.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    // A file that the user made read-only stays as it is.
    if (exists && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return std::make_error_code(std::errc::permission_denied);
    RemoveStaleTemporaries(target);

    static const wchar_t letters[] =
        L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<std::size_t> pick(0, std::size(letters) - 2);
    std::wstring temp;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        std::wstring name = L"." + target.filename().wstring() + L".";
        for (int i = 0; i < 6; ++i)
            name += letters[pick(random)];
        temp = (target.parent_path() / name).wstring();
        created = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    THandle file(created);
    if (!file.Valid())
        return LastError();
    std::error_code error;
    std::size_t done = 0;
    while (!error && done < text.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file.Get(), text.data() + done, chunk, &written, nullptr))
            error = LastError();
        done += written;
    }
    if (!error && !::FlushFileBuffers(file.Get()))
        error = LastError();
    if (!file.Close() && !error)
        error = LastError();
    if (!error) {
        // ReplaceFileW keeps the old file's security descriptor and attributes; a new file
        // needs a plain rename.
        const bool replaced =
            exists && ::ReplaceFileW(targetPath.c_str(), temp.c_str(), nullptr,
                                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
        if (!replaced && !::MoveFileExW(temp.c_str(), targetPath.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            error = LastError();
    }
    if (error) {
        ::DeleteFileW(temp.c_str());
        return error;
    }
    return {};
}
