#include "ServerListFile.h"

#include "Errors.h"
#include "TempFolder.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

class ServerListFileTest : public ::testing::Test {
protected:
    TTempFolder Folder;
    const std::string Path = Folder.File("servers.ini");
};

// Text with embedded NUL characters, taken whole.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string Login(const std::string& server, const std::string& user, const std::string& pass) {
    return "Provider=SQLOLEDB.1;Data Source=" + server + ";User ID=" + user + ";Password=" + pass +
           ";Initial Catalog=master;Application Name=Tallyvane";
}

TEST_F(ServerListFileTest, NoFileMeansNoServers) {
    EXPECT_TRUE(LoadServers(Path).empty());
}

TEST_F(ServerListFileTest, ReadsEachSectionWithDefaultsAndTheLoginRule) {
    struct TCase {
        const char* Name;
        std::string Text;
        std::vector<TServerInfo> Expected;
    };
    const std::string cs = "Provider=SQLOLEDB.1;Data Source=db1;Integrated Security=SSPI";
    const std::vector<TCase> cases = {
        {"a section with no lines", "[db1]\n", {{"db1", true, Login("db1", "", ""), 30}}},
        {"all three keys",
         "[Prod]\nEnabled=0\nConnectionString=" + cs + "\nTimeout=15\n",
         {{"Prod", false, cs, 15}}},
        {"login and password instead of a connection string",
         "[db2]\nUserName=sa\nPassword=p=w;x\nTimeout=0x3C\n",
         {{"db2", true, Login("db2", "sa", "\"p=w;x\""), 60}}},
        {"an empty connection string also takes the login rule",
         "[db3]\nConnectionString=\nUserName=u\n",
         {{"db3", true, Login("db3", "u", ""), 30}}},
        {"the login is read only without a connection string",
         "[db4]\nConnectionString=" + cs + "\nUserName=sa\n",
         {{"db4", true, cs, 30}}},
        {"values that are no whole number",
         "[db5]\nEnabled=yes\nTimeout=abc\n",
         {{"db5", true, Login("db5", "", ""), 30}}},
        {"a key twice: the later line counts",
         "[db6]\nTimeout=5\nTimeout=7\n",
         {{"db6", true, Login("db6", "", ""), 7}}},
        {"a negative time-out is no time-out",
         "[db7]\nTimeout=-5\n",
         {{"db7", true, Login("db7", "", ""), 30}}},
        {"a large time-out is kept",
         "[db8]\nTimeout=100000\n",
         {{"db8", true, Login("db8", "", ""), 100000}}},
        {"beyond 32 bits is no whole number",
         "[db9]\nTimeout=9999999999\n",
         {{"db9", true, Login("db9", "", ""), 30}}},
        {"comments, blank lines and lines before the first section",
         "Timeout=1\n; [fake]\n\n[ a b ]\n ; Timeout=2\n  Timeout = 3  \n",
         {{"a b", true, Login("a b", "", ""), 3}}},
        {"names equal ignoring case keep their own values",
         "[Prod]\nTimeout=10\n[PROD]\nTimeout=20\n[prod]\nEnabled=0\n",
         {{"Prod", true, Login("Prod", "", ""), 10},
          {"PROD", true, Login("PROD", "", ""), 20},
          {"prod", false, Login("prod", "", ""), 30}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteText(Path, c.Text);
        EXPECT_EQ(LoadServers(Path), c.Expected);
    }
}

// A file that an editor started with a UTF-8 byte order mark keeps its first server, also
// through the next save (which keeps the mark).
TEST_F(ServerListFileTest, AByteOrderMarkLosesNoServer) {
    WriteText(Path, "\xEF\xBB\xBF[first]\r\nTimeout=9\r\n[second]\r\n");
    const std::vector<TServerInfo> servers = LoadServers(Path);
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[0].Name, "first");
    EXPECT_EQ(servers[0].Timeout, 9u);
    SaveServers(servers, Path);
    EXPECT_EQ(ReadText(Path).rfind("\xEF\xBB\xBF[first]\r\n", 0), 0u);
    EXPECT_EQ(LoadServers(Path), servers);
}

// The old login form quotes what would otherwise cut the connection string.
TEST_F(ServerListFileTest, TheLoginFormQuotesItsValues) {
    const struct {
        const char* Password;
        const char* Written;
    } cases[] = {
        {"plain", "plain"},
        {"p=w", "p=w"},
        {"a;b", "\"a;b\""},
        {"'lead", "\"'lead\""},
        {"\"lead", "\"\"\"lead\""},
        {" blank ", "\" blank \""},
        {"\ttab", "\"\ttab\""},
        {"line\n", "\"line\n\""},
        {"in\"side;", "\"in\"\"side;\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Password);
        EXPECT_EQ(LoginConnectionString("db1", "sa", c.Password),
                  std::string("Provider=SQLOLEDB.1;Data Source=db1;User ID=sa;Password=") +
                      c.Written + ";Initial Catalog=master;Application Name=Tallyvane");
    }
    EXPECT_EQ(LoginConnectionString("a;b", "x y ", ""),
              "Provider=SQLOLEDB.1;Data Source=\"a;b\";User ID=\"x y \";Password=;"
              "Initial Catalog=master;Application Name=Tallyvane");
}

TEST_F(ServerListFileTest, AReadOnlyFileIsReportedAndKept) {
    const std::string old = "[keep]\r\nTimeout=30\r\n\r\n";
    WriteText(Path, old);
    ::chmod(Path.c_str(), 0444);
    try {
        SaveServers({{"new", true, "P", 30}}, Path);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + Path + "\". Permission denied");
    }
    EXPECT_EQ(ReadText(Path), old);
}

TEST_F(ServerListFileTest, SaveWritesOnlyTheThreeKeysInTheGivenOrder) {
    WriteText(Path, "; old comment\nstray=1\n[gone]\nTimeout=5\n[db2]\nUserName=sa\n"
                    "Password=secret\nColor=red\n");
    std::vector<TServerInfo> servers = LoadServers(Path);
    ASSERT_EQ(servers.size(), 2u);
    servers.erase(servers.begin()); // unregister "gone"
    servers.push_back({"  spaced  ", false, "  Provider=X  ", 600});
    servers.push_back({"DB2", true, "Provider=Y", 3}); // same name as db2 ignoring case
    SaveServers(servers, Path);
    EXPECT_EQ(ReadText(Path), "[db2]\r\n"
                              "Enabled=1\r\n"
                              "ConnectionString=" +
                                  Login("db2", "sa", "secret") +
                                  "\r\n"
                                  "Timeout=30\r\n"
                                  "\r\n"
                                  "[  spaced  ]\r\n"
                                  "Enabled=0\r\n"
                                  "ConnectionString=  Provider=X  \r\n"
                                  "Timeout=600\r\n"
                                  "\r\n"
                                  "[DB2]\r\n"
                                  "Enabled=1\r\n"
                                  "ConnectionString=Provider=Y\r\n"
                                  "Timeout=3\r\n"
                                  "\r\n");
    EXPECT_EQ(FileMode(Path) & 0007u, 0u); // it holds passwords

    // Names and values come back trimmed; nobody's values are lost.
    const std::vector<TServerInfo> expected = {
        {"db2", true, Login("db2", "sa", "secret"), 30},
        {"spaced", false, "Provider=X", 600},
        {"DB2", true, "Provider=Y", 3},
    };
    EXPECT_EQ(LoadServers(Path), expected);
}

TEST_F(ServerListFileTest, SavingNoServersLeavesAnEmptyFile) {
    SaveServers({{"one", true, "Provider=X", 30}}, Path);
    SaveServers({}, Path);
    EXPECT_TRUE(std::filesystem::exists(Path));
    EXPECT_EQ(std::filesystem::file_size(Path), 0u);
    EXPECT_TRUE(LoadServers(Path).empty());
}

TEST_F(ServerListFileTest, ErrorsNameTheFileAndLoseNothing) {
    const std::string old =
        "[keep]\r\nEnabled=1\r\nConnectionString=Provider=X\r\nTimeout=30\r\n\r\n";
    const std::vector<TServerInfo> next = {{"new", true, std::string(5000, 'c'), 30}};
    struct TCase {
        const char* Name;
        std::function<void()> Act;
        std::string Message;
    };
    const std::string missingFolder = Folder.File("no/servers.ini");
    const std::vector<TCase> cases = {
        {"disk full",
         [&] {
             TFileSizeLimit diskFull(100);
             SaveServers(next, Path);
         },
         "Cannot create file \"" + Path + "\". File too large"},
        {"folder missing", [&] { SaveServers(next, missingFolder); },
         "Cannot create file \"" + missingFolder + "\". No such file or directory"},
        {"line break in a connection string",
         [&] {
             SaveServers({{"evil", true, "Provider=X\r\n[injected]", 30}}, Path);
         },
         "Server \"evil\" cannot be saved: its name or connection string has a line break"},
        {"line break in a name",
         [&] {
             SaveServers({{"a\nb", true, "P", 30}}, Path);
         },
         "Server \"a\" cannot be saved: its name or connection string has a line break"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteText(Path, old);
        try {
            c.Act();
            ADD_FAILURE() << "no error";
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()), c.Message);
        }
        EXPECT_EQ(ReadText(Path), old);
        EXPECT_EQ(Folder.Entries(), std::set<std::string>{"servers.ini"});
    }
}

