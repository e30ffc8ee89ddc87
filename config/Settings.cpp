#include "Settings.h"

#include "Errors.h"
#include "ProfileFile.h"

#include <algorithm>
#include <variant>

namespace {
// A settings file that could not be read whole: saving over it would make the loss final.
std::string RefusedFile;
} // namespace

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
bool RecordHistory = true;
std::int32_t HistoryMinDuration = -1;
std::uint16_t HistoryRetentionDays = 14;

std::int32_t HistoryMinDurationMs() {
    return HistoryMinDuration < 0 ? static_cast<std::int32_t>(WarningTimeout) : HistoryMinDuration;
}
bool ConfirmKill = true;
bool NotifyDeadlocks = true;
bool WarnWhenServerStops = true;
bool OpenBlockingChains = true;

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
    RecordHistory = true;
    HistoryMinDuration = -1;
    HistoryRetentionDays = 14;
    ConfirmKill = true;
    NotifyDeadlocks = true;
    WarnWhenServerStops = true;
    OpenBlockingChains = true;
    RefusedFile.clear();
}

std::uint16_t LimitToUInt16Setting(std::int64_t value, std::uint16_t minimum) {
    return static_cast<std::uint16_t>(std::clamp<std::int64_t>(value, minimum, 65535));
}

namespace {

constexpr const char* kSection = "Settings";

// One setting as the file holds it: its key and its variable. Loading and saving both walk
// the one table below, so a new setting is one more row.
struct TSettingField {
    const char* Key;
    std::variant<bool*, std::uint16_t*, std::int32_t*, std::string*> Value;
    std::uint16_t Minimum = 0; // 16-bit numbers: the smallest value read
};

const TSettingField kFields[] = {
    {"AutoRefresh", &AutoRefresh},
    {"AutoRefreshInterval", &AutoRefreshInterval, 1},
    {"ShowInSystemTray", &ShowInSystemTray},
    {"IgnoreSelfBlocks", &IgnoreSelfBlocks},
    {"IgnoreNotWarningBlocks", &IgnoreNotWarningBlocks},
    {"AutoHideOnMinimize", &AutoHideOnMinimize},
    {"WarningTimeout", &WarningTimeout},
    {"PlaySoundOnWarning", &PlaySoundOnWarning},
    {"WarningSoundPath", &WarningSoundPath},
    {"ShowBaloonOnWarning", &ShowBaloonOnWarning},
    {"WarnOnlyOnce", &WarnOnlyOnce},
    {"RecordHistory", &RecordHistory},
    {"HistoryMinDuration", &HistoryMinDuration},
    {"HistoryRetentionDays", &HistoryRetentionDays, 1},
    {"ConfirmKill", &ConfirmKill},
    {"NotifyDeadlocks", &NotifyDeadlocks},
    {"WarnWhenServerStops", &WarnWhenServerStops},
    {"OpenBlockingChains", &OpenBlockingChains},
};

// A missing key, or a number that is none, leaves the variable as it is.
void Read(const TIniText& ini, const TSettingField& field) {
    if (auto* flag = std::get_if<bool*>(&field.Value)) {
        **flag = ProfileInteger(ini, kSection, field.Key, **flag ? 1 : 0) != 0;
    } else if (auto* number = std::get_if<std::uint16_t*>(&field.Value)) {
        **number =
            LimitToUInt16Setting(ProfileInteger(ini, kSection, field.Key, **number), field.Minimum);
    } else if (auto* duration = std::get_if<std::int32_t*>(&field.Value)) {
        // Any negative number follows the threshold, as the empty value does.
        **duration = static_cast<std::int32_t>(std::clamp<std::int64_t>(
            ProfileInteger(ini, kSection, field.Key, **duration), -1, MaxHistoryMinDuration));
    } else {
        std::string* text = std::get<std::string*>(field.Value);
        *text = ProfileString(ini, kSection, field.Key, *text);
    }
}

std::string Written(const TSettingField& field) {
    if (auto* flag = std::get_if<bool*>(&field.Value))
        return **flag ? "1" : "0";
    if (auto* number = std::get_if<std::uint16_t*>(&field.Value))
        return std::to_string(**number);
    if (auto* duration = std::get_if<std::int32_t*>(&field.Value))
        return **duration < 0 ? std::string() : std::to_string(**duration);
    return *std::get<std::string*>(field.Value);
}

} // namespace

void LoadSettings(const std::string& fileName) {
    TIniText ini;
    try {
        ini = ReadProfileFile(fileName);
    } catch (const Exception&) {
        RefusedFile = fileName;
        throw;
    }
    for (const TSettingField& field : kFields)
        Read(ini, field);
}

void LoadSettings() {
    LoadSettings(SettingsFileName);
}

void SaveSettings(const std::string& fileName) {
    if (!RefusedFile.empty() && RefusedFile == fileName)
        throw Exception("The settings file \"" + fileName +
                        "\" was not read whole at start, so it is not saved now. Restart the "
                        "program once the file is mended");
    // Every key in one replacement of the file: a crash leaves either the old values or the
    // new ones, never a mix.
    TProfileValues values;
    for (const TSettingField& field : kFields)
        values.emplace_back(field.Key, Written(field));
    WriteProfileStrings(fileName, kSection, values);
}

void SaveSettings() {
    try {
        PrepareFolderOf(SettingsFileName);
    } catch (const Exception&) {
        throw Exception("Unable to write to " + SettingsFileName);
    }
    SaveSettings(SettingsFileName);
}
