// Program entry: the file names from the program's own path, the application, the engine's
// hooks to the dialogs, the main window and the message loop.
#include "DescriptorBudget.h"
#include "DialogHooks.h"
#include "FileNames.h"
#include "MainForm.h"
#include "MainIcon.h"
#include "SoundPlayer.h"
#include "TrayWarnings.h"

#include <QApplication>
#include <cstdio>
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
} // namespace

int main(int argc, char** argv) {
    if (const int status = AnswerInfoOptions(argc, argv); status >= 0)
        return status;
    InitFileNames(ProgramPath(argv[0]));
    // Each watched server holds two descriptors: a session's soft limit of 1,024 would starve
    // the connections of a few hundred servers.
    RaiseDescriptorLimit();
    QApplication app(argc, argv);
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
