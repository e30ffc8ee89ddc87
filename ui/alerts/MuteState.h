// Muting a server's warnings from the server list's popup: for 15 minutes, an hour or until
// the program ends. The monitor holds the mute (MutedUntil) and skips its warning rule while
// it lasts; its state, icon and process view go on updating.
#pragma once

#include <QIcon>
#include <chrono>
#include <functional>

class QMenu;
class TServerData;

enum class TMuteSpan { Minutes15, Hour1, UntilRestart, Off };

// Sets or ends the server's mute, counted from now.
void MuteServer(TServerData& server, TMuteSpan span,
                std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// The state icon with a small crossed-out loudspeaker in its corner.
QIcon MutedIcon(const QIcon& stateIcon);

// Appends the mute entries to the popup. focused gives the server they act on (none: they are
// disabled); changed runs after a mute was set or ended, to show it.
void AddMuteItems(QMenu& menu, std::function<TServerData*()> focused,
                  std::function<void(TServerData&)> changed);
