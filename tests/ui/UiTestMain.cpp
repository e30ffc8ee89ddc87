// GoogleTest main with a QApplication on the offscreen platform and a private configuration
// folder, so that no test reads or writes the user's window state.
#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    // A fixed locale, so that locale-aware comparisons and formats are the same everywhere.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Tallyvane");
    QApplication::setApplicationName("Tallyvane");
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
