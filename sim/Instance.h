// One simulated server: a loopback port, its state and its client connections.
#pragma once

#include "ClientLog.h"
#include "EventLoop.h"
#include "Prelogin.h"
#include "ServerState.h"
#include "TlsEngine.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace tdssim {

class Connection;

// What every instance of the process shares besides the scenario.
struct InstanceSetup {
    EncryptionMode encryption = EncryptionMode::Off;
    const TlsContext* tls = nullptr;               // set unless encryption is off
    std::chrono::milliseconds loginTimeout{60000}; // 0: never
};

class Instance : public FdHandler {
public:
    // port 0: the system picks a free port.
    Instance(EventLoop& loop, ClientLog& log, Scenario scenario, int index, int port,
             InstanceSetup setup = {});
    ~Instance() override;

    // Binds the port and listens (or only binds, while the refuse fault is on). Throws.
    void open();
    int port() const { return port_; }
    int index() const { return index_; }
    ServerState& state() { return state_; }
    EventLoop& loop() { return loop_; }
    ClientLog& clientLog() { return log_; }
    const InstanceSetup& setup() const { return setup_; }

    // Re-reads the faults that concern the socket (refuse).
    void applyFaults();
    void onEvents(std::uint32_t events) override;
    void connectionClosed(Connection* c);
    void closeAll();
    std::size_t connectionCount() const { return connections_.size(); }

private:
    void bindSocket();
    void killConnection(int spid);

    EventLoop& loop_;
    ClientLog& log_;
    ServerState state_;
    InstanceSetup setup_;
    int index_;
    int port_;
    int fd_ = -1;
    bool listening_ = false;
    std::uint64_t nextConnection_ = 1;
    std::map<Connection*, std::unique_ptr<Connection>> connections_;
};

} // namespace tdssim
