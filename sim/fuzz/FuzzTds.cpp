// libFuzzer target: client bytes into the packet reassembly, PRELOGIN, LOGIN7, SQL batch,
// RPC and transaction parsers, and a whole TdsSession with its statements and faults.
#include "Bytes.h"
#include "Login7.h"
#include "Packet.h"
#include "Prelogin.h"
#include "Requests.h"
#include "Scenario.h"
#include "ServerState.h"
#include "Statement.h"
#include "TdsSession.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace tdssim;

namespace {

class FuzzHost : public SessionHost {
public:
    void send(std::string bytes) override { sent += bytes.size(); }
    void closeAfterSend() override { closed = true; }
    void startTimer(std::chrono::milliseconds) override { timer = true; }
    void stopTimer() override { timer = false; }
    void log(int, std::string_view, const LogFields&) override {}
    EncryptionMode encryption() const override { return EncryptionMode::Off; }
    void startTls(TlsScope) override {}

    std::size_t sent = 0;
    bool closed = false;
    bool timer = false;
};

std::string packet(std::uint8_t type, std::string_view payload) {
    std::string out;
    std::uint8_t id = 1;
    appendPackets(out, type, payload, 4096, 0, id);
    return out;
}

void putU16(std::string& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

// A valid LOGIN7 for sa, so that the fuzzer reaches the requests behind the login.
std::string loginPacket() {
    std::string fixed(94, '\0');
    std::string data;
    auto field = [&](std::size_t at, const std::string& text, bool password) {
        std::string u = utf8ToUcs2(text);
        if (password) {
            for (char& c : u) {
                auto b = static_cast<std::uint8_t>(c);
                c = static_cast<char>(static_cast<std::uint8_t>(((b << 4) | (b >> 4)) ^ 0xA5));
            }
        }
        putU16(fixed, at, static_cast<std::uint16_t>(94 + data.size()));
        putU16(fixed, at + 2, static_cast<std::uint16_t>(text.size()));
        data += u;
    };
    fixed[4] = 0x04;
    fixed[7] = 0x74; // TDS 7.4
    fixed[9] = 0x10; // packet size 4096
    field(36, "fuzzhost", false);
    field(40, "sa", false);
    field(44, "Sim-Admin-1", true);
    field(48, "fuzz", false);
    std::string payload = fixed + data;
    putU16(payload, 0, static_cast<std::uint16_t>(payload.size()));
    return packet(PacketType::Login7, payload);
}

const Scenario& edge() {
    static const Scenario sc = loadScenario("edge");
    return sc;
}

void parsers(std::string_view data) {
    try {
        parsePrelogin(data);
    } catch (const ProtocolError&) {
    }
    try {
        parseLogin7(data);
    } catch (const ProtocolError&) {
    }
    for (bool tds72 : {false, true}) {
        try {
            parseSqlBatch(data, tds72);
        } catch (const ProtocolError&) {
        }
        try {
            parseRpc(data, tds72);
        } catch (const ProtocolError&) {
        }
        try {
            parseTmRequest(data, tds72);
        } catch (const ProtocolError&) {
        }
    }
    classifyStatement(data);
    for (const BatchPart& part : splitBatchLines(data)) {
        classifyStatement(part.text);
    }
    try {
        MessageAssembler a(1 << 20);
        a.feed(data);
        while (a.next()) {
        }
    } catch (const ProtocolError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = bytes[0];
    std::string_view data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    if ((mode & 3) == 0) {
        parsers(data);
        return 0;
    }
    ServerState state(edge(), 0, Clock::now());
    if (mode & 0x04) {
        state.faults().delayMs = 10;
    }
    if (mode & 0x08) {
        state.faults().drop = true;
    }
    if (mode & 0x10) {
        state.faults().queryError = 208;
    }
    FuzzHost host;
    TdsSession session(state, host);
    if ((mode & 3) >= 2) {
        static const std::string prefix =
            packet(PacketType::Prelogin, buildPreloginReply(Encrypt::NotSup)) + loginPacket();
        session.onBytes(prefix);
    }
    // Feed in two pieces so that reassembly across reads is exercised too.
    std::size_t cut = data.empty() ? 0 : static_cast<std::size_t>(mode >> 5) * data.size() / 8;
    session.onBytes(data.substr(0, cut));
    if (host.timer) {
        host.timer = false;
        session.onTimer();
    }
    session.onBytes(data.substr(cut));
    if (host.timer) {
        session.onTimer();
    }
    return 0;
}
