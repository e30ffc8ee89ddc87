#include "AboutF.h"

TAboutF::TAboutF(QWidget* parent) : QDialog(parent) {}
bool ShowAbout(QWidget* parent) {
    TAboutF dialog(parent);
    return dialog.exec() == QDialog::Accepted;
}
