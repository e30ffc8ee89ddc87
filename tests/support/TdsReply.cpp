#include "TdsReply.h"

#include <stdexcept>

namespace tallyvane::testsupport {

namespace {

class Reader {
public:
    explicit Reader(const std::string& s) : s_(s) {}
    bool atEnd() const { return at_ >= s_.size(); }
    std::uint8_t u8() {
        need(1);
        return static_cast<std::uint8_t>(s_[at_++]);
    }
    std::uint64_t le(int bytes) {
        need(static_cast<std::size_t>(bytes));
        std::uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) {
            v = (v << 8) | static_cast<std::uint8_t>(s_[at_ + static_cast<std::size_t>(i)]);
        }
        at_ += static_cast<std::size_t>(bytes);
        return v;
    }
    std::string bytes(std::size_t n) {
        need(n);
        std::string out = s_.substr(at_, n);
        at_ += n;
        return out;
    }
    // UCS-2LE of n characters as UTF-8.
    std::string ucs2(std::size_t chars) {
        const std::string raw = bytes(chars * 2);
        std::string out;
        for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
            const unsigned c = static_cast<std::uint8_t>(raw[i]) |
                               (static_cast<unsigned>(static_cast<std::uint8_t>(raw[i + 1])) << 8);
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return out;
    }
    std::string bVarchar() { return ucs2(u8()); }
    std::string usVarchar() { return ucs2(le(2)); }
    void skip(std::size_t n) { bytes(n); }

private:
    void need(std::size_t n) const {
        if (at_ + n > s_.size()) {
            throw std::runtime_error("reply ends inside a token");
        }
    }
    const std::string& s_;
    std::size_t at_ = 0;
};

bool isCharType(std::uint8_t t) {
    return t == 0xE7 || t == 0xEF || t == 0xA7 || t == 0xAF;
}

ReplyColumn readTypeInfo(Reader& r, bool collations) {
    ReplyColumn c;
    c.type = r.u8();
    switch (c.type) {
    case 0x30: // INT1, BIT, INT2, INT4, DATETIME, INT8: fixed, no length
    case 0x32:
    case 0x34:
    case 0x38:
    case 0x3D:
    case 0x7F:
        break;
    case 0x26: // INTN, BITN, DATETIMN
    case 0x68:
    case 0x6F:
        c.length = r.u8();
        break;
    case 0x6A: // DECIMALN, NUMERICN
    case 0x6C:
        c.length = r.u8();
        c.precision = r.u8();
        c.scale = r.u8();
        break;
    case 0xAD:
    case 0xA5:
        c.length = static_cast<std::uint32_t>(r.le(2));
        break;
    default:
        if (!isCharType(c.type)) {
            throw std::runtime_error("unknown type " + std::to_string(c.type));
        }
        c.length = static_cast<std::uint32_t>(r.le(2));
        if (collations) {
            r.skip(5);
        }
    }
    return c;
}

std::int64_t signExtend(std::uint64_t v, int bytes) {
    if (bytes < 8 && (v >> (bytes * 8 - 1)) != 0) {
        v |= ~std::uint64_t{0} << (bytes * 8);
    }
    return static_cast<std::int64_t>(v);
}

ReplyValue readValue(Reader& r, const ReplyColumn& c) {
    ReplyValue v;
    auto fixedInt = [&](int bytes) { v.integer = signExtend(r.le(bytes), bytes); };
    switch (c.type) {
    case 0x30:
        v.integer = r.u8();
        return v;
    case 0x32:
        v.integer = r.u8();
        return v;
    case 0x34:
        fixedInt(2);
        return v;
    case 0x38:
        fixedInt(4);
        return v;
    case 0x7F:
        fixedInt(8);
        return v;
    case 0x3D:
        v.text = r.bytes(8);
        return v;
    case 0x26:
    case 0x68:
    case 0x6F: {
        const std::uint8_t len = r.u8();
        if (len == 0) {
            v.isNull = true;
        } else if (c.type == 0x6F) {
            v.text = r.bytes(len);
        } else {
            fixedInt(len);
        }
        return v;
    }
    case 0x6A:
    case 0x6C: {
        const std::uint8_t len = r.u8();
        if (len == 0) {
            v.isNull = true;
            return v;
        }
        const std::uint8_t sign = r.u8();
        const std::uint64_t magnitude = r.le(len - 1 > 8 ? 8 : len - 1);
        if (len - 1 > 8) {
            r.skip(static_cast<std::size_t>(len - 1 - 8));
        }
        v.integer =
            sign ? static_cast<std::int64_t>(magnitude) : -static_cast<std::int64_t>(magnitude);
        return v;
    }
    default:
        break;
    }
    if (c.length == 0xFFFF) { // PLP: total length, then chunks up to a zero-length one
        const std::uint64_t total = r.le(8);
        if (total == ~std::uint64_t{0}) {
            v.isNull = true;
            return v;
        }
        std::string raw;
        for (std::uint32_t chunk = static_cast<std::uint32_t>(r.le(4)); chunk != 0;
             chunk = static_cast<std::uint32_t>(r.le(4))) {
            raw += r.bytes(chunk);
            ++v.plpChunks;
        }
        if (total != 0xFFFFFFFFFFFFFFFEull && total != raw.size()) {
            throw std::runtime_error("PLP chunks do not add up to the announced length");
        }
        const std::string copy = raw;
        Reader inner(copy);
        v.text = c.type == 0xE7 || c.type == 0xEF ? inner.ucs2(copy.size() / 2) : copy;
        return v;
    }
    const std::uint16_t len = static_cast<std::uint16_t>(r.le(2));
    if (len == 0xFFFF) {
        v.isNull = true;
        return v;
    }
    if (c.type == 0xE7 || c.type == 0xEF) {
        v.text = r.ucs2(len / 2u);
    } else {
        v.text = r.bytes(len);
    }
    return v;
}

} // namespace

