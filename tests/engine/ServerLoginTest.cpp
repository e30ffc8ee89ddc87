// The login loop and the credentials it leaves for every later connect.
#include "MonitorTestSupport.h"

using monitortest::Count;
using monitortest::MonitorTest;
using monitortest::RefreshAndWait;
using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

namespace {

struct DialogCall {
    std::string Server;
    std::string User;
    std::string Password;
};

class ServerLoginTest : public MonitorTest {
protected:
    // The user types the answers in order; an empty optional is Cancel.
    void Answer(std::vector<std::optional<std::pair<std::string, std::string>>> answers) {
        Answers = std::move(answers);
        LoginDialog = [this](const std::string& server, std::string& user, std::string& pw) {
            Calls.push_back({server, user, pw});
            if (Calls.size() > Answers.size() || !Answers[Calls.size() - 1]) {
                return false;
            }
            user = Answers[Calls.size() - 1]->first;
            pw = Answers[Calls.size() - 1]->second;
            return true;
        };
    }
    TServerInfo Info(int instance = 0) const {
        TServerInfo info;
        info.Name = "SRV1";
        info.Enabled = true;
        info.ConnectionString = "Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;"
                                "Data Source=127.0.0.1," +
                                std::to_string(Sim.port(instance));
        info.Timeout = 5;
        return info;
    }

    TdsSimProcess Sim{"demo"};
    std::vector<std::optional<std::pair<std::string, std::string>>> Answers;
    std::vector<DialogCall> Calls;
};

TEST_F(ServerLoginTest, CancelSwitchesMonitoringOffQuietly) {
    Answer({std::nullopt});
    TServerData server(Owner, Info());
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Server, "SRV1");
    EXPECT_EQ(Calls[0].User, "sa");
    EXPECT_EQ(Calls[0].Password, "");
    EXPECT_TRUE(server.NeedsLogin);
    EXPECT_FALSE(server.Enabled);
    EXPECT_TRUE(server.Info.Enabled);
    EXPECT_TRUE(Owner.Errors.empty());
    EXPECT_TRUE(Shown.empty());
    server.Refresh();
    EXPECT_FALSE(server.Busy);
    EXPECT_TRUE(Owner.Changes.empty());
    EXPECT_EQ(Count(Sim, "connect"), 0);
}

TEST_F(ServerLoginTest, WrongThenRightPasswordAndTheCredentialsStay) {
    Answer({std::make_pair("sa", "wrong"), std::make_pair("sa", "Sim-Admin-1")});
    TServerData server(Owner, Info());
    ASSERT_EQ(Calls.size(), 2u);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0], "Login failed for user 'sa'.");
    EXPECT_EQ(Calls[1].User, "sa");   // kept
    EXPECT_EQ(Calls[1].Password, ""); // asked again
    EXPECT_TRUE(server.Enabled);
    EXPECT_TRUE(server.IsSysAdmin);
    EXPECT_TRUE(server.ADOConnection.Connected());
    EXPECT_FALSE(server.Loading);
    EXPECT_TRUE(Owner.Errors.empty());
    EXPECT_TRUE(Owner.Changes.empty()); // the login's connects are its own business

    // The first refresh queries the open connection at once.
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(Owner.Changes.size(), 3u);
    EXPECT_EQ(Count(Sim, "login"), 2);
    EXPECT_EQ(Count(Sim, "login-ok"), 1);

    // Lost connection: the next refreshes reconnect with the remembered credentials, and no
    // dialog is shown.
    std::string spid;
    for (const SimLogEntry& e : Sim.logEntries()) {
        if (e.at("event") == "login-ok") {
            spid = e.at("spid");
        }
    }
    Sim.kill(0, std::stoi(spid));
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.State, 2);
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_NE(server.State, 2);
    EXPECT_EQ(Count(Sim, "login-ok"), 2);
    EXPECT_EQ(Calls.size(), 2u);
}

TEST_F(ServerLoginTest, AnUnreachableServerIsShownAndAskedAgain) {
    Sim.setFault(0, "refuse");
    Answer({std::make_pair("sa", "Sim-Admin-1"), std::nullopt});
    TServerData server(Owner, Info());
    EXPECT_EQ(Calls.size(), 2u);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_FALSE(Shown[0].empty());
    EXPECT_FALSE(server.Enabled);
    EXPECT_TRUE(Owner.Errors.empty());
}

TEST_F(ServerLoginTest, ALoginWithoutSysadminIsNotedAsSuch) {
    Answer({std::make_pair("viewer", "Sim-View-1")});
    TServerData server(Owner, Info());
    EXPECT_TRUE(server.Enabled);
    EXPECT_FALSE(server.IsSysAdmin);
    EXPECT_EQ(server.UserId, "viewer");
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_TRUE(Owner.Errors.empty());
    EXPECT_FALSE(server.IsSysAdmin);
}

TEST_F(ServerLoginTest, ApplyingSettingsDuringAnOutstandingConnectLeavesTheMonitorUsable) {
    TServerInfo stored = monitortest::SimServer(Sim);
    TServerData server(Owner, stored);
    Sim.setFault(0, "hang-login");
    server.Refresh();
    ASSERT_TRUE(server.Busy);

    // The user edits the server meanwhile; the new settings need a login.
    Sim.clearFaults(0);
    Answer({std::make_pair("sa", "Sim-Admin-1")});
    server.ApplyServerInfo(Info());
    EXPECT_FALSE(server.Busy); // the abandoned connect will never report
    EXPECT_TRUE(server.ADOConnection.Connected());
    const std::size_t changes = Owner.Changes.size();
    ASSERT_TRUE(RefreshAndWait(server));
    SpinUntil([&] { return Owner.Changes.size() >= changes + 3; });
    EXPECT_EQ(Owner.Changes.size(), changes + 3);
    EXPECT_TRUE(Owner.Errors.empty());
    EXPECT_GT(server.ProcessList.Count(), 0);
}

} // namespace
