#include "ProfileFile.h"

#include "Errors.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

TEST(ProfileFileTest, ReadsOneKeyWithADefault) {
    const TIniText ini("[S]\nText= some words \nEmpty=\nNumber=0x1F\nBad=12abc\n");
    EXPECT_EQ(ProfileString(ini, "s", "TEXT", "d"), "some words");
    EXPECT_EQ(ProfileString(ini, "S", "Empty", "d"), ""); // present but empty: not the default
    EXPECT_EQ(ProfileString(ini, "S", "Missing", "d"), "d");
    EXPECT_EQ(ProfileString(ini, "Other", "Text", "d"), "d");
    EXPECT_EQ(ProfileInteger(ini, "S", "Number", 5), 31);
    EXPECT_EQ(ProfileInteger(ini, "S", "Bad", 5), 5);
    EXPECT_EQ(ProfileInteger(ini, "S", "Empty", 5), 5);
    EXPECT_EQ(ProfileInteger(ini, "S", "Missing", 5), 5);
}

TEST(ProfileFileTest, LongTextComesBackCutTo2047Bytes) {
    struct TCase {
        std::string Value;
        std::string Expected;
    };
    const std::string e = "\xC3\xA9"; // two bytes
    const std::vector<TCase> cases = {
        {std::string(2047, 'a'), std::string(2047, 'a')},
        {std::string(2048, 'a'), std::string(2047, 'a')},
        {std::string(5000, 'a'), std::string(2047, 'a')},
        // A character across the limit is left out whole rather than split.
        {std::string(2046, 'a') + e + "tail", std::string(2046, 'a')},
        {std::string(2045, 'a') + e + "tail", std::string(2045, 'a') + e},
    };
    for (const TCase& c : cases) {
        const TIniText ini("[S]\nk=" + c.Value + "\n");
        EXPECT_EQ(ProfileString(ini, "S", "k", ""), c.Expected) << c.Value.size();
    }
}

TEST(ProfileFileTest, MissingOrUnreadableFileReadsAsEmpty) {
    TTempFolder folder;
    EXPECT_EQ(ReadProfileFile(folder.File("none.ini")).SectionCount(), 0);
    std::filesystem::create_directory(folder.File("dir.ini"));
    EXPECT_EQ(ReadProfileFile(folder.File("dir.ini")).SectionCount(), 0);
}

TEST(ProfileFileTest, WritingAKeyUpdatesTheFileInPlace) {
    TTempFolder folder;
    const std::string path = folder.File("tallyvane.ini");
    WriteProfileString(path, "Settings", "AutoRefresh", "1");
    EXPECT_EQ(ReadText(path), "[Settings]\r\nAutoRefresh=1\r\n\r\n");
    EXPECT_EQ(FileMode(path), 0600u);

    WriteText(path, "; mine\n[Other]\nx = 1\n[settings]\nautorefresh=0\nKeep=me\n");
    WriteProfileString(path, "Settings", "AutoRefresh", "1");
    WriteProfileString(path, "Settings", "WarningTimeout", "100");
    EXPECT_EQ(ReadText(path), "; mine\r\n[Other]\r\nx = 1\r\n\r\n[settings]\r\nAutoRefresh=1\r\n"
                              "Keep=me\r\nWarningTimeout=100\r\n\r\n");
}

TEST(ProfileFileTest, AKeyThatCannotBeWrittenLeavesTheFileAlone) {
    struct TCase {
        const char* Name;
        std::string Value;
        bool DiskFull;
    };
    const std::vector<TCase> cases = {
        {"line break in the value", "a\r\n[Injected]", false},
        {"disk full", std::string(3000, 'x'), true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempFolder folder;
        const std::string path = folder.File("tallyvane.ini");
        const std::string old = "[Settings]\r\nWarningSoundPath=old.wav\r\n\r\n";
        WriteText(path, old);
        try {
            std::optional<TFileSizeLimit> limit;
            if (c.DiskFull)
                limit.emplace(old.size() + 10);
            WriteProfileString(path, "Settings", "WarningSoundPath", c.Value);
            ADD_FAILURE() << "no error";
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
        }
        EXPECT_EQ(ReadText(path), old);
        EXPECT_EQ(folder.Entries(), std::set<std::string>{"tallyvane.ini"});
    }

    // A file that exists but cannot be read is not replaced by one that lacks its content.
    TTempFolder folder;
    const std::string path = folder.File("tallyvane.ini");
    std::filesystem::create_directory(path);
    EXPECT_THROW(WriteProfileString(path, "Settings", "AutoRefresh", "1"), Exception);
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

} // namespace
