#include "Settings.h"

#include "Errors.h"
#include "IniText.h"
#include "TempFolder.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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
    EXPECT_TRUE(RecordHistory);
    EXPECT_EQ(HistoryMinDurationMs(), 3000) << "the warning threshold";
    EXPECT_EQ(HistoryRetentionDays, 14);
    EXPECT_TRUE(ConfirmKill);
    EXPECT_TRUE(NotifyDeadlocks);
    EXPECT_TRUE(WarnWhenServerStops);
    EXPECT_TRUE(OpenBlockingChains);
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
        {"NotifyDeadlocks=0", [] { return !NotifyDeadlocks; }},
        {"WarnWhenServerStops=0", [] { return !WarnWhenServerStops; }},
        {"OpenBlockingChains=0", [] { return !OpenBlockingChains; }},
        {"OpenBlockingChains=on", [] { return OpenBlockingChains; }},
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

TEST_F(SettingsTest, SaveWritesEveryKeyInOrderAndLoadGivesThemBack) {
    AutoRefresh = false;
    AutoRefreshInterval = 65535;
    IgnoreSelfBlocks = true;
    WarningTimeout = 0;
    WarningSoundPath = "/tmp/ding dong.wav";
    WarnOnlyOnce = true;
    ConfirmKill = false;
    NotifyDeadlocks = false;
    OpenBlockingChains = false;
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
                              "RecordHistory=1\r\n"
                              "HistoryMinDuration=\r\n"
                              "HistoryRetentionDays=14\r\n"
                              "ConfirmKill=0\r\n"
                              "NotifyDeadlocks=0\r\n"
                              "WarnWhenServerStops=1\r\n"
                              "OpenBlockingChains=0\r\n"
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
    EXPECT_FALSE(OpenBlockingChains);
}

