#include "FollowLinks.h"

std::error_code FollowLinks(std::filesystem::path& path) {
    for (int hops = 0;; ++hops) {
        std::error_code error;
        if (!std::filesystem::is_symlink(path, error))
            return {};
        if (hops == 40)
            return std::make_error_code(std::errc::too_many_symbolic_link_levels);
        const std::filesystem::path next = std::filesystem::read_symlink(path, error);
        if (error)
            return error;
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
}
