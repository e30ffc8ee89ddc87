#include "SettingsF.h"

TSettingsF::TSettingsF(QWidget* parent) : QDialog(parent) {}
void TSettingsF::SettingsToControls() {}
void TSettingsF::ControlsToSettings() {}
void TSettingsF::UpdateControlStates() {}
void TSettingsF::SoundPathBEButtonClick(int) {}
bool EditSettings(QWidget*) {
    return false;
}
void FirstRunSettings() {}
