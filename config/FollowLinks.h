// Resolving a path that is a symbolic link, for saving through it: both platforms' atomic
// saves write the file the link finally names, not a new file in place of the link.
#pragma once

#include <filesystem>
#include <system_error>

// Replaces a path that is a symbolic link with the file it finally names, also when that file
// does not exist yet.
std::error_code FollowLinks(std::filesystem::path& path);
