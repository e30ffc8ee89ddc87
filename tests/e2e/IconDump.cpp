// Writes the program's pictures at one size as PNG files: state0.png ... state4.png and
// state5.png, the blocks picture with an error mark (so that the end-to-end test can tell
// which picture the tray icon shows), and process*, log* and
// toolbar* for looking at them.
//   tallyvane_icon_dump SIZE FOLDER
#include "Icons.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <cstdio>
#include <utility>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SIZE FOLDER\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int size = QString::fromLocal8Bit(argv[1]).toInt();
    const QDir folder(QString::fromLocal8Bit(argv[2]));
    const std::pair<const char*, TImageList> lists[] = {{"state", MakeServerStatesIL()},
                                                        {"process", MakeProcessesIL()},
                                                        {"log", MakeLogImages()},
                                                        {"toolbar", MakeToolbarIL()}};
    for (const auto& [prefix, list] : lists) {
        for (int i = 0; i < list.Count(); ++i) {
            const QPixmap pm = list.Icon(i).pixmap(QSize(size, size));
            if (!pm.save(folder.filePath(QString("%1%2.png").arg(prefix).arg(i))))
                return 1;
        }
    }
    // The tray's blocks picture with the error mark of another server.
    if (!MakeBlocksWithErrorIcon().pixmap(QSize(size, size)).save(folder.filePath("state5.png")))
        return 1;
    return 0;
}
