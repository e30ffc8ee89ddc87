// Connects the engine's two UI hooks (UiHooks.h) to the dialogs: the login prompt and the
// default error display. main() calls it once, after the QApplication exists.
#pragma once

void InstallDialogHooks();
