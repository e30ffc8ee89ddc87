// Where the program keeps its two INI files: beside the program's own file (a build folder, an
// unpacked folder), or, for an installed program (its data in ../share/tallyvane) and when the
// program's folder is not writable, in the user's configuration folder for Tallyvane
// ($XDG_CONFIG_HOME/Tallyvane, else ~/.config/Tallyvane; on Windows %APPDATA%\Tallyvane), with
// the same names.
#pragma once

#include <string>

// The settings file: the program's path with its extension replaced by ".ini" (a file name
// without "." gets ".ini" appended).
extern std::string SettingsFileName;
// "servers.ini" in the same folder.
extern std::string ServersFileName;

// Computes both names from the full path of the program's file; called once at start.
void InitFileNames(const std::string& programPath);

// The rule itself, for a given answer to "may the files live beside the program" (its folder is
// writable and it is not installed) and a given user configuration folder for Tallyvane.
struct TFileNames {
    std::string Settings;
    std::string Servers;
    bool InConfigFolder = false;
};
TFileNames ComputeFileNames(const std::string& programPath, bool programFolderWritable,
                            const std::string& configFolder);

// The user's configuration folder for Tallyvane; empty when neither XDG_CONFIG_HOME nor HOME
// is set.
std::string UserConfigFolder();

// Creates the folder of a file name when it is the user's configuration folder and missing
// (readable by the user alone). Throws Exception when it cannot be created.
void PrepareFolderOf(const std::string& fileName);
