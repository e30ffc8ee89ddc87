#include "ServerTextLimit.h"

std::string_view CutToUnits(std::string_view utf8, std::size_t units) {
    if (utf8.size() <= units) {
        return utf8; // each unit takes at least one byte
    }
    std::size_t counted = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t bytes = lead < 0x80    ? 1
                                  : lead >= 0xF0 ? 4
                                  : lead >= 0xE0 ? 3
                                  : lead >= 0xC0 ? 2
                                                 : 1;
        const std::size_t cost = bytes == 4 ? 2 : 1; // a surrogate pair
        if (counted + cost > units) {
            break;
        }
        counted += cost;
        i = std::min(utf8.size(), i + bytes);
    }
    return utf8.substr(0, i);
}
