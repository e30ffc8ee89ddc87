// A folder of its own for each test, removed afterwards, and small file helpers.
#pragma once

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <signal.h>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

class TTempFolder {
public:
    TTempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tallyvane-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        Path = pattern;
    }
    ~TTempFolder() {
        std::error_code ignored;
        std::filesystem::permissions(Path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(Path, ignored);
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    std::string File(const std::string& name) const { return (Path / name).string(); }
    // Names of the entries in the folder.
    std::set<std::string> Entries() const { return EntriesOf(Path); }
    static std::set<std::string> EntriesOf(const std::filesystem::path& folder) {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }

    std::filesystem::path Path;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline unsigned FileMode(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

// Makes every write beyond `bytes` bytes of a file fail with EFBIG for as long as it lives:
// a full disk that also stops root.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &Old);
        OldHandler = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = Old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &Old);
        ::signal(SIGXFSZ, OldHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    rlimit Old{};
    sighandler_t OldHandler = SIG_DFL;
};
