// A bare TDS client over a socket, written from the protocol documentation and apart from
// tdssim's own code: it lets tests and benchmarks look at packets and messages as they are.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace tallyvane::testsupport {

class RawTdsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RawMessage {
    std::uint8_t type = 0;
    std::string payload; // the packets' bodies joined
    int packets = 0;
    std::size_t largestPacket = 0; // header included
};

class RawTdsClient {
public:
    explicit RawTdsClient(int port);
    ~RawTdsClient();
    RawTdsClient(const RawTdsClient&) = delete;
    RawTdsClient& operator=(const RawTdsClient&) = delete;

    // PRELOGIN and LOGIN7; returns the login reply. packetSize is what LOGIN7 asks for.
    RawMessage login(const std::string& user, const std::string& password,
                     const std::string& app = "RawTdsClient", std::uint32_t packetSize = 4096);

    // The two halves of login(), for clients that do things their own way: a PRELOGIN
    // payload of the test's making (its reply is returned), and a LOGIN7 of the given TDS
    // version (as LOGIN7 spells it, e.g. 0x70000000 for 7.0) sent with or without one.
    RawMessage prelogin(const std::string& payload);
    void sendLogin7(const std::string& user, const std::string& password,
                    std::uint32_t tdsVersion = 0x74000004, const std::string& app = "RawTdsClient",
                    std::uint32_t packetSize = 4096);

    // Sends a SQL batch cut into packets of at most packetSize bytes; with TDS 7.2+ headers
    // unless allHeaders is false (TDS 7.0 and 7.1 have none).
    void sendBatch(const std::string& sql, std::size_t packetSize = 4096, bool allHeaders = true);
    void sendAttention();
    // Sends raw bytes as they are.
    void sendRaw(const std::string& bytes);
    // Reads packets up to the one with EOM. Throws on time-out or a closed connection.
    RawMessage readMessage(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when the server has closed the connection (reads EOF within the time-out).
    bool closedByServer(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // The final DONE of a reply: status and row count (reads the last 13 bytes).
    static std::uint16_t finalDoneStatus(const RawMessage& m);
    static std::uint64_t finalDoneRows(const RawMessage& m);

private:
    void readExact(char* buf, std::size_t n, std::chrono::steady_clock::time_point deadline);
    void sendMessage(std::uint8_t type, const std::string& payload, std::size_t packetSize);

    int fd_ = -1;
};

} // namespace tallyvane::testsupport
