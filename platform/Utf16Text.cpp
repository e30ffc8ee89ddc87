#include "Utf16Text.h"

void AppendUtf8(std::string& out, const char16_t* units, std::size_t count) {
    // The blanks that pad a fixed-length column are appended in one go.
    std::size_t end = count;
    while (end > 0 && units[end - 1] == u' ') {
        --end;
    }
    const std::size_t start = out.size();
    out.resize(start + end * 3 + (count - end)); // at most 3 bytes a unit; a pair takes 4 for 2
    char* p = out.data() + start;
    for (std::size_t i = 0; i < end; ++i) {
        const char32_t u = units[i];
        if (u < 0x80) {
            *p++ = static_cast<char>(u);
        } else if (u < 0x800) {
            *p++ = static_cast<char>(0xC0 | (u >> 6));
            *p++ = static_cast<char>(0x80 | (u & 0x3F));
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            const bool pair =
                u <= 0xDBFF && i + 1 < end && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
            if (!pair) {
                // A high surrogate that ends the text (a value cut off inside a pair) is
                // dropped, as iconv drops an incomplete sequence; any other lone one is '?'.
                if (!(u <= 0xDBFF && i + 1 == count)) {
                    *p++ = '?';
                }
                continue;
            }
            const char32_t c = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xE0 | (u >> 12));
            *p++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    for (std::size_t i = end; i < count; ++i) {
        *p++ = ' ';
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}
