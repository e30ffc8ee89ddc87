// The program's main icon: a weather vane over a database drum. Drawn in code at any size;
// the build renders it to PNG files for the desktop entry (make_icon.cpp).
#pragma once

#include <QIcon>
#include <QImage>

QImage DrawMainIcon(int size);
// The icon at the usual sizes (16 to 256 pixels).
QIcon MainIcon();