TEST_F(ServerListFileTest, AFileThatCannotBeReadIsReportedAndKept) {
    std::filesystem::create_directory(Path); // exists, but reading it fails
    const std::string message = "Cannot open file \"" + Path + "\". Is a directory";
    try {
        LoadServers(Path);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
    try {
        SaveServers({{"a", true, "P", 30}}, Path);
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_TRUE(std::filesystem::is_directory(Path));
}

// A file the reader cannot take whole is refused with its line named, and no save replaces
// it: the servers after a NUL, or lines without a section, are never lost.
TEST_F(ServerListFileTest, AFileNotReadWholeIsRefusedAndKept) {
    const struct {
        const char* Name;
        std::string Text;
        std::string Message;
    } cases[] = {
        {"a NUL in the second server",
         Bytes("[a]\r\nTimeout=1\r\n[b]\r\nConnectionString=x\0y\r\n[c]\r\n"),
         "line 4 holds a NUL byte. Nothing of the file is used, and it is not saved over"},
        {"a NUL on the first line", Bytes("\0[a]\n"), "line 1 holds a NUL byte"},
        {"lone CRs and LFs count as line ends", Bytes("[a]\rk=1\n\nk\0\r\n"),
         "line 4 holds a NUL byte"},
        {"lines but no section", "; my servers\r\n\r\nName=SQL-A\r\n",
         "it has no [server] section, line 1 is no part of one"},
        {"a byte order mark and one line", "\xEF\xBB\xBF  junk  \n",
         "it has no [server] section, line 1 is no part of one"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteText(Path, c.Text);
        for (const auto& act :
             std::vector<std::function<void()>>{[&] { LoadServers(Path); },
                                                [&] {
                                                    SaveServers({{"new", true, "P", 30}}, Path);
                                                }}) {
            try {
                act();
                ADD_FAILURE() << "no error";
            } catch (const Exception& e) {
                EXPECT_EQ(std::string(e.what()).rfind("Cannot read file \"" + Path + "\": ", 0), 0u)
                    << e.what();
                EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << e.what();
            }
            EXPECT_EQ(ReadText(Path), c.Text);
        }
    }
    // Blank lines alone are an empty list, as an empty file is.
    WriteText(Path, "\r\n  \r\n");
    EXPECT_TRUE(LoadServers(Path).empty());
}

TEST(ServerNameTest, NamesThatShareASection) {
    EXPECT_TRUE(SameServerName("Prod", "PROD"));
    EXPECT_TRUE(SameServerName(" prod ", "Prod"));
    EXPECT_FALSE(SameServerName("Prod", "Prod2"));
    EXPECT_FALSE(SameServerName("\xC3\xA9", "\xC3\x89")); // only ASCII letters fold
}

} // namespace
