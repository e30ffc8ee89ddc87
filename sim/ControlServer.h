// The control port: line commands that switch faults, change blocking, list sessions and
// read the client log while tdssim runs. Protocol in sim/README.md.
#pragma once

#include "EventLoop.h"
#include "Instance.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tdssim {

class ControlServer : public FdHandler {
public:
    ControlServer(EventLoop& loop, std::vector<std::unique_ptr<Instance>>& instances, int port);
    ~ControlServer() override;

    int port() const { return port_; }
    void onEvents(std::uint32_t events) override;
    // One command line in, the full reply out (every line ends with \n).
    std::string execute(const std::string& line);

private:
    class Client;
    friend class Client;
    void clientClosed(Client* c);

    EventLoop& loop_;
    std::vector<std::unique_ptr<Instance>>& instances_;
    int fd_ = -1;
    int port_ = 0;
    std::map<Client*, std::unique_ptr<Client>> clients_;
};

} // namespace tdssim
