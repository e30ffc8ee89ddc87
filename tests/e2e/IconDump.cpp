// Writes the server state pictures at one size as PNG files (state0.png ... state4.png), so
// that the end-to-end test can tell which picture the tray icon shows.
//   tallyvane_icon_dump SIZE FOLDER
#include "Icons.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SIZE FOLDER\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int size = QString::fromLocal8Bit(argv[1]).toInt();
    const QDir folder(QString::fromLocal8Bit(argv[2]));
    const TImageList states = MakeServerStatesIL();
    for (int i = 0; i < states.Count(); ++i) {
        const QPixmap pm = states.Icon(i).pixmap(QSize(size, size));
        if (!pm.save(folder.filePath(QString("state%1.png").arg(i))))
            return 1;
    }
    return 0;
}
