#include "Requests.h"

#include "Bytes.h"

#include <algorithm>
#include <cctype>

namespace tdssim {

namespace {

// ALL_HEADERS: total length (itself included), then headers of type 2 (transaction
// descriptor) and others, which we skip.
std::uint64_t skipAllHeaders(ByteReader& r) {
    std::uint32_t total = r.u32le();
    if (total < 4 || total - 4 > r.remaining()) {
        throw ProtocolError("ALL_HEADERS length out of range");
    }
    ByteReader headers(r.take(total - 4));
    std::uint64_t transaction = 0;
    while (!headers.atEnd()) {
        std::uint32_t len = headers.u32le();
        if (len < 6 || len - 4 > headers.remaining()) {
            throw ProtocolError("header length out of range");
        }
        ByteReader h(headers.take(len - 4));
        if (h.u16le() == 2 && h.remaining() >= 8) {
            transaction = h.u64le();
        }
    }
    return transaction;
}

std::string latin1ToUtf8(std::string_view bytes) {
    std::string out;
    for (char ch : bytes) {
        auto c = static_cast<std::uint8_t>(ch);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::int64_t signedLe(std::string_view b) {
    std::uint64_t u = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        u |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(b[i])) << (8 * i);
    }
    if (!b.empty() && b.size() < 8 && (static_cast<std::uint8_t>(b.back()) & 0x80)) {
        u |= ~std::uint64_t{0} << (8 * b.size());
    }
    return static_cast<std::int64_t>(u);
}

// A partially length-prefixed value: total length, then chunks ended by a zero chunk.
std::optional<std::string> readPlp(ByteReader& r) {
    std::uint64_t total = r.u64le();
    if (total == ~std::uint64_t{0}) {
        return std::nullopt;
    }
    std::string data;
    for (;;) {
        std::uint32_t chunk = r.u32le();
        if (chunk == 0) {
            break;
        }
        data.append(r.take(chunk));
    }
    return data;
}

enum class Kind { Int, Unicode, Ansi, Other };

struct TypeInfo {
    std::uint8_t type = 0;
    Kind kind = Kind::Other;
    int fixed = -1;   // fixed-length types: value size
    int lenBytes = 0; // 1, 2 or 4 byte length prefix on the value
    bool plp = false;
};

TypeInfo readTypeInfo(ByteReader& r, bool collations) {
    const std::size_t collation = collations ? 5 : 0; // none before TDS 7.1
    TypeInfo t;
    t.type = r.u8();
    switch (t.type) {
    case 0x1F: // NULL
        t.fixed = 0;
        break;
    case 0x30: // tinyint
    case 0x32: // bit
        t.fixed = 1;
        t.kind = Kind::Int;
        break;
    case 0x34:
        t.fixed = 2;
        t.kind = Kind::Int;
        break;
    case 0x38:
        t.fixed = 4;
        t.kind = Kind::Int;
        break;
    case 0x7F:
        t.fixed = 8;
        t.kind = Kind::Int;
        break;
    case 0x3A: // smalldatetime
    case 0x3B: // real
    case 0x7A: // smallmoney
        t.fixed = 4;
        break;
    case 0x3C: // money
    case 0x3D: // datetime
    case 0x3E: // float
        t.fixed = 8;
        break;
    case 0x26: // INTN
    case 0x68: // BITN
        r.u8();
        t.lenBytes = 1;
        t.kind = Kind::Int;
        break;
    case 0x24: // GUID
    case 0x6D: // FLTN
    case 0x6E: // MONEYN
    case 0x6F: // DATETIMN
        r.u8();
        t.lenBytes = 1;
        break;
    case 0x6A: // DECIMALN
    case 0x6C: // NUMERICN
        r.u8();
        r.u8();
        r.u8();
        t.lenBytes = 1;
        break;
    case 0x28: // date
        t.lenBytes = 1;
        break;
    case 0x29: // time
    case 0x2A: // datetime2
    case 0x2B: // datetimeoffset
        r.u8();
        t.lenBytes = 1;
        break;
    case 0x25: // legacy varbinary
    case 0x2D: // legacy binary
        r.u8();
        t.lenBytes = 1;
        break;
    case 0x27: // legacy varchar
    case 0x2F: // legacy char
        r.u8();
        t.lenBytes = 1;
        t.kind = Kind::Ansi;
        break;
    case 0xA5: // varbinary
    case 0xAD: // binary
        t.plp = r.u16le() == 0xFFFF;
        t.lenBytes = 2;
        break;
    case 0xA7: // varchar
    case 0xAF: // char
        t.plp = r.u16le() == 0xFFFF;
        r.skip(collation);
        t.lenBytes = 2;
        t.kind = Kind::Ansi;
        break;
    case 0xE7: // nvarchar
    case 0xEF: // nchar
        t.plp = r.u16le() == 0xFFFF;
        r.skip(collation);
        t.lenBytes = 2;
        t.kind = Kind::Unicode;
        break;
    case 0x22: // image
        r.u32le();
        t.lenBytes = 4;
        break;
    case 0x23: // text
        r.u32le();
        r.skip(collation);
        t.lenBytes = 4;
        t.kind = Kind::Ansi;
        break;
    case 0x63: // ntext
        r.u32le();
        r.skip(collation);
        t.lenBytes = 4;
        t.kind = Kind::Unicode;
        break;
    case 0x62: // sql_variant
        r.u32le();
        t.lenBytes = 4;
        break;
    case 0xF1: // xml
        if (r.u8() != 0) {
            r.skip(r.u8() * 2u);
            r.skip(r.u8() * 2u);
            r.skip(r.u16le() * 2u);
        }
        t.plp = true;
        break;
    default:
        throw ProtocolError("unsupported parameter type");
    }
    return t;
}

void readValue(ByteReader& r, const TypeInfo& t, RpcParam& p) {
    std::optional<std::string> raw;
    if (t.fixed >= 0) {
        raw = std::string(r.take(static_cast<std::size_t>(t.fixed)));
        if (t.fixed == 0) {
            raw.reset();
        }
    } else if (t.plp) {
        raw = readPlp(r);
    } else if (t.lenBytes == 1) {
        std::uint8_t n = r.u8();
        if (n != 0 || t.type == 0x28) {
            raw = std::string(r.take(n));
        }
        if (n == 0 && (t.kind == Kind::Int || t.type == 0x24 || t.type == 0x6D || t.type == 0x6E ||
                       t.type == 0x6F || t.type == 0x6A || t.type == 0x6C)) {
            raw.reset();
        }
    } else if (t.lenBytes == 2) {
        std::uint16_t n = r.u16le();
        if (n != 0xFFFF) {
            raw = std::string(r.take(n));
        }
    } else {
        std::uint32_t n = r.u32le();
        if (n != 0xFFFFFFFFu) {
            raw = std::string(r.take(n));
        }
    }
    p.isNull = !raw.has_value();
    if (!raw) {
        return;
    }
    if (t.kind == Kind::Int && raw->size() <= 8) {
        p.intValue = signedLe(*raw);
    } else if (t.kind == Kind::Unicode) {
        p.textValue = ucs2ToUtf8(*raw);
    } else if (t.kind == Kind::Ansi) {
        p.textValue = latin1ToUtf8(*raw);
    }
}

std::string procNameForId(std::uint16_t id) {
    switch (id) {
    case 1:
        return "sp_cursor";
    case 2:
        return "sp_cursoropen";
    case 3:
        return "sp_cursorprepare";
    case 4:
        return "sp_cursorexecute";
    case 5:
        return "sp_cursorprepexec";
    case 6:
        return "sp_cursorunprepare";
    case 7:
        return "sp_cursorfetch";
    case 8:
        return "sp_cursoroption";
    case 9:
        return "sp_cursorclose";
    case ProcId::ExecuteSql:
        return "sp_executesql";
    case ProcId::Prepare:
        return "sp_prepare";
    case ProcId::Execute:
        return "sp_execute";
    case ProcId::PrepExec:
        return "sp_prepexec";
    case 14:
        return "sp_prepexecrpc";
    case ProcId::Unprepare:
        return "sp_unprepare";
    default:
        return "proc#" + std::to_string(id);
    }
}

std::uint16_t idForProcName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (std::string prefix : {"master.dbo.", "master..", "sys.", "dbo."}) {
        if (name.rfind(prefix, 0) == 0) {
            name.erase(0, prefix.size());
        }
    }
    for (std::uint16_t id = 1; id <= 15; ++id) {
        if (procNameForId(id) == name) {
            return id;
        }
    }
    return 0;
}

} // namespace

