#include "SpreadsheetText.h"

#include <cstdint>

namespace {

// One UTF-8 character at `at`: its length and value; 0 when the bytes there are no valid
// character (a stray continuation byte, a sequence cut short, an overlong form, a surrogate).
std::size_t NextCharacter(std::string_view text, std::size_t at, char32_t& value) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        value = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

// Characters a cell must not carry: C0 controls but tab, CR and LF; DEL; C1 controls (CSI
// among them); and the bidirectional controls that make a viewer show the text in another
// order than it has.
bool Refused(char32_t c) {
    return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || (c >= 0x7F && c <= 0x9F) ||
           c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string SpreadsheetText(std::string_view text) {
    std::string cell;
    cell.reserve(text.size() + 1);
    // Character by character: dropping single bytes could join the bytes around them into a
    // character the text did not hold.
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t length = NextCharacter(text, at, c);
        if (length == 0) {
            cell += "\xEF\xBF\xBD"; // U+FFFD for a byte that is no character
            ++at;
            continue;
        }
        if (!Refused(c))
            cell.append(text.substr(at, length));
        at += length;
    }
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos)
        cell.insert(cell.begin(), '\'');
    return cell;
}
