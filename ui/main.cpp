// Program entry: the file names from the program's own path, the application, the engine's
// hooks to the dialogs, the main window and the message loop.
#include "DialogHooks.h"
#include "FileNames.h"
#include "MainForm.h"
#include "MainIcon.h"
#include "SoundPlayer.h"
#include "TrayWarnings.h"

#include <QApplication>
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
} // namespace

int main(int argc, char** argv) {
    InitFileNames(ProgramPath(argv[0]));
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
