// The sound service of the settings dialog's loudspeaker button: plays a WAV file in the
// background, or raises EOSError at once when the file cannot be played.
#pragma once

#include <QString>
#include <functional>

// Turns the typed text into the file to play (empty: none found). main() points it to the
// lookup of the warning sound, so that the button and the warning find the same file; the
// default takes a path as it is and looks a bare name up beside the program, then in the
// installed sounds folder.
using TFindSoundFile = std::function<QString(const QString& soundPath)>;
extern TFindSoundFile FindSoundFileHook;

// Starts playing and returns at once. Errors: EOSError with the system's code when the file
// cannot be found or opened, EOSError(0) when it is not a WAV file. A device that fails later
// gives the stop beep.
void PlaySoundFile(const QString& soundPath);
