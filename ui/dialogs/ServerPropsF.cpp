#include "ServerPropsF.h"

TServerPropsF::TServerPropsF(QWidget* parent) : QDialog(parent) {}
void TServerPropsF::SetServerInfo(const TServerInfo&) {}
TServerInfo TServerPropsF::GetServerInfo() const {
    return {};
}
void TServerPropsF::DataChange() {}
void TServerPropsF::EnabledCBClick() {}
void TServerPropsF::ConnStrBClick() {}
void TServerPropsF::accept() {
    QDialog::accept();
}
bool EditServerProperties(TServerInfo&, bool, const QStringList&, QWidget*) {
    return false;
}
