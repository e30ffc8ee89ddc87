#include "DataLinkFile.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD rather than failing the whole file.
std::string Utf16ToUtf8(const std::string& bytes, std::size_t start, bool bigEndian) {
    std::string out;
    const std::size_t units = (bytes.size() - start) / 2;
    auto unit = [&](std::size_t i) {
        const auto a = static_cast<unsigned char>(bytes[start + 2 * i]);
        const auto b = static_cast<unsigned char>(bytes[start + 2 * i + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char16_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                                    (static_cast<char32_t>(low) - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{u});
    }
    return out;
}

std::string Decode(const std::string& bytes) {
    auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && byteAt(0) == 0xFF && byteAt(1) == 0xFE) {
        return Utf16ToUtf8(bytes, 2, false);
    }
    if (bytes.size() >= 2 && byteAt(0) == 0xFE && byteAt(1) == 0xFF) {
        return Utf16ToUtf8(bytes, 2, true);
    }
    if (bytes.size() >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) {
        return bytes.substr(3);
    }
    // UTF-16LE written without a mark: every second byte of ASCII text is zero.
    if (bytes.size() >= 2 && bytes.size() % 2 == 0 && byteAt(0) != 0 && byteAt(1) == 0) {
        return Utf16ToUtf8(bytes, 0, false);
    }
    return bytes;
}

} // namespace

std::optional<std::string> LoadDataLinkFile(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return std::nullopt;
    }
    std::string bytes;
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return std::nullopt;
        }
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) {
            return std::nullopt;
        }
    } catch (const std::exception&) {
        return std::nullopt; // unreadable is not an error here
    }
    const std::string text = Decode(bytes);

    // The first line that is neither blank, nor a section header, nor a comment.
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\0')) {
            line.pop_back();
        }
        std::size_t first = 0;
        while (first < line.size() && (line[first] == ' ' || line[first] == '\t')) {
            ++first;
        }
        if (first < line.size() && line[first] != ';' && line[first] != '[') {
            return line.substr(first);
        }
        pos = end + 1;
    }
    return std::nullopt;
}
