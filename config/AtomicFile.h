// Whole-file reading and crash-safe replacement. A file is written to a temporary file in the
// same folder, flushed to disk and renamed over the old one, so a crash or a failed write
// never leaves half a file: the old content stays until the new one is complete.
#pragma once

#include <string>
#include <system_error>

// Reads the whole file into text. A missing file gives an error equal to
// std::errc::no_such_file_or_directory.
std::error_code ReadWholeFile(const std::string& path, std::string& text);

// Replaces the file with text. A new file is readable and writable by its owner alone (it can
// hold passwords); a replaced one keeps its permissions, except for others. A symbolic link is
// written through to its target. A read-only file is not replaced (permission denied). The old file
// is untouched when this fails. Temporary files that interrupted saves of this file left behind
// (older than a minute) are removed first.
std::error_code WriteFileAtomically(const std::string& path, const std::string& text);
