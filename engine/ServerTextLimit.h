// The longest text SQL Server keeps in the columns the monitor reads. A server that sends more
// is not believed: the text is cut there, so one hostile row cannot fill memory or the screen.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ServerTextLimit {
// sysprocesses and sysdatabases, in characters (UTF-16 code units, as SQL Server counts them).
constexpr std::size_t Name = 128;         // sysname: database name, hostname, program, login
constexpr std::size_t LastWaitType = 32;  // nchar(32)
constexpr std::size_t WaitResource = 256; // nchar(256)
constexpr std::size_t Status = 30;        // nchar(30)
constexpr std::size_t Cmd = 32;           // nchar(32)
constexpr std::size_t InputBuffer = 4000; // DBCC INPUTBUFFER's EventInfo: nvarchar(4000)
} // namespace ServerTextLimit

// utf8 cut after at most units UTF-16 code units, never inside a character.
std::string_view CutToUnits(std::string_view utf8, std::size_t units);
