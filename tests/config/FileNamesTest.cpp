#include "FileNames.h"

#include "ServerListFile.h"
#include "Settings.h"
#include "TempFolder.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(FileNamesTest, SettingsFileIsTheProgramPathWithIni) {
    struct TCase {
        const char* Program;
        const char* Settings;
        const char* Servers;
    };
    const std::vector<TCase> cases = {
        {"/opt/tools/monitor.exe", "/opt/tools/monitor.ini", "/opt/tools/servers.ini"},
        {"/opt/tools/tallyvane", "/opt/tools/tallyvane.ini", "/opt/tools/servers.ini"},
        {"/opt/v1.2/tallyvane", "/opt/v1.2/tallyvane.ini", "/opt/v1.2/servers.ini"},
        {"/opt/my.tally.vane", "/opt/my.tally.ini", "/opt/servers.ini"},
        {"/opt/trailing.", "/opt/trailing.ini", "/opt/servers.ini"},
    };
    for (const TCase& c : cases) {
        const TFileNames names = ComputeFileNames(c.Program, true, "/home/u/.config/Tallyvane");
        EXPECT_EQ(names.Settings, c.Settings) << c.Program;
        EXPECT_EQ(names.Servers, c.Servers) << c.Program;
        EXPECT_FALSE(names.InConfigFolder);
    }
    const TFileNames moved =
        ComputeFileNames("/usr/bin/tallyvane", false, "/home/u/.config/Tallyvane");
    EXPECT_EQ(moved.Settings, "/home/u/.config/Tallyvane/tallyvane.ini");
    EXPECT_EQ(moved.Servers, "/home/u/.config/Tallyvane/servers.ini");
    EXPECT_TRUE(moved.InConfigFolder);
}

class FileNamesFallbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_CONFIG_HOME");
        if (old != nullptr)
            OldXdg = old;
        ::setenv("XDG_CONFIG_HOME", Folder.Path.c_str(), 1);
        ResetSettings();
    }
    void TearDown() override {
        if (OldXdg)
            ::setenv("XDG_CONFIG_HOME", OldXdg->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        SettingsFileName.clear();
        ServersFileName.clear();
        ResetSettings();
    }

    TTempFolder Folder;
    std::optional<std::string> OldXdg;
};

TEST_F(FileNamesFallbackTest, ProgramFolderThatIsWritableHoldsTheFiles) {
    InitFileNames(Folder.File("tallyvane"));
    EXPECT_EQ(SettingsFileName, Folder.File("tallyvane.ini"));
    EXPECT_EQ(ServersFileName, Folder.File("servers.ini"));
    SaveSettings();
    SaveServers({{"db", true, "Provider=X", 30}});
    EXPECT_TRUE(std::filesystem::exists(Folder.File("tallyvane.ini")));
    EXPECT_TRUE(std::filesystem::exists(Folder.File("servers.ini")));
}

// Installed below a prefix the user may write (--prefix ~/.local, or root's /usr/local): the
// server list, which holds passwords, stays out of bin/. Without share/tallyvane beside bin/
// (a build or unpacked folder) the files stay beside the program.
TEST_F(FileNamesFallbackTest, InstalledProgramUsesTheConfigurationFolderEvenWithAWritableBin) {
    std::filesystem::create_directories(Folder.File("prefix/bin"));
    std::filesystem::create_directories(Folder.File("prefix/share/tallyvane/sounds"));
    InitFileNames(Folder.File("prefix/bin/tallyvane"));
    const std::string config = Folder.File("Tallyvane");
    EXPECT_EQ(SettingsFileName, config + "/tallyvane.ini");
    EXPECT_EQ(ServersFileName, config + "/servers.ini");
    SaveServers({{"db", true, "Provider=X;Password=secret", 30}});
    EXPECT_TRUE(std::filesystem::exists(config + "/servers.ini"));
    EXPECT_EQ(TTempFolder::EntriesOf(Folder.File("prefix/bin")), std::set<std::string>{});

    std::filesystem::create_directories(Folder.File("unpacked/share/other"));
    InitFileNames(Folder.File("unpacked/tallyvane"));
    EXPECT_EQ(ServersFileName, Folder.File("unpacked/servers.ini"));
}

// A program folder that cannot be written (here: one that does not exist) sends both files to
// the user's configuration folder, which the first save creates.
TEST_F(FileNamesFallbackTest, OtherwiseTheUserConfigurationFolderHoldsThem) {
    InitFileNames("/nonexistent-tallyvane-folder/bin/tallyvane");
    const std::string config = Folder.File("Tallyvane");
    EXPECT_EQ(SettingsFileName, config + "/tallyvane.ini");
    EXPECT_EQ(ServersFileName, config + "/servers.ini");
    EXPECT_FALSE(std::filesystem::exists(config));

    WarningTimeout = 4321;
    SaveSettings();
    SaveServers({{"db", true, "Provider=X", 30}});
    EXPECT_EQ(FileMode(config), 0700u);
    EXPECT_EQ(FileMode(SettingsFileName), 0600u);
    EXPECT_EQ(FileMode(ServersFileName), 0600u);

    ResetSettings();
    LoadSettings();
    EXPECT_EQ(WarningTimeout, 4321);
    EXPECT_EQ(LoadServers().size(), 1u);
}

} // namespace
