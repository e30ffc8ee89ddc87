// The private FreeTDS configuration: what its format cannot carry is refused, and its folder
// is used only when it is this user's alone. Each test runs in a process of its own (the file
// is chosen once per process).
#include "FreeTdsConfig.h"

#include "DbTypes.h"
#include "OdbcConnectionString.h"

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int OtherUid = 65534; // nobody

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A shared temporary folder (mode 1777, as /tmp) with no runtime folder: XDG_RUNTIME_DIR
// unset and Qt's fallback blocked by a file in its place.
class FreeTdsConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Tmp = Dir.path().toStdString();
        ASSERT_EQ(::chmod(Tmp.c_str(), 01777), 0);
        ::setenv("TMPDIR", Tmp.c_str(), 1);
        ::unsetenv("XDG_RUNTIME_DIR");
        ::unsetenv("FREETDSCONF");
        const passwd* pw = ::getpwuid(::geteuid());
        ASSERT_NE(pw, nullptr);
        std::ofstream(Tmp + "/runtime-" + pw->pw_name) << "not a folder";
        Ours = Tmp + "/tallyvane-" + std::to_string(::geteuid());
    }

    // Runs a shell command as another local user; false when this process may not.
    static bool AsOtherUser(const std::string& command) {
        if (::geteuid() != 0) {
            return false;
        }
        const std::string line = "setpriv --reuid=" + std::to_string(OtherUid) +
                                 " --regid=" + std::to_string(OtherUid) +
                                 " --clear-groups sh -c '" + command + "'";
        return std::system(line.c_str()) == 0;
    }

    static std::string Refusal(const TFreeTdsServer& server) {
        try {
            FreeTdsSectionFor(server);
        } catch (const EDbError& e) {
            return e.what();
        }
        return "";
    }

    QTemporaryDir Dir;
    std::string Tmp;
    std::string Ours;
};

