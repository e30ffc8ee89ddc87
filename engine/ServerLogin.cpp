// Connection string analysis and the interactive login of a monitor.
#include "ConnectionStringAnalysis.h"
#include "Errors.h"
#include "OleException.h"
#include "ServerData.h"
#include "UiHooks.h"

namespace {

// The user cancelled the login dialog.
struct TLoginAborted {};

} // namespace

void TServerData::AnalyzeConnectionString() {
    const TConnectionAnalysis analysis = ::AnalyzeConnectionString(Info.ConnectionString);
    NeedsLogin = analysis.NeedsLogin;
    UserId = analysis.UserId;
}

void TServerData::PromptLogin() {
    ADOConnection.ConnectOptions = coConnectUnspecified;
    for (;;) {
        try {
            if (!LoginDialog || !LoginDialog(Info.Name, UserId, Password)) {
                throw TLoginAborted();
            }
            OleCall([this] { ADOConnection.Open(); });
            if (!OleCall([this] { return ADOConnection.Connected(); })) {
                throw Exception("Connection is not established!");
            }
            IsSysAdmin = CheckSysAdmin();
            return;
        } catch (const TLoginAborted&) {
            Enabled = false;
            return;
        } catch (const std::exception& e) {
            // A connection left open by a failed sysadmin check would let the next attempt
            // skip checking the credentials entered then.
            ADOConnection.Close();
            ShowErrorMessage(e);
            Password.clear();
        }
    }
}

void TServerData::ADOConnectionWillConnect(TDbConnection& /*connection*/,
                                           std::string& /*connectionString*/, std::string& userId,
                                           std::string& password,
                                           TConnectOption& /*connectOptions*/,
                                           TEventStatus& /*status*/) {
    if (NeedsLogin) {
        userId = UserId;
        password = Password;
    }
}
