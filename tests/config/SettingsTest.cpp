#include "Settings.h"

#include "Errors.h"
#include "TempFolder.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettings();
        Path = Folder.File("tallyvane.ini");
    }
    void TearDown() override { ResetSettings(); }

    void Load(const std::string& body) {
        WriteText(Path, body);
        LoadSettings(Path);
    }

    TTempFolder Folder;
    std::string Path;
};

void ExpectDefaults() {
    EXPECT_TRUE(AutoRefresh);
    EXPECT_EQ(AutoRefreshInterval, 10);
    EXPECT_TRUE(ShowInSystemTray);
    EXPECT_FALSE(IgnoreSelfBlocks);
    EXPECT_FALSE(IgnoreNotWarningBlocks);
    EXPECT_TRUE(AutoHideOnMinimize);
    EXPECT_EQ(WarningTimeout, 3000);
    EXPECT_TRUE(PlaySoundOnWarning);
    EXPECT_EQ(WarningSoundPath, "chord.wav");
    EXPECT_TRUE(ShowBaloonOnWarning);
    EXPECT_FALSE(WarnOnlyOnce);
    EXPECT_TRUE(ConfirmKill);
}

TEST_F(SettingsTest, WithoutAFileEverySettingKeepsItsDefault) {
    LoadSettings(Folder.File("missing.ini"));
    ExpectDefaults();
    Load("[Other]\nAutoRefresh=0\n"); // another section means nothing
    ExpectDefaults();
}

TEST_F(SettingsTest, ReadsEachValueByItsRule) {
    struct TCase {
        const char* Line;
        std::function<bool()> Check;
    };
    const std::vector<TCase> cases = {
        {"AutoRefresh=0", [] { return !AutoRefresh && AutoRefreshInterval == 10; }},
        {"AutoRefresh=2", [] { return AutoRefresh; }},
        {"AutoRefresh=yes", [] { return AutoRefresh; }}, // no whole number: the default
        {"AutoRefresh=-1", [] { return AutoRefresh; }},
        {"AutoRefresh=0x0", [] { return !AutoRefresh; }},
        {"autorefresh=0", [] { return !AutoRefresh; }},
        {"IgnoreSelfBlocks=1", [] { return IgnoreSelfBlocks; }},
        {"AutoRefreshInterval=0", [] { return AutoRefreshInterval == 1; }},
        {"AutoRefreshInterval=-7", [] { return AutoRefreshInterval == 1; }},
        {"AutoRefreshInterval=65535", [] { return AutoRefreshInterval == 65535; }},
        {"AutoRefreshInterval=65536", [] { return AutoRefreshInterval == 65535; }},
        {"AutoRefreshInterval=3.5", [] { return AutoRefreshInterval == 10; }},
        {"WarningTimeout=-1", [] { return WarningTimeout == 0; }},
        {"WarningTimeout=0x10", [] { return WarningTimeout == 16; }},
        {"WarningTimeout=10000000", [] { return WarningTimeout == 65535; }},
        {"WarningTimeout=2147483648", [] { return WarningTimeout == 3000; }},
        {"WarningSoundPath=", [] { return WarningSoundPath.empty(); }},
        {"WarningSoundPath=  /usr/share/sounds/a b.wav  ",
         [] { return WarningSoundPath == "/usr/share/sounds/a b.wav"; }},
        {"ShowBaloonOnWarning=0", [] { return !ShowBaloonOnWarning; }},
        {"WarnOnlyOnce=1", [] { return WarnOnlyOnce; }},
        {"ConfirmKill=0", [] { return !ConfirmKill; }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Line);
        ResetSettings();
        Load(std::string("[SETTINGS]\n") + c.Line + "\n");
        EXPECT_TRUE(c.Check());
    }
}

TEST_F(SettingsTest, LoadingStartsFromTheCurrentValues) {
    WarningTimeout = 1234;
    Load("[Settings]\nWarningTimeout=oops\n");
    EXPECT_EQ(WarningTimeout, 1234);
}

