#include "AtomicFile.h"

#include "TempFolder.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

TEST(AtomicFileTest, ReplacesTheFileAndCreatesItForTheOwnerOnly) {
    TTempFolder folder;
    const std::string path = folder.File("servers.ini");
    const mode_t oldMask = ::umask(0);
    const std::error_code created = WriteFileAtomically(path, "first");
    ::umask(oldMask);
    ASSERT_FALSE(created) << created.message();
    EXPECT_EQ(ReadText(path), "first");
    EXPECT_EQ(FileMode(path), 0600u);

    ASSERT_FALSE(WriteFileAtomically(path, "second, longer"));
    EXPECT_EQ(ReadText(path), "second, longer");
    EXPECT_EQ(FileMode(path), 0600u);
    EXPECT_EQ(folder.Entries(), std::set<std::string>{"servers.ini"}); // no temporary left

    std::string text;
    EXPECT_FALSE(ReadWholeFile(path, text));
    EXPECT_EQ(text, "second, longer");
    EXPECT_EQ(ReadWholeFile(folder.File("missing.ini"), text),
              std::errc::no_such_file_or_directory);
}

// The old file stays exactly as it was, and nothing is left beside it, whatever step fails.
TEST(AtomicFileTest, AFailedWriteLeavesTheOldFileAsItWas) {
    struct TCase {
        const char* Name;
        std::function<std::string(TTempFolder&)> Target; // prepares the failure, gives the path
        bool LimitFileSize;
        std::errc Expected;
    };
    const std::string oldText = "[A]\r\nk=old\r\n\r\n";
    const std::vector<TCase> cases = {
        {"disk full while writing",
         [&](TTempFolder& f) {
             WriteText(f.File("a.ini"), oldText);
             return f.File("a.ini");
         },
         true, std::errc::file_too_large},
        {"folder missing", [](TTempFolder& f) { return f.File("gone/a.ini"); }, false,
         std::errc::no_such_file_or_directory},
        {"rename over a folder",
         [](TTempFolder& f) {
             std::filesystem::create_directory(f.File("a.ini"));
             WriteText(f.File("a.ini/inside"), "x");
             return f.File("a.ini");
         },
         false, std::errc::is_a_directory},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempFolder folder;
        const std::string path = c.Target(folder);
        const std::set<std::string> before = folder.Entries();
        std::error_code error;
        {
            std::optional<TFileSizeLimit> limit;
            if (c.LimitFileSize)
                limit.emplace(8);
            error = WriteFileAtomically(path, std::string(4096, 'n'));
        }
        EXPECT_EQ(error, c.Expected) << error.message();
        EXPECT_EQ(folder.Entries(), before);
        if (c.LimitFileSize) {
            EXPECT_EQ(ReadText(path), oldText);
        }
    }
}

// A list shared through a symbolic link goes on being shared: the target is replaced (in its
// own folder), the link stays a link.
TEST(AtomicFileTest, WritesThroughASymbolicLinkToItsTarget) {
    TTempFolder folder;
    std::filesystem::create_directory(folder.File("shared"));
    const std::string target = folder.File("shared/servers.ini");
    WriteText(target, "old");
    ::chmod(target.c_str(), 0640);
    const std::string link = folder.File("servers.ini");
    std::filesystem::create_symlink("shared/servers.ini", link);

    ASSERT_FALSE(WriteFileAtomically(link, "new"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadText(target), "new");
    EXPECT_EQ(FileMode(target), 0640u); // a replaced file keeps its permissions
    EXPECT_EQ(folder.Entries(), (std::set<std::string>{"servers.ini", "shared"}));
    EXPECT_EQ(TTempFolder::EntriesOf(folder.File("shared")), std::set<std::string>{"servers.ini"});

    // A link to a file that does not exist yet creates the target.
    std::filesystem::remove(target);
    ASSERT_FALSE(WriteFileAtomically(link, "created"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadText(target), "created");
}

// Read-only means left alone, also for root (who could write it anyway).
TEST(AtomicFileTest, AReadOnlyFileIsNotReplaced) {
    TTempFolder folder;
    const std::string path = folder.File("servers.ini");
    WriteText(path, "keep");
    ::chmod(path.c_str(), 0444);
    EXPECT_EQ(WriteFileAtomically(path, "new"), std::errc::permission_denied);
    EXPECT_EQ(ReadText(path), "keep");
    EXPECT_EQ(FileMode(path), 0444u);
    EXPECT_EQ(folder.Entries(), std::set<std::string>{"servers.ini"});
}

// Saves interrupted by a crash leave temporaries (with passwords in them); the next save
// removes ours that are old, and nothing else.
TEST(AtomicFileTest, StaleTemporariesOfInterruptedSavesAreRemoved) {
    TTempFolder folder;
    const std::string path = folder.File("servers.ini");
    const auto make = [&](const std::string& name, bool old) {
        WriteText(folder.File(name), "secret");
        if (old) {
            const auto past = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
            std::filesystem::last_write_time(folder.File(name), past);
        }
    };
    make(".servers.ini.a1B2c3", true);  // ours, stale
    make(".servers.ini.Zz9Yy8", true);  // ours, stale
    make(".servers.ini.q1w2e3", false); // ours, but a save may be writing it now
    make(".servers.ini.toolong1", true);
    make(".other.ini.a1B2c3", true);
    make("servers.ini.a1B2c3", true);
    ASSERT_FALSE(WriteFileAtomically(path, "new"));
    EXPECT_EQ(folder.Entries(),
              (std::set<std::string>{"servers.ini", ".servers.ini.q1w2e3", ".servers.ini.toolong1",
                                     ".other.ini.a1B2c3", "servers.ini.a1B2c3"}));
}

} // namespace
