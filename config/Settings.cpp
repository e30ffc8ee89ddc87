#include "Settings.h"

#include "Errors.h"
#include "ProfileFile.h"

#include <algorithm>

bool AutoRefresh = true;
std::uint16_t AutoRefreshInterval = 10;
bool ShowInSystemTray = true;
bool IgnoreSelfBlocks = false;
bool IgnoreNotWarningBlocks = false;
bool AutoHideOnMinimize = true;
std::uint16_t WarningTimeout = 3000;
bool PlaySoundOnWarning = true;
std::string WarningSoundPath = "chord.wav";
bool ShowBaloonOnWarning = true;
bool WarnOnlyOnce = false;
bool ConfirmKill = true;

void ResetSettings() {
    AutoRefresh = true;
    AutoRefreshInterval = 10;
    ShowInSystemTray = true;
    IgnoreSelfBlocks = false;
    IgnoreNotWarningBlocks = false;
    AutoHideOnMinimize = true;
    WarningTimeout = 3000;
    PlaySoundOnWarning = true;
    WarningSoundPath = "chord.wav";
    ShowBaloonOnWarning = true;
    WarnOnlyOnce = false;
    ConfirmKill = true;
}

std::uint16_t LimitToUInt16Setting(std::int64_t value, std::uint16_t minimum) {
    return static_cast<std::uint16_t>(std::clamp<std::int64_t>(value, minimum, 65535));
}

namespace {

constexpr const char* kSection = "Settings";

bool ReadBool(const TIniText& ini, const char* key, bool current) {
    return ProfileInteger(ini, kSection, key, current ? 1 : 0) != 0;
}

std::uint16_t ReadUInt16(const TIniText& ini, const char* key, std::uint16_t current,
                         std::uint16_t minimum) {
    return LimitToUInt16Setting(ProfileInteger(ini, kSection, key, current), minimum);
}

} // namespace

void LoadSettings(const std::string& fileName) {
    const TIniText ini = ReadProfileFile(fileName);
    AutoRefresh = ReadBool(ini, "AutoRefresh", AutoRefresh);
    AutoRefreshInterval = ReadUInt16(ini, "AutoRefreshInterval", AutoRefreshInterval, 1);
    ShowInSystemTray = ReadBool(ini, "ShowInSystemTray", ShowInSystemTray);
    IgnoreSelfBlocks = ReadBool(ini, "IgnoreSelfBlocks", IgnoreSelfBlocks);
    IgnoreNotWarningBlocks = ReadBool(ini, "IgnoreNotWarningBlocks", IgnoreNotWarningBlocks);
    AutoHideOnMinimize = ReadBool(ini, "AutoHideOnMinimize", AutoHideOnMinimize);
    WarningTimeout = ReadUInt16(ini, "WarningTimeout", WarningTimeout, 0);
    PlaySoundOnWarning = ReadBool(ini, "PlaySoundOnWarning", PlaySoundOnWarning);
    WarningSoundPath = ProfileString(ini, kSection, "WarningSoundPath", WarningSoundPath);
    ShowBaloonOnWarning = ReadBool(ini, "ShowBaloonOnWarning", ShowBaloonOnWarning);
    WarnOnlyOnce = ReadBool(ini, "WarnOnlyOnce", WarnOnlyOnce);
    ConfirmKill = ReadBool(ini, "ConfirmKill", ConfirmKill);
}

void LoadSettings() {
    LoadSettings(SettingsFileName);
}

void SaveSettings(const std::string& fileName) {
    // Key by key, in the order LoadSettings reads them: a failure leaves the keys written
    // before it in the file.
    const auto write = [&](const char* key, const std::string& value) {
        WriteProfileString(fileName, kSection, key, value);
    };
    const auto flag = [](bool value) { return std::string(value ? "1" : "0"); };
    write("AutoRefresh", flag(AutoRefresh));
    write("AutoRefreshInterval", std::to_string(AutoRefreshInterval));
    write("ShowInSystemTray", flag(ShowInSystemTray));
    write("IgnoreSelfBlocks", flag(IgnoreSelfBlocks));
    write("IgnoreNotWarningBlocks", flag(IgnoreNotWarningBlocks));
    write("AutoHideOnMinimize", flag(AutoHideOnMinimize));
    write("WarningTimeout", std::to_string(WarningTimeout));
    write("PlaySoundOnWarning", flag(PlaySoundOnWarning));
    write("WarningSoundPath", WarningSoundPath);
    write("ShowBaloonOnWarning", flag(ShowBaloonOnWarning));
    write("WarnOnlyOnce", flag(WarnOnlyOnce));
    write("ConfirmKill", flag(ConfirmKill));
}

void SaveSettings() {
    try {
        PrepareFolderOf(SettingsFileName);
    } catch (const Exception&) {
        throw Exception("Unable to write to " + SettingsFileName);
    }
    SaveSettings(SettingsFileName);
}
