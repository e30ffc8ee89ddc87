// The application settings: process-wide values named like their keys in the settings
// file (section "Settings"). Readers take them directly when they need them; nothing is
// notified of a change.
#pragma once

#include "FileNames.h"

#include <cstdint>
#include <string>

extern bool AutoRefresh;                  // refresh all servers on a timer
extern std::uint16_t AutoRefreshInterval; // seconds between automatic refreshes, at least 1
extern bool ShowInSystemTray;             // show the notification-area icon
extern bool IgnoreSelfBlocks;             // tray icon ignores servers with only self-blocks
extern bool IgnoreNotWarningBlocks;       // tray icon ignores blocks below the threshold
extern bool AutoHideOnMinimize;           // hide to the notification area when minimized
extern std::uint16_t WarningTimeout;      // warning threshold, milliseconds of wait time
extern bool PlaySoundOnWarning;           // play WarningSoundPath on a warning
extern std::string WarningSoundPath;      // the WAV file played on a warning
extern bool ShowBaloonOnWarning;          // show a balloon on a warning
extern bool WarnOnlyOnce;                 // warn once per blocking episode of a server
// Blocking history.
extern bool RecordHistory;                 // record blocking episodes in the history file
extern std::int32_t HistoryMinDuration;    // ms an episode must last to be recorded; -1 follows
                                           // WarningTimeout (written as an empty value)
extern std::uint16_t HistoryRetentionDays; // days of episodes kept, at least 1

// HistoryMinDuration as it applies now.
std::int32_t HistoryMinDurationMs();
// The longest HistoryMinDuration: one day.
constexpr std::int32_t MaxHistoryMinDuration = 86'400'000;
extern bool ConfirmKill;     // ask before killing a process
extern bool NotifyDeadlocks; // a tray notice for each deadlock a server reports
// A balloon and the sound once when a server that answered stops answering.
extern bool WarnWhenServerStops;
// Every blocking chain is expanded at each refresh; off, a chain stays as the user left it.
extern bool OpenBlockingChains;

// Puts every setting back to the value it has when the process starts, and forgets a refused
// file (tests).
void ResetSettings();

// Reads the settings file (SettingsFileName unless given); a missing file or key, or a value
// that is no whole number, leaves the setting as it is. An unreadable file reads as empty. A
// file that cannot be read whole (a NUL) throws Exception naming the line, leaves every setting
// as it is, and is not saved over by this process.
void LoadSettings();
void LoadSettings(const std::string& fileName);
// Writes every key in one crash-safe replacement of the file, updating it in place (other
// sections and keys stay). Throws Exception "Unable to write to <file>" when it cannot be
// written, or an Exception when it was refused at loading; the file is then unchanged. A text
// with blanks at either end is written in quotes, so that it reads back whole.
void SaveSettings();
void SaveSettings(const std::string& fileName);

// The two 16-bit settings take a whole number limited to [minimum, 65535]: a larger number
// (the file can hold any, the settings dialog offers more) becomes 65535. The settings dialog
// applies the same rule on OK.
std::uint16_t LimitToUInt16Setting(std::int64_t value, std::uint16_t minimum);
