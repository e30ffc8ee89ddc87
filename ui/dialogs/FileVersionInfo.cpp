#include "FileVersionInfo.h"

void TFileVersionInfo::SetFilename(const QString& fileName) {
    FFilename = fileName;
    ReadVersionInfo();
}
void TFileVersionInfo::ReadVersionInfo() {}
QString GetVersionText(const QString&) {
    return QStringLiteral("0.1.0.0");
}
