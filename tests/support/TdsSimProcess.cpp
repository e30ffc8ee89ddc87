#include "TdsSimProcess.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef TALLYVANE_TDSSIM_PATH
#error "TALLYVANE_TDSSIM_PATH must name the tdssim executable"
#endif

namespace tallyvane::testsupport {

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

int portFromLine(const std::string& line) {
    return std::atoi(line.substr(line.rfind(':') + 1).c_str());
}

} // namespace

std::string TdsSimProcess::executablePath() {
    return TALLYVANE_TDSSIM_PATH;
}

TdsSimProcess::TdsSimProcess(const std::string& scenario, int instances,
                             std::chrono::milliseconds startTimeout,
                             const std::vector<std::string>& extraArgs) {
    char tmpl[] = "/tmp/tdssim-test-XXXXXX";
    if (!mkdtemp(tmpl)) {
        throw TdsSimError(std::string("mkdtemp: ") + std::strerror(errno));
    }
    dir_ = tmpl;
    logPath_ = dir_ + "/clients.log";
    errPath_ = dir_ + "/stderr.txt";

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw TdsSimError(std::string("pipe: ") + std::strerror(errno));
    }
    std::vector<std::string> args = {
        executablePath(),          "--port",    "0", "--scenario", scenario, "--instances",
        std::to_string(instances), "--control", "0", "--log",      logPath_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        throw TdsSimError(std::string("fork: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        // The server must not outlive a test that crashes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(out[1], STDOUT_FILENO);
        int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err >= 0) {
            dup2(err, STDERR_FILENO);
        }
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);

    // Wait for "control on ..." and one "listening on ..." per instance.
    Clock::time_point deadline = Clock::now() + startTimeout;
    std::string buffer;
    bool failed = false;
    while (static_cast<int>(ports_.size()) < instances && !failed) {
        pollfd p{out[0], POLLIN, 0};
        int r = poll(&p, 1, remainingMs(deadline));
        if (r <= 0) {
            failed = true;
            break;
        }
        char buf[1024];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) {
            failed = true;
            break;
        }
        buffer.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            if (line.rfind("control on ", 0) == 0) {
                controlPort_ = portFromLine(line);
            } else if (line.rfind("listening on ", 0) == 0) {
                ports_.push_back(portFromLine(line));
            }
        }
    }
    close(out[0]);
    if (failed || controlPort_ == 0) {
        stop(std::chrono::seconds(1));
        std::string err = readFile(errPath_);
        std::filesystem::remove_all(dir_);
        throw TdsSimError("tdssim did not start (" + scenario + "): " + err);
    }

    controlFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(controlPort_));
    if (connect(controlFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        stop(std::chrono::seconds(1));
        throw TdsSimError("cannot connect to the tdssim control port");
    }
}

