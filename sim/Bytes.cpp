#include "Bytes.h"

namespace tdssim {

void ByteWriter::u16le(std::uint16_t v) {
    u8(static_cast<std::uint8_t>(v & 0xFF));
    u8(static_cast<std::uint8_t>(v >> 8));
}

void ByteWriter::u16be(std::uint16_t v) {
    u8(static_cast<std::uint8_t>(v >> 8));
    u8(static_cast<std::uint8_t>(v & 0xFF));
}

void ByteWriter::u32le(std::uint32_t v) {
    u16le(static_cast<std::uint16_t>(v & 0xFFFF));
    u16le(static_cast<std::uint16_t>(v >> 16));
}

void ByteWriter::u32be(std::uint32_t v) {
    u16be(static_cast<std::uint16_t>(v >> 16));
    u16be(static_cast<std::uint16_t>(v & 0xFFFF));
}

void ByteWriter::u64le(std::uint64_t v) {
    u32le(static_cast<std::uint32_t>(v & 0xFFFFFFFFu));
    u32le(static_cast<std::uint32_t>(v >> 32));
}

void ByteWriter::ucs2(std::string_view utf8) {
    bool ascii = true;
    for (char c : utf8) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (!ascii) {
        out_.append(utf8ToUcs2(utf8));
        return;
    }
    // The common case, kept cheap: large result sets are almost all ASCII.
    std::size_t at = out_.size();
    out_.resize(at + 2 * utf8.size());
    for (char c : utf8) {
        out_[at++] = c;
        out_[at++] = '\0';
    }
}

void ByteWriter::bVarchar(std::string_view utf8) {
    std::string u = utf8ToUcs2(utf8);
    std::size_t chars = u.size() / 2;
    if (chars > 255) {
        chars = 255;
    }
    u8(static_cast<std::uint8_t>(chars));
    out_.append(u, 0, chars * 2);
}

void ByteWriter::usVarchar(std::string_view utf8) {
    std::string u = utf8ToUcs2(utf8);
    std::size_t chars = u.size() / 2;
    if (chars > 0xFFFF) {
        chars = 0xFFFF;
    }
    u16le(static_cast<std::uint16_t>(chars));
    out_.append(u, 0, chars * 2);
}

void ByteWriter::patchU16le(std::size_t pos, std::uint16_t v) {
    out_[pos] = static_cast<char>(v & 0xFF);
    out_[pos + 1] = static_cast<char>(v >> 8);
}

std::string_view ByteReader::take(std::size_t n) {
    if (n > remaining()) {
        throw ProtocolError("truncated data");
    }
    std::string_view r = data_.substr(pos_, n);
    pos_ += n;
    return r;
}

std::uint8_t ByteReader::u8() {
    return static_cast<std::uint8_t>(take(1)[0]);
}

std::uint16_t ByteReader::u16le() {
    std::string_view b = take(2);
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[0]) |
                                      (static_cast<std::uint8_t>(b[1]) << 8));
}

std::uint16_t ByteReader::u16be() {
    std::string_view b = take(2);
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(b[0]) << 8) |
                                      static_cast<std::uint8_t>(b[1]));
}

std::uint32_t ByteReader::u32le() {
    std::uint32_t lo = u16le();
    std::uint32_t hi = u16le();
    return lo | (hi << 16);
}

std::uint64_t ByteReader::u64le() {
    std::uint64_t lo = u32le();
    std::uint64_t hi = u32le();
    return lo | (hi << 32);
}

namespace {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendUnit(std::string& out, std::uint32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

// Decodes one code point from utf8 at i (advancing i); invalid input gives U+FFFD.
std::uint32_t nextCodePoint(std::string_view s, std::size_t& i) {
    auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    std::uint8_t c = b(i);
    int extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
        ++i;
        return c;
    } else if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size()) {
        i = s.size();
        return 0xFFFD;
    }
    for (int k = 1; k <= extra; ++k) {
        std::uint8_t cc = b(i + static_cast<std::size_t>(k));
        if ((cc & 0xC0) != 0x80) {
            i += static_cast<std::size_t>(k);
            return 0xFFFD;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0xFFFD;
    }
    return cp;
}

} // namespace

std::string ucs2ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    std::size_t n = bytes.size() / 2;
    auto unitAt = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[2 * k]) |
                                          (static_cast<std::uint8_t>(bytes[2 * k + 1]) << 8));
    };
    for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t u = unitAt(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
            std::uint32_t lo = unitAt(k + 1);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++k;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) {
            u = 0xFFFD;
        }
        appendUtf8(out, u);
    }
    return out;
}

std::string utf8ToUcs2(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::uint32_t cp = nextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            appendUnit(out, 0xD800 + (cp >> 10));
            appendUnit(out, 0xDC00 + (cp & 0x3FF));
        } else {
            appendUnit(out, cp);
        }
    }
    return out;
}

std::size_t ucs2Length(std::string_view utf8) {
    bool ascii = true;
    for (char c : utf8) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    return ascii ? utf8.size() : utf8ToUcs2(utf8).size() / 2;
}

} // namespace tdssim
