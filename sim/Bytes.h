// Little helpers to read and write the byte layouts of TDS: most fields are little-endian,
// a few (packet header, PRELOGIN table, LOGINACK version) big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tdssim {

// Thrown by every parser on input that does not fit its layout.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ByteWriter {
public:
    explicit ByteWriter(std::string& out) : out_(out) {}

    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u16le(std::uint16_t v);
    void u16be(std::uint16_t v);
    void u32le(std::uint32_t v);
    void u32be(std::uint32_t v);
    void u64le(std::uint64_t v);
    void bytes(std::string_view b) { out_.append(b); }
    // UCS-2LE of a UTF-8 text, no length prefix.
    void ucs2(std::string_view utf8);
    // B_VARCHAR: character count in one byte, then UCS-2LE.
    void bVarchar(std::string_view utf8);
    // US_VARCHAR: character count in two bytes, then UCS-2LE.
    void usVarchar(std::string_view utf8);
    // Overwrites a u16le at pos (for lengths known only after the body).
    void patchU16le(std::size_t pos, std::uint16_t v);
    std::size_t size() const { return out_.size(); }

private:
    std::string& out_;
};

class ByteReader {
public:
    explicit ByteReader(std::string_view data) : data_(data) {}

    std::uint8_t u8();
    std::uint16_t u16le();
    std::uint16_t u16be();
    std::uint32_t u32le();
    std::uint64_t u64le();
    std::string_view take(std::size_t n);
    void skip(std::size_t n) { take(n); }
    std::size_t remaining() const { return data_.size() - pos_; }
    std::size_t pos() const { return pos_; }
    bool atEnd() const { return pos_ >= data_.size(); }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

// UCS-2LE/UTF-16LE bytes to UTF-8; lone surrogates become U+FFFD, an odd trailing byte is dropped.
std::string ucs2ToUtf8(std::string_view bytes);
// UTF-8 to UTF-16LE bytes; invalid sequences become U+FFFD.
std::string utf8ToUcs2(std::string_view utf8);
// Number of UTF-16 code units that utf8ToUcs2 produces.
std::size_t ucs2Length(std::string_view utf8);

} // namespace tdssim