TdsSimProcess::~TdsSimProcess() {
    stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

bool TdsSimProcess::running() const {
    return pid_ > 0 && ::kill(pid_, 0) == 0;
}

int TdsSimProcess::stop(std::chrono::milliseconds timeout) {
    if (controlFd_ >= 0) {
        close(controlFd_);
        controlFd_ = -1;
    }
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, SIGTERM);
    Clock::time_point deadline = Clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 || Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

void TdsSimProcess::sendControl(const std::string& command) {
    if (controlFd_ < 0) {
        throw TdsSimError("tdssim is stopped");
    }
    std::string line = command + "\n";
    if (send(controlFd_, line.data(), line.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(line.size())) {
        throw TdsSimError("control connection lost");
    }
}

std::string TdsSimProcess::readControlLine() {
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    std::size_t nl;
    while ((nl = controlBuffer_.find('\n')) == std::string::npos) {
        pollfd p{controlFd_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) {
            throw TdsSimError("no reply on the control port");
        }
        char buf[4096];
        ssize_t n = recv(controlFd_, buf, sizeof buf, 0);
        if (n <= 0) {
            throw TdsSimError("control connection lost");
        }
        controlBuffer_.append(buf, static_cast<std::size_t>(n));
    }
    std::string line = controlBuffer_.substr(0, nl);
    controlBuffer_.erase(0, nl + 1);
    return line;
}

std::string TdsSimProcess::control(const std::string& command) {
    sendControl(command);
    std::string reply = readControlLine();
    if (reply.rfind("OK", 0) != 0) {
        throw TdsSimError("tdssim control '" + command + "': " + reply);
    }
    return reply;
}

std::vector<std::string> TdsSimProcess::controlList(const std::string& command) {
    std::string first = control(command);
    int n = std::atoi(first.substr(2).c_str());
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i) {
        lines.push_back(readControlLine());
    }
    return lines;
}

void TdsSimProcess::setFault(int instance, const std::string& name, const std::string& value) {
    control("fault " + std::to_string(instance) + " " + name + (value.empty() ? "" : " " + value));
}

void TdsSimProcess::clearFaults(int instance) {
    control("clear " + (instance < 0 ? std::string("*") : std::to_string(instance)));
}

void TdsSimProcess::block(int instance, int waiter, int blocker, const std::string& waitType,
                          const std::string& waitResource) {
    control("block " + std::to_string(instance) + " " + std::to_string(waiter) + " " +
            std::to_string(blocker) + " " + waitType +
            (waitResource.empty() ? "" : " " + waitResource));
}

void TdsSimProcess::unblock(int instance, int waiter) {
    control("unblock " + std::to_string(instance) + " " + std::to_string(waiter));
}

void TdsSimProcess::kill(int instance, int spid) {
    control("kill " + std::to_string(instance) + " " + std::to_string(spid));
}

void TdsSimProcess::setClock(int instance, double seconds) {
    std::ostringstream s;
    s << "clock " << instance << " " << seconds;
    control(s.str());
}

std::vector<std::string> TdsSimProcess::sessions(int instance) {
    return controlList("sessions " + std::to_string(instance));
}

int TdsSimProcess::waitForSession(int instance, const std::string& program,
                                  std::chrono::milliseconds timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        for (const std::string& line : sessions(instance)) {
            QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            if (o.value("program").toString().toStdString() == program) {
                return o.value("spid").toInt();
            }
        }
        if (Clock::now() >= deadline) {
            throw TdsSimError("no session of '" + program + "' on instance " +
                              std::to_string(instance));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> TdsSimProcess::logLines() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(logPath_));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<SimLogEntry> TdsSimProcess::logEntries() const {
    std::vector<SimLogEntry> entries;
    for (const std::string& line : logLines()) {
        QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        if (!doc.isObject()) {
            continue; // a line still being written
        }
        SimLogEntry e;
        QJsonObject o = doc.object();
        for (auto it = o.begin(); it != o.end(); ++it) {
            QJsonValue v = it.value();
            std::string text = v.isString()   ? v.toString().toStdString()
                               : v.isDouble() ? std::to_string(v.toInteger())
                               : v.isBool()   ? (v.toBool() ? "true" : "false")
                                              : "";
            e[it.key().toStdString()] = text;
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

SimLogEntry TdsSimProcess::waitForLog(const std::function<bool(const SimLogEntry&)>& pred,
                                      std::chrono::milliseconds timeout) const {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        for (const SimLogEntry& e : logEntries()) {
            if (pred(e)) {
                return e;
            }
        }
        if (Clock::now() >= deadline) {
            throw TdsSimError("no matching entry in the tdssim client log");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string TdsSimProcess::odbcConnectionString(int instance, const std::string& user,
                                                const std::string& password) const {
    return "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(port(instance)) +
           ";UID=" + user + ";PWD=" + password + ";TDS_Version=7.4";
}

std::string TdsSimProcess::oledbConnectionString(int instance, const std::string& user,
                                                 const std::string& password) const {
    return "Provider=SQLOLEDB.1;Data Source=127.0.0.1," + std::to_string(port(instance)) +
           ";User ID=" + user + ";Password=" + password + ";Persist Security Info=True";
}

} // namespace tallyvane::testsupport
