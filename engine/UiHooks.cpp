#include "UiHooks.h"

#include <iostream>

TLoginDialogFunc LoginDialog = [](const std::string&, std::string&, std::string&) { return false; };

TShowErrorMessageFunc ShowErrorMessage = [](const std::exception& error) {
    std::cerr << error.what() << '\n';
};
