#include "Settings.h"

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
}

std::uint16_t LimitToUInt16Setting(std::int64_t value, std::uint16_t minimum) {
    return static_cast<std::uint16_t>(std::clamp<std::int64_t>(value, minimum, 65535));
}
