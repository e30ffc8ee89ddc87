// Starts the built tdssim for a test on free loopback ports, talks to its control port and
// reads its client log; the destructor stops it.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tallyvane::testsupport {

class TdsSimError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One line of the client log: "time", "instance", "port", "conn", "spid", "event" and the
// event's own fields, every value as text (null as "").
using SimLogEntry = std::map<std::string, std::string>;

class TdsSimProcess {
public:
    static constexpr const char* kAdminUser = "sa";
    static constexpr const char* kAdminPassword = "Sim-Admin-1";
    static constexpr const char* kViewerUser = "viewer";
    static constexpr const char* kViewerPassword = "Sim-View-1";

    // Starts tdssim with the scenario ("demo", "edge", "gen:...", or a file path) and the
    // number of instances, a control port and a log file, plus any further options
    // (--encryption ...). Throws TdsSimError when it does not come up within the time-out.
    explicit TdsSimProcess(const std::string& scenario = "demo", int instances = 1,
                           std::chrono::milliseconds startTimeout = std::chrono::seconds(10),
                           const std::vector<std::string>& extraArgs = {});
    ~TdsSimProcess();
    TdsSimProcess(const TdsSimProcess&) = delete;
    TdsSimProcess& operator=(const TdsSimProcess&) = delete;

    // The path of the tdssim executable this library was built with.
    static std::string executablePath();

    int port(int instance = 0) const { return ports_.at(static_cast<std::size_t>(instance)); }
    const std::vector<int>& ports() const { return ports_; }
    int controlPort() const { return controlPort_; }
    pid_t pid() const { return pid_; }
    bool running() const;

    // Sends one control command and returns its first reply line ("OK ...").
    // Throws TdsSimError on an "ERR" reply or a dead control connection.
    std::string control(const std::string& command);
    // For list commands (instances, sessions, processes, log): the lines after "OK n".
    std::vector<std::string> controlList(const std::string& command);

    // Shorthands for the control commands.
    void setFault(int instance, const std::string& name, const std::string& value = "");
    void clearFaults(int instance = -1); // -1: every instance
    void block(int instance, int waiter, int blocker, const std::string& waitType = "LCK_M_X",
               const std::string& waitResource = "");
    void unblock(int instance, int waiter);
    void kill(int instance, int spid);
    void setClock(int instance, double seconds);
    // The client connections of an instance, one JSON object each (see sim/README.md).
    std::vector<std::string> sessions(int instance = 0);
    // Polls until a client session with this application name is connected; returns its SPID.
    int waitForSession(int instance, const std::string& program,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The client log file as written so far (all instances).
    const std::string& logPath() const { return logPath_; }
    std::vector<std::string> logLines() const;
    std::vector<SimLogEntry> logEntries() const;
    // Polls the log until an entry satisfies the predicate; returns it, or throws after the
    // time-out.
    SimLogEntry waitForLog(const std::function<bool(const SimLogEntry&)>& pred,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // An ODBC connection string for the FreeTDS driver (no Application Name).
    std::string odbcConnectionString(int instance = 0, const std::string& user = kAdminUser,
                                     const std::string& password = kAdminPassword) const;
    // An OLE DB style connection string as the program's server list holds them.
    std::string oledbConnectionString(int instance = 0, const std::string& user = kAdminUser,
                                      const std::string& password = kAdminPassword) const;

    // SIGTERM, then SIGKILL if it does not exit within the time-out. Safe to call twice.
    // Returns the exit status (or -1 when killed or already stopped).
    int stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    std::string readControlLine();
    void sendControl(const std::string& command);

    pid_t pid_ = -1;
    std::string dir_;
    std::string logPath_;
    std::string errPath_;
    std::vector<int> ports_;
    int controlPort_ = 0;
    int controlFd_ = -1;
    std::string controlBuffer_;
};

} // namespace tallyvane::testsupport
