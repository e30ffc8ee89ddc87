#include "SpreadsheetText.h"

std::string SpreadsheetText(std::string_view text) {
    std::string cell;
    cell.reserve(text.size() + 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F)
            continue;
        // C1 controls are U+0080..U+009F, in UTF-8 C2 80..C2 9F (CSI among them).
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            ++i;
            continue;
        }
        cell += static_cast<char>(c);
    }
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos)
        cell.insert(cell.begin(), '\'');
    return cell;
}
