#include "ProcessInfoF.h"

TProcessInfoF::TProcessInfoF(QWidget* parent) : QDialog(parent) {}
void TProcessInfoF::LoadLastCommand() {}
void TProcessInfoF::Button1Click() {}
void TProcessInfoF::Button2Click() {}
bool TProcessInfoF::eventFilter(QObject* watched, QEvent* event) {
    return QDialog::eventFilter(watched, event);
}
bool ShowProcessInfo(TServerData&, std::int32_t, QWidget*) {
    return false;
}