TEST_F(SettingsTest, HistoryKeysAndTheMinimumDurationThatFollowsTheThreshold) {
    struct {
        const char* Text;
        bool Record;
        std::int32_t MinDuration; // as stored
        std::int32_t Applies;     // with WarningTimeout=2500
        std::uint16_t Days;
        const char* Saved; // the three lines written back, separated by |
    } cases[] = {
        {"", true, -1, 2500, 14, "RecordHistory=1|HistoryMinDuration=|HistoryRetentionDays=14"},
        {"RecordHistory=0\nHistoryMinDuration=60000\nHistoryRetentionDays=90", false, 60000, 60000,
         90, "RecordHistory=0|HistoryMinDuration=60000|HistoryRetentionDays=90"},
        {"HistoryMinDuration=\nHistoryRetentionDays=0", true, -1, 2500, 1,
         "RecordHistory=1|HistoryMinDuration=|HistoryRetentionDays=1"},
        {"HistoryMinDuration=-40", true, -1, 2500, 14,
         "RecordHistory=1|HistoryMinDuration=|HistoryRetentionDays=14"},
        {"HistoryMinDuration=0", true, 0, 0, 14,
         "RecordHistory=1|HistoryMinDuration=0|HistoryRetentionDays=14"},
        {"HistoryMinDuration=999999999\nHistoryRetentionDays=70000", true, 86400000, 86400000,
         65535, "RecordHistory=1|HistoryMinDuration=86400000|HistoryRetentionDays=65535"},
        {"HistoryMinDuration=soon", true, -1, 2500, 14,
         "RecordHistory=1|HistoryMinDuration=|HistoryRetentionDays=14"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        ResetSettings();
        WriteText(Path, std::string("[Settings]\nWarningTimeout=2500\n") + c.Text + "\n");
        LoadSettings(Path);
        EXPECT_EQ(RecordHistory, c.Record);
        EXPECT_EQ(HistoryMinDuration, c.MinDuration);
        EXPECT_EQ(HistoryMinDurationMs(), c.Applies);
        EXPECT_EQ(HistoryRetentionDays, c.Days);
        SaveSettings(Path);
        const std::string saved = "\n" + ReadText(Path);
        std::string line;
        for (const char* at = c.Saved;; ++at) {
            if (*at != '|' && *at != '\0') {
                line += *at;
                continue;
            }
            EXPECT_NE(saved.find("\n" + line + "\r\n"), std::string::npos) << line;
            line.clear();
            if (*at == '\0')
                break;
        }
    }
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

// A save that fails changes nothing in the file; the variables keep their new values.
TEST_F(SettingsTest, AFailedSaveLeavesTheWholeFileAsItWas) {
    const std::string before = "[Settings]\r\nAutoRefresh=1\r\nWarningSoundPath=old.wav\r\n\r\n";
    WriteText(Path, before);
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
    EXPECT_EQ(ReadText(Path), before);
    EXPECT_EQ(WarningSoundPath.size(), 4000u);
    EXPECT_EQ(Folder.Entries(), std::set<std::string>{"tallyvane.ini"});
}

// The file as other editors and the profile routines it comes from leave it: a byte order
// mark, a section that occurs twice (the first counts), quotes around a value (one pair is
// not part of it).
TEST_F(SettingsTest, ReadsFilesAsTheProfileRoutinesDo) {
    const struct {
        const char* Text;
        std::function<bool()> Check;
    } cases[] = {
        {"\xEF\xBB\xBF[Settings]\r\nAutoRefresh=0\r\n", [] { return !AutoRefresh; }},
        {"[Settings]\nAutoRefresh=0\n[Settings]\nAutoRefresh=1\nWarnOnlyOnce=1\n",
         [] { return !AutoRefresh && !WarnOnlyOnce; }},
        {"[Settings]\nWarningSoundPath=\"/a b/c.wav\"\n",
         [] { return WarningSoundPath == "/a b/c.wav"; }},
        {"[Settings]\nWarningSoundPath='/a b/c.wav'\n",
         [] { return WarningSoundPath == "/a b/c.wav"; }},
        {"[Settings]\nWarningSoundPath=\"\"x\"\"\n", [] { return WarningSoundPath == "\"x\""; }},
        {"[Settings]\nWarningSoundPath=\"a.wav\n", [] { return WarningSoundPath == "\"a.wav"; }},
        {"[Settings]\nWarningSoundPath=\"a'\n", [] { return WarningSoundPath == "\"a'"; }},
        {"[Settings]\nAutoRefreshInterval=\"25\"\n", [] { return AutoRefreshInterval == 25; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        ResetSettings();
        Load(c.Text);
        EXPECT_TRUE(c.Check());
    }
}

TEST_F(SettingsTest, SavingWritesWhereReadingLooks) {
    // The byte order mark stays and no second section appears.
    Load("\xEF\xBB\xBF[Settings]\r\nAutoRefresh=0\r\n");
    AutoRefresh = true;
    SaveSettings(Path);
    std::string text = ReadText(Path);
    EXPECT_EQ(text.rfind("\xEF\xBB\xBF[Settings]\r\nAutoRefresh=1\r\n", 0), 0u) << text;
    EXPECT_EQ(text.find("[Settings]", 4), std::string::npos) << text;

    // Of two sections the first one is written; the second stays as it was.
    Load("[Settings]\r\nAutoRefresh=0\r\n\r\n[Settings]\r\nAutoRefresh=0\r\n");
    AutoRefresh = true;
    SaveSettings(Path);
    text = ReadText(Path);
    EXPECT_EQ(text.rfind("[Settings]\r\nAutoRefresh=1\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\r\n[Settings]\r\nAutoRefresh=0\r\n"), std::string::npos) << text;

    // Values with quotes of their own, or blanks at either end, come back as they were saved.
    for (const char* value : {"\"quoted\"", "'single'", "\"", "''", "a\"b", " \"x\" ",
                              " /snd/a b.wav", "/snd/ab.wav  ", "\t/x\t", "   ", " ' "}) {
        SCOPED_TRACE(value);
        WarningSoundPath = value;
        SaveSettings(Path);
        ResetSettings();
        LoadSettings(Path);
        EXPECT_EQ(WarningSoundPath, value);
    }
    // Files written before keep reading as they did: unquoted values are trimmed.
    Load("[Settings]\r\nWarningSoundPath=  /snd/old.wav  \r\n");
    EXPECT_EQ(WarningSoundPath, "/snd/old.wav");
}

// A file with a NUL is refused whole: no setting changes, and no save of this process replaces
// it, also once it was mended behind the program's back.
TEST_F(SettingsTest, AFileWithANulIsRefusedAndNotSavedOver) {
    const std::string text("[Settings]\r\nAutoRefresh=0\r\n\0\r\nWarningTimeout=1\r\n", 48);
    WriteText(Path, text);
    try {
        LoadSettings(Path);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot read file \"" + Path +
                      "\": line 3 holds a NUL byte. Nothing of the file is used, and it is not "
                      "saved over");
    }
    ExpectDefaults();
    EXPECT_THROW(SaveSettings(Path), Exception);
    EXPECT_EQ(ReadText(Path), text);
    WriteText(Path, "[Settings]\r\nAutoRefresh=0\r\n");
    EXPECT_THROW(SaveSettings(Path), Exception);
    EXPECT_EQ(ReadText(Path), "[Settings]\r\nAutoRefresh=0\r\n");
    // Another file of the same process, or the next start, is not affected.
    SaveSettings(Folder.File("other.ini"));
    ResetSettings();
    LoadSettings(Path);
    EXPECT_FALSE(AutoRefresh);
}

// A save killed at any moment leaves the old values or the new ones, never a mix.
TEST_F(SettingsTest, ASaveKilledAtAnyMomentLeavesOneWholeSetOfValues) {
    for (int run = 0; run < 40; ++run) {
        ResetSettings();
        SaveSettings(Path);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Alternates between two complete sets of values until killed.
            for (int i = 1;; ++i) { // the first save already changes every value
                const bool odd = i % 2 != 0;
                AutoRefresh = !odd;
                AutoRefreshInterval = odd ? 11 : 10;
                ShowInSystemTray = !odd;
                WarningTimeout = odd ? 4000 : 3000;
                WarningSoundPath = odd ? "odd.wav" : "chord.wav";
                WarnOnlyOnce = odd;
                SaveSettings(Path);
            }
        }
        ::usleep(static_cast<useconds_t>(1000 + run * 7919 % 60000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ResetSettings();
        LoadSettings(Path);
        const bool odd = !AutoRefresh;
        SCOPED_TRACE(run);
        EXPECT_EQ(AutoRefreshInterval, odd ? 11 : 10);
        EXPECT_EQ(ShowInSystemTray, !odd);
        EXPECT_EQ(WarningTimeout, odd ? 4000 : 3000);
        EXPECT_EQ(WarningSoundPath, odd ? "odd.wav" : "chord.wav");
        EXPECT_EQ(WarnOnlyOnce, odd);
    }
}

TEST_F(SettingsTest, LimitsLargeNumbersToTheSixteenBitRange) {
    EXPECT_EQ(LimitToUInt16Setting(-5, 1), 1);
    EXPECT_EQ(LimitToUInt16Setting(0, 0), 0);
    EXPECT_EQ(LimitToUInt16Setting(65535, 1), 65535);
    EXPECT_EQ(LimitToUInt16Setting(10000000, 0), 65535);
}

} // namespace