TEST_F(FreeTdsConfigTest, ValuesTheFormatCannotCarryAreRefusedWithTheirName) {
    const std::string nul("db\0x", 4);
    const struct {
        TFreeTdsServer Server;
        const char* Named; // part of the error
    } cases[] = {
        {{"db1;port=2", 1433, "", ""}, "server name \"db1;port=2\""},
        {{"db1#x", 1433, "", ""}, "server name \"db1#x\""},
        {{"db1\n\tport = 2", 1433, "", ""}, "server name cannot hold a line break"},
        {{"db1\rx", 1433, "", ""}, "carriage return"},
        {{nul, 1433, "", ""}, "NUL character"},
        {{std::string(250, 'h'), 1433, "", ""}, "is too long"},
        {{" db1", 1433, "", ""}, "blank"},
        {{"db1", std::nullopt, "SQL#2019", ""}, "instance name \"SQL#2019\""},
        {{"db1", std::nullopt, "SQL;2019", ""}, "instance name"},
        {{"db1", 1433, "", "/etc/db/my#ca.pem"}, "ServerCertificate) \"/etc/db/my#ca.pem\""},
        {{"db1", 1433, "", "/etc/db/ca.pem;dump file=/tmp/x"}, "ServerCertificate"},
        {{"db1", 1433, "", "/etc/db/ca.pem\n\tencryption = off"}, "ServerCertificate"},
        {{"db1", 1433, "", "/" + std::string(243, 'c')}, "ServerCertificate"},
        {{"db1", 1433, "", "/etc/db/ca.pem "}, "ServerCertificate"},
        // FreeTDS skips blanks at a value's ends and folds a tab, a vertical tab, a form
        // feed or a run of blanks inside it into one blank: the value would arrive altered.
        {{"db1", 1433, "", "\v/etc/db/ca.pem"}, "ServerCertificate) cannot begin or end"},
        {{"db1", 1433, "", "/etc/db/ca.pem\f"}, "ServerCertificate) cannot begin or end"},
        {{"db1", 1433, "", "/etc/db/my  ca.pem"}, "\"/etc/db/my  ca.pem\" cannot hold two"},
        {{"db1", 1433, "", "/etc/db/my\tca.pem"}, "ServerCertificate) cannot hold a tab"},
        {{"db1", std::nullopt, "SQL  2019", ""}, "instance name \"SQL  2019\" cannot hold two"},
        {{"db1", std::nullopt, "SQL\t2019", ""}, "instance name cannot hold a tab"},
        {{"db1", std::nullopt, "\fSQL", ""}, "instance name cannot begin or end"},
        {{"db1", std::nullopt, "SQL \v", ""}, "instance name cannot begin or end"},
        {{"db  1", 1433, "", ""}, "server name \"db  1\" cannot hold two"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Named);
        EXPECT_NE(Refusal(c.Server).find(c.Named), std::string::npos) << Refusal(c.Server);
    }
    EXPECT_EQ(FreeTdsConfigPath(), ""); // nothing written

    // One blank between other characters reads back as written.
    FreeTdsSectionFor({"db1", std::nullopt, "SQL 2019", "/my ca.pem"});
    EXPECT_NE(ReadAll(FreeTdsConfigPath()).find("\tinstance = SQL 2019\n"), std::string::npos);

    // The longest path a line of FreeTDS can hold (255 bytes with the line break) goes in whole.
    const std::string longest = "/" + std::string(242, 'c');
    const std::string section = FreeTdsSectionFor({"db1", 1433, "", longest});
    const std::string text = ReadAll(FreeTdsConfigPath());
    EXPECT_NE(text.find("\tca file = " + longest + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[" + section + "]"), std::string::npos);
}

// As the user meets it: the connection string's keyword is named, nothing is written.
TEST_F(FreeTdsConfigTest, ConnectionStringWithAnUnwritableCertificatePathIsRefused) {
    for (const std::string& path :
         {std::string("/etc/db/my#ca.pem"), "/etc/db/" + std::string(300, 'c') + ".pem",
          std::string("\v/etc/db/ca.pem"), std::string("/etc/db/ca.pem\f"),
          std::string("/etc/db/my  ca.pem"), std::string("/etc/db/my\tca.pem")}) {
        try {
            TranslateConnectionString("Data Source=db1;Encrypt=yes;ServerCertificate=" + path, "",
                                      "");
            ADD_FAILURE() << path << " was accepted";
        } catch (const EDbError& e) {
            EXPECT_NE(std::string(e.what()).find("ServerCertificate"), std::string::npos)
                << e.what();
        }
    }
    EXPECT_EQ(FreeTdsConfigPath(), "");
}

TEST_F(FreeTdsConfigTest, FolderOfThisUserAloneIsMadeAndTheFileIsPrivate) {
    FreeTdsSectionFor({"db1", 1433, "", ""});
    struct stat st {};
    ASSERT_EQ(::lstat(Ours.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const std::string path = FreeTdsConfigPath();
    EXPECT_EQ(path, Ours + "/freetds-" + std::to_string(::getpid()) + ".conf");
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::string(std::getenv("FREETDSCONF") ? std::getenv("FREETDSCONF") : ""), path);
}

// Another user got to the folder's name first, or left it open: the file is never written
// there, the connection gets an error that says why, and the next try finds a good folder.
TEST_F(FreeTdsConfigTest, FolderNotThisUsersAloneIsRefused) {
    const std::string victim = Tmp + "/victim";
    ASSERT_EQ(::mkdir(victim.c_str(), 0700), 0);
    const struct {
        const char* Name;
        std::string Command; // as the other user; empty: as this user
        const char* Error;
        bool WayOut; // the user cannot remove it: the message says what to do without root
    } cases[] = {
        {"owned by another user", "mkdir -m 0700 " + Ours, "belongs to another user", true},
        {"another user's open folder", "mkdir -m 0777 " + Ours, "belongs to another user", true},
        {"a link planted by another user", "ln -s " + victim + " " + Ours, "link", true},
        {"a link to our own folder", "", "link", true},
        {"ours but open to others", "", "mode 0755", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::system(("rm -rf " + Ours).c_str());
        if (!c.Command.empty()) {
            if (!AsOtherUser(c.Command)) {
                std::cerr << "skipped (needs root for setpriv): " << c.Name << "\n";
                continue;
            }
        } else if (std::string(c.Error) == "link") {
            ASSERT_EQ(::symlink(victim.c_str(), Ours.c_str()), 0);
        } else {
            ASSERT_EQ(::mkdir(Ours.c_str(), 0700), 0);
            ASSERT_EQ(::chmod(Ours.c_str(), 0755), 0);
        }
        const std::string error = Refusal({"db1", 1433, "", ""});
        EXPECT_NE(error.find(c.Error), std::string::npos) << error;
        EXPECT_NE(error.find(Ours), std::string::npos) << error;
        const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "~";
        EXPECT_EQ(error.find("TMPDIR=" + home + "/.cache/") != std::string::npos, c.WayOut)
            << error;
        EXPECT_EQ(error.find("mkdir -m 700 " + home + "/.cache/") != std::string::npos, c.WayOut)
            << error;
        EXPECT_EQ(FreeTdsConfigPath(), "");
        EXPECT_EQ(std::getenv("FREETDSCONF"), nullptr);
        EXPECT_EQ(std::system(("test -z \"$(ls -A " + victim + ")\"").c_str()), 0);
    }
    std::system(("rm -rf " + Ours).c_str());
    EXPECT_NE(FreeTdsSectionFor({"db1", 1433, "", ""}), "");
    EXPECT_EQ(FreeTdsConfigPath().rfind(Ours + "/", 0), 0u);
}

// Files of runs killed before they could remove theirs go at the next start; nothing else does,
// and no link is followed.
TEST_F(FreeTdsConfigTest, FilesOfDeadProcessesAreRemoved) {
    ASSERT_EQ(::mkdir(Ours.c_str(), 0700), 0);
    pid_t dead[2];
    for (pid_t& pid : dead) {
        pid = ::fork();
        if (pid == 0) {
            ::_exit(0);
        }
        ASSERT_GT(pid, 0);
        ::waitpid(pid, nullptr, 0);
    }
    const std::string victim = Tmp + "/victim.txt";
    std::ofstream(victim) << "keep";
    auto name = [&](pid_t pid, const char* suffix) {
        return Ours + "/freetds-" + std::to_string(pid) + suffix;
    };
    for (const std::string& path :
         {name(dead[0], ".conf"), name(dead[0], ".conf.tmp"), name(1, ".conf"),
          name(::getppid(), ".conf"), Ours + "/notes.conf", Ours + "/freetds-x.conf"}) {
        std::ofstream(path) << "[global]\n";
    }
    ASSERT_EQ(::symlink(victim.c_str(), name(dead[1], ".conf").c_str()), 0);
    // Our own name, planted as links: written beside, never through.
    ASSERT_EQ(::symlink(victim.c_str(), name(::getpid(), ".conf.tmp").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), name(::getpid(), ".conf").c_str()), 0);

    FreeTdsSectionFor({"db1", 1433, "", ""});

    struct stat st {};
    EXPECT_NE(::lstat(name(dead[0], ".conf").c_str(), &st), 0);
    EXPECT_NE(::lstat(name(dead[0], ".conf.tmp").c_str(), &st), 0);
    for (const std::string& kept : {name(1, ".conf"), name(::getppid(), ".conf"),
                                    Ours + "/notes.conf", Ours + "/freetds-x.conf"}) {
        EXPECT_EQ(::lstat(kept.c_str(), &st), 0) << kept;
    }
    EXPECT_EQ(::lstat(name(dead[1], ".conf").c_str(), &st), 0); // a link: not ours to judge
    EXPECT_EQ(ReadAll(victim), "keep");
    const std::string path = FreeTdsConfigPath();
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(ReadAll(path).find("host = db1"), std::string::npos);
}

// The data source file for credentials that travel apart: private, beside the FreeTDS file,
// never written through a planted link, a dead run's copy removed, no password in it.
TEST_F(FreeTdsConfigTest, DataSourceFileIsPrivateAndNeverWrittenThroughALink) {
    ::unsetenv("ODBCINI");
    ASSERT_EQ(::mkdir(Ours.c_str(), 0700), 0);
    const pid_t dead = ::fork();
    if (dead == 0) {
        ::_exit(0);
    }
    ASSERT_GT(dead, 0);
    ::waitpid(dead, nullptr, 0);
    const std::string victim = Tmp + "/victim.txt";
    std::ofstream(victim) << "keep";
    const std::string stale = Ours + "/odbc-" + std::to_string(dead) + ".ini";
    std::ofstream(stale) << "[old]\n";
    const std::string own = Ours + "/odbc-" + std::to_string(::getpid()) + ".ini";
    ASSERT_EQ(::symlink(victim.c_str(), own.c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), (own + ".tmp").c_str()), 0);

    const TOdbcConnectInfo info = TranslateConnectionString(
        "Data Source=db1,14330;User ID=ops;Initial Catalog=HR", "", "Gen};pw");
    EXPECT_EQ(info.OdbcString, "");
    EXPECT_EQ(OdbcIniPath(), own);
    EXPECT_EQ(std::string(std::getenv("ODBCINI") ? std::getenv("ODBCINI") : ""), own);
    struct stat st {};
    ASSERT_EQ(::lstat(own.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(::lstat(stale.c_str(), &st), 0);
    EXPECT_EQ(ReadAll(victim), "keep");
    const std::string text = ReadAll(own);
    EXPECT_NE(text.find("[" + info.DataSource + "]\nDriver = FreeTDS\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("Gen}"), std::string::npos);
}

} // namespace