std::vector<std::int32_t> TdsReply::errorNumbers() const {
    std::vector<std::int32_t> out;
    for (const ReplyMessage& m : messages) {
        if (m.error) {
            out.push_back(m.number);
        }
    }
    return out;
}

TdsReply readTdsReply(const std::string& payload, std::uint32_t tdsVersion) {
    const bool tds72 = tdsVersion >= 0x72000000;
    const bool tds71 = tdsVersion >= 0x07010000;
    Reader r(payload);
    TdsReply reply;
    while (!r.atEnd()) {
        const std::uint8_t token = r.u8();
        reply.tokens.push_back(token);
        switch (token) {
        case 0x81: {
            ReplyResultSet rs;
            const std::uint16_t count = static_cast<std::uint16_t>(r.le(2));
            for (std::uint16_t i = 0; i < count; ++i) {
                r.skip(tds72 ? 4 : 2); // user type
                const std::uint16_t flags = static_cast<std::uint16_t>(r.le(2));
                ReplyColumn c = readTypeInfo(r, tds71);
                c.flags = flags;
                c.name = r.bVarchar();
                rs.columns.push_back(c);
            }
            reply.resultSets.push_back(rs);
            break;
        }
        case 0xD1: {
            if (reply.resultSets.empty()) {
                throw std::runtime_error("ROW before COLMETADATA");
            }
            ReplyResultSet& rs = reply.resultSets.back();
            std::vector<ReplyValue> row;
            for (const ReplyColumn& c : rs.columns) {
                row.push_back(readValue(r, c));
            }
            rs.rows.push_back(row);
            break;
        }
        case 0xAA:
        case 0xAB: {
            r.skip(2);
            ReplyMessage m;
            m.error = token == 0xAA;
            m.number = static_cast<std::int32_t>(r.le(4));
            m.state = r.u8();
            m.severity = r.u8();
            m.text = r.usVarchar();
            r.bVarchar(); // server
            r.bVarchar(); // procedure
            m.line = static_cast<std::int32_t>(r.le(tds72 ? 4 : 2));
            reply.messages.push_back(m);
            break;
        }
        case 0xE3: {
            const std::uint16_t len = static_cast<std::uint16_t>(r.le(2));
            const std::string body = r.bytes(len);
            Reader b(body);
            ReplyEnvChange e;
            e.type = b.u8();
            if (e.type <= 6 || e.type == 13 || e.type == 19) {
                e.newValue = b.bVarchar();
                e.oldValue = b.bVarchar();
            } else {
                e.newValue = b.bytes(b.u8());
                e.oldValue = b.bytes(b.u8());
            }
            reply.envChanges.push_back(e);
            break;
        }
        case 0xFD:
        case 0xFE:
        case 0xFF: {
            ReplyDone d;
            d.token = token;
            d.status = static_cast<std::uint16_t>(r.le(2));
            r.skip(2);
            d.rows = r.le(tds72 ? 8 : 4);
            reply.dones.push_back(d);
            break;
        }
        case 0x79:
            reply.returnStatuses.push_back(static_cast<std::int32_t>(r.le(4)));
            break;
        case 0xAC: {
            r.skip(2);
            r.bVarchar();
            r.skip(1 + (tds72 ? 4 : 2) + 2);
            readValue(r, readTypeInfo(r, tds71));
            break;
        }
        case 0xAD:
            r.skip(static_cast<std::size_t>(r.le(2)));
            break;
        default:
            throw std::runtime_error("unknown token " + std::to_string(token));
        }
    }
    return reply;
}

} // namespace tallyvane::testsupport
