// Build tool: writes the main icon as PNG files for the desktop entry and the icon theme.
// Usage: make_icon <output folder> <size>...  (each size gives tallyvane-<size>.png)
#include "MainIcon.h"

#include <QDir>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <folder> <size>...\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        const QString file = folder.filePath(QStringLiteral("tallyvane-%1.png").arg(size));
        if (size <= 0 || !DrawMainIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