SqlBatch parseSqlBatch(std::string_view payload, bool tds72) {
    ByteReader r(payload);
    SqlBatch batch;
    if (tds72) {
        batch.transaction = skipAllHeaders(r);
    }
    batch.text = ucs2ToUtf8(r.take(r.remaining()));
    return batch;
}

TmRequest parseTmRequest(std::string_view payload, bool tds72) {
    ByteReader r(payload);
    if (tds72) {
        skipAllHeaders(r);
    }
    TmRequest req;
    req.type = r.u16le();
    if (req.type == TmType::Commit || req.type == TmType::Rollback) {
        if (!r.atEnd()) {
            r.skip(r.u8() * 2u); // transaction name
        }
        if (!r.atEnd()) {
            req.beginAfter = (r.u8() & 0x01) != 0;
        }
    }
    return req;
}

std::vector<RpcCall> parseRpc(std::string_view payload, bool tds72, bool collations) {
    ByteReader r(payload);
    if (tds72) {
        skipAllHeaders(r);
    }
    std::vector<RpcCall> calls;
    for (;;) {
        RpcCall call;
        std::uint16_t nameLen = r.u16le();
        if (nameLen == 0xFFFF) {
            call.procId = r.u16le();
            call.procName = procNameForId(call.procId);
        } else {
            call.procName = ucs2ToUtf8(r.take(nameLen * 2u));
            call.procId = idForProcName(call.procName);
        }
        r.u16le(); // option flags
        while (!r.atEnd()) {
            std::uint8_t peek = static_cast<std::uint8_t>(payload[r.pos()]);
            if (peek == 0x80 || peek == 0xFF || peek == 0xFE) {
                break; // batch separator
            }
            RpcParam p;
            p.name = ucs2ToUtf8(r.take(r.u8() * 2u));
            p.status = r.u8();
            TypeInfo t = readTypeInfo(r, collations);
            p.type = t.type;
            readValue(r, t, p);
            call.params.push_back(std::move(p));
            if (call.params.size() > 4096) {
                throw ProtocolError("too many RPC parameters");
            }
        }
        calls.push_back(std::move(call));
        if (r.atEnd()) {
            break;
        }
        r.u8(); // separator
        if (r.atEnd()) {
            break;
        }
        if (calls.size() > 256) {
            throw ProtocolError("too many RPC calls in one request");
        }
    }
    return calls;
}

} // namespace tdssim
