// The two places where the engine needs the user: the login dialog and the default error
// display. The UI sets the real ones at start; tests set doubles. The defaults are harmless
// (the dialog is cancelled, errors go to standard error). GUI thread only.
#pragma once

#include <exception>
#include <functional>
#include <string>

// Shows the login dialog for a server. userName and password are in-out: they come in as the
// monitor knows them and are replaced by what the user entered on OK. False: cancelled.
using TLoginDialogFunc = std::function<bool(const std::string& serverName, std::string& userName,
                                            std::string& password)>;
extern TLoginDialogFunc LoginDialog;

// Shows an error to the user (message box with the stop icon in the program).
using TShowErrorMessageFunc = std::function<void(const std::exception& error)>;
extern TShowErrorMessageFunc ShowErrorMessage;
