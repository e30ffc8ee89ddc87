#include "WindowState.h"

void RestoreWindowState(const TMainFormState&, const QString&) {}
void SaveWindowState(const TMainFormState&, const QString&) {}
void LoadListLayout(QTreeView*, const QString&) {}
void SaveListLayout(QTreeView*, const QString&) {}
void LoadListLayout(QTreeView*, const QString&, const QStringList&) {}
void SaveListLayout(QTreeView*, const QString&, const QStringList&) {}
