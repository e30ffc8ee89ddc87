#include "AtomicFile.h"

#include "TempFolder.h"

#include <functional>
#include <optional>
#include <gtest/gtest.h>
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

} // namespace