TEST_F(SettingsTest, LongSoundPathComesBackCut) {
    Load("[Settings]\nWarningSoundPath=" + std::string(3000, 'p') + "\n");
    EXPECT_EQ(WarningSoundPath, std::string(2047, 'p'));
}

TEST_F(SettingsTest, SaveWritesTheKeysInOrderAndLoadGivesThemBack) {
    AutoRefresh = false;
    AutoRefreshInterval = 65535;
    IgnoreSelfBlocks = true;
    WarningTimeout = 0;
    WarningSoundPath = "/tmp/ding dong.wav";
    WarnOnlyOnce = true;
    ConfirmKill = false;
    SaveSettings(Path);
    EXPECT_EQ(ReadText(Path), "[Settings]\r\n"
                              "AutoRefresh=0\r\n"
                              "AutoRefreshInterval=65535\r\n"
                              "ShowInSystemTray=1\r\n"
                              "IgnoreSelfBlocks=1\r\n"
                              "IgnoreNotWarningBlocks=0\r\n"
                              "AutoHideOnMinimize=1\r\n"
                              "WarningTimeout=0\r\n"
                              "PlaySoundOnWarning=1\r\n"
                              "WarningSoundPath=/tmp/ding dong.wav\r\n"
                              "ShowBaloonOnWarning=1\r\n"
                              "WarnOnlyOnce=1\r\n"
                              "ConfirmKill=0\r\n"
                              "\r\n");
    EXPECT_EQ(FileMode(Path), 0600u);

    ResetSettings();
    LoadSettings(Path);
    EXPECT_FALSE(AutoRefresh);
    EXPECT_EQ(AutoRefreshInterval, 65535);
    EXPECT_TRUE(IgnoreSelfBlocks);
    EXPECT_EQ(WarningTimeout, 0);
    EXPECT_EQ(WarningSoundPath, "/tmp/ding dong.wav");
    EXPECT_TRUE(WarnOnlyOnce);
    EXPECT_FALSE(ConfirmKill);
}

TEST_F(SettingsTest, SaveKeepsOtherSectionsKeysAndLines) {
    Load("; written by hand\r\n[Window]\r\nLeft=5\r\n\r\n[settings]\r\nAutoRefresh=2\r\n"
         "Extra=kept\r\n");
    EXPECT_TRUE(AutoRefresh);
    SaveSettings(Path);
    const std::string text = ReadText(Path);
    EXPECT_EQ(text.rfind("; written by hand\r\n[Window]\r\nLeft=5\r\n\r\n[settings]\r\n"
                         "AutoRefresh=1\r\nExtra=kept\r\nAutoRefreshInterval=10\r\n",
                         0),
              0u)
        << text;
    EXPECT_EQ(text.find("[Settings]"), std::string::npos); // no second section
}

// A failed key stops the save; keys written before it stay written, the rest of the file and
// the variables are as they were.
TEST_F(SettingsTest, SaveStopsAtTheFirstKeyThatCannotBeWritten) {
    WriteText(Path, "[Settings]\r\nWarningSoundPath=old.wav\r\n\r\n");
    AutoRefresh = false;
    WarningSoundPath = std::string(4000, 'w'); // makes the file too large for the disk
    {
        TFileSizeLimit diskFull(1000);
        try {
            SaveSettings(Path);
            ADD_FAILURE() << "no error";
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path);
        }
    }
    const std::string text = ReadText(Path);
    EXPECT_NE(text.find("AutoRefresh=0\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("WarningTimeout=3000\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("WarningSoundPath=old.wav\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("ShowBaloonOnWarning"), std::string::npos) << text;
    EXPECT_EQ(WarningSoundPath.size(), 4000u);
    EXPECT_EQ(Folder.Entries(), std::set<std::string>{"tallyvane.ini"});
}

TEST_F(SettingsTest, LimitsLargeNumbersToTheSixteenBitRange) {
    EXPECT_EQ(LimitToUInt16Setting(-5, 1), 1);
    EXPECT_EQ(LimitToUInt16Setting(0, 0), 0);
    EXPECT_EQ(LimitToUInt16Setting(65535, 1), 65535);
    EXPECT_EQ(LimitToUInt16Setting(10000000, 0), 65535);
}

} // namespace
