#include "LoginF.h"

TLoginF::TLoginF(QWidget* parent) : QDialog(parent) {}
namespace Dialogs {
bool LoginDialog(const std::string&, std::string&, std::string&) {
    return false;
}
} // namespace Dialogs
