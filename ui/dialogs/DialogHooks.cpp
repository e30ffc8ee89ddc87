#include "DialogHooks.h"

#include "ErrorBox.h"
#include "LoginF.h"
#include "UiHooks.h"

void InstallDialogHooks() {
    ::LoginDialog = &Dialogs::LoginDialog;
    ::ShowErrorMessage = &Dialogs::ShowErrorMessage;
}
