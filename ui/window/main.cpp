// Program entry: the file names from the program's own path, the application, the engine's
// hooks to the dialogs, the main window and the message loop.
#include "DialogHooks.h"
#include "FileNames.h"
#include "MainForm.h"
#include "MainIcon.h"
#include "SoundPlayer.h"
#include "TrayWarnings.h"

#include <QApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {
// The program's own file as the system knows it.
std::string ProgramPath(const char* argv0) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        return self.string();
    return std::filesystem::absolute(argv0, error).string();
}
constexpr const char* Usage =
    "Usage: tallyvane [--help | --version]\n"
    "\n"
    "Watches Microsoft SQL Server instances for blocking: a window with the registered\n"
    "servers and the blocking tree of their processes, a tray icon, a sound and a balloon\n"
    "when a blocked process waits too long.\n"
    "\n"
    "  --version  print the version and exit\n"
    "  --help     print this help and exit\n"
    "\n"
    "Files: servers.ini and tallyvane.ini beside the program when it runs from its build or\n"
    "an unpacked folder, otherwise in $XDG_CONFIG_HOME/Tallyvane (~/.config/Tallyvane).\n"
    "Qt's own options (-platform, -style, ...) are accepted as well.\n";

// Answered before the application exists, so that they work without a display. Returns the
// exit status, or -1 to go on.
int AnswerInfoOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tallyvane %s\n", TALLYVANE_VERSION_TEXT);
            return 0;
        }
    }
    return -1;
}

// Qt's own options, which QApplication takes out of the arguments; those marked take a value
// as the next argument (or after "=").
struct TQtOption {
    const char* Name;
    bool Value;
};
constexpr TQtOption QtOptions[] = {
    {"platform", true},      {"platformpluginpath", true},
    {"platformtheme", true}, {"plugin", true},
    {"qmljsdebugger", true}, {"qwindowgeometry", true},
    {"qwindowicon", true},   {"qwindowtitle", true},
    {"session", true},       {"style", true},
    {"stylesheet", true},    {"display", true},
    {"geometry", true},      {"name", true},
    {"title", true},         {"reverse", false},
    {"widgetcount", false},  {"nograb", false},
    {"dograb", false},       {"sync", false},
};

// The first argument that is neither ours nor Qt's, or nullptr.
const char* UnknownArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0')
            return arg;
        const char* name = arg + (arg[1] == '-' ? 2 : 1);
        const char* equals = std::strchr(name, '=');
        const std::size_t length =
            equals ? static_cast<std::size_t>(equals - name) : std::strlen(name);
        const TQtOption* known = nullptr;
        for (const TQtOption& option : QtOptions)
            if (std::strlen(option.Name) == length && std::strncmp(option.Name, name, length) == 0)
                known = &option;
        if (!known || (equals && !known->Value))
            return arg;
        if (known->Value && !equals && ++i >= argc)
            return arg; // its value is missing
    }
    return nullptr;
}

// Qt ends the program with an abort when it finds no display; say why in plain words and end
// with status 1 instead. While the application is made, the platform's own words are held
// back: when it fails they say which display could not be reached.
QtMessageHandler QtHandler = nullptr;
QString PlatformWords;
void NoDisplayHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        QString why = (PlatformWords.isEmpty() ? message : PlatformWords).trimmed();
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            why += " ($DISPLAY is not set)";
        std::fprintf(stderr,
                     "tallyvane: cannot open the window: %s\n"
                     "Start it in a desktop session, or name a display with -display or "
                     "$DISPLAY.\n",
                     why.toLocal8Bit().constData());
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (context.category && std::strncmp(context.category, "qt.qpa", 6) == 0) {
        // The first is the cause ("could not connect to display :1"); the rest follow from it.
        if (PlatformWords.isEmpty())
            PlatformWords = message;
        return;
    }
    if (QtHandler)
        QtHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}
} // namespace

int main(int argc, char** argv) {
    if (const int status = AnswerInfoOptions(argc, argv); status >= 0)
        return status;
    if (const char* unknown = UnknownArgument(argc, argv)) {
        std::fprintf(stderr, "tallyvane: unknown option '%s'\nTry 'tallyvane --help'.\n", unknown);
        return 2;
    }
    InitFileNames(ProgramPath(argv[0]));
    QtHandler = qInstallMessageHandler(NoDisplayHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(QtHandler);
    if (!PlatformWords.isEmpty())
        qWarning("%s", qPrintable(PlatformWords)); // it started all the same: a note, as Qt gave it
    QApplication::setOrganizationName("Tallyvane");
    QApplication::setApplicationName("Tallyvane");
    // The main window's close ends the program (also while it is hidden to the tray), not the
    // last visible window.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(MainIcon());
    InstallDialogHooks();
    // The settings dialog's test button finds the sound the way a warning does.
    FindSoundFileHook = &TTrayWarnings::FindSoundFile;
    int result;
    {
        TMainF MainF;
        MainF.show();
        result = QApplication::exec();
    }
    return result;
}
