// Runs the built tallyvane-exporter for a test: once (--once) or serving on a free loopback
// port until it is stopped; plus the files it reads, written into a test's folder.
#pragma once

#include "EventWait.h"
#include "TdsSimProcess.h"

#include <QProcess>
#include <QStringList>
#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace exportertest {

inline QStringList ToArgs(const std::vector<std::string>& args) {
    QStringList list;
    for (const std::string& a : args) {
        list << QString::fromStdString(a);
    }
    return list;
}

struct TRunResult {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

// Starts the exporter, through a launcher when one is given (prlimit and its options: the
// launcher's command line with the exporter's after it).
inline void StartExporter(QProcess& process, const std::vector<std::string>& args,
                          const std::vector<std::string>& launcher) {
    if (launcher.empty()) {
        process.start(TALLYVANE_EXPORTER_PATH, ToArgs(args));
        return;
    }
    std::vector<std::string> all(launcher.begin() + 1, launcher.end());
    all.push_back(TALLYVANE_EXPORTER_PATH);
    all.insert(all.end(), args.begin(), args.end());
    process.start(QString::fromStdString(launcher.front()), ToArgs(all));
}

// Runs the exporter to its end (bounded by the time-out, then killed).
inline TRunResult RunExporter(const std::vector<std::string>& args, int timeoutMs = 60000,
                              const std::vector<std::string>& launcher = {}) {
    QProcess process;
    StartExporter(process, args, launcher);
    TRunResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.Out = process.readAllStandardOutput().toStdString();
    result.Err = process.readAllStandardError().toStdString();
    return result;
}

// The exporter serving on a free loopback port until Stop or destruction.
class TServingExporter {
public:
    explicit TServingExporter(std::vector<std::string> args,
                              const std::vector<std::string>& launcher = {}) {
        args.push_back("--listen");
        args.push_back("127.0.0.1:0");
        StartExporter(Process, args, launcher);
        const std::regex serving("Serving https?://[^:]+:([0-9]+)/metrics");
        tallyvane::testsupport::SpinUntil(
            [&] {
                Err += Process.readAllStandardError().toStdString();
                std::smatch m;
                if (std::regex_search(Err, m, serving)) {
                    Port = std::stoi(m[1]);
                }
                return Port != 0 || Process.state() == QProcess::NotRunning;
            },
            std::chrono::seconds(20));
    }
    ~TServingExporter() { Stop(); }

    // SIGTERM and the exit code (-1 when it had to be killed or crashed).
    int Stop(int signalNumber = SIGTERM) {
        if (Process.state() == QProcess::NotRunning) {
            return Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
        }
        ::kill(pid_t(Process.processId()), signalNumber);
        if (!Process.waitForFinished(15000)) {
            Process.kill();
            Process.waitForFinished();
            return -1;
        }
        Err += Process.readAllStandardError().toStdString();
        return Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    }

    // Standard error so far.
    const std::string& Log() {
        Err += Process.readAllStandardError().toStdString();
        return Err;
    }

    int Port = 0;
    QProcess Process;

private:
    std::string Err;
};

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A server list section for an instance of the simulated server.
inline std::string Section(const std::string& name, const std::string& connectionString,
                           bool enabled = true, int timeout = 5) {
    return "[" + name + "]\r\nEnabled=" + (enabled ? "1" : "0") +
           "\r\nConnectionString=" + connectionString + "\r\nTimeout=" + std::to_string(timeout) +
           "\r\n\r\n";
}

// A scenario of six quiet sessions (51 to 56) that never block by themselves; tests block
// them through the control port.
inline const char* QuietScenario() {
    return "[server]\nname = QUIET\n"
           "[session]\nspid = 51\nlogin = app\n[session]\nspid = 52\nlogin = app\n"
           "[session]\nspid = 53\nlogin = app\n[session]\nspid = 54\nlogin = app\n"
           "[session]\nspid = 55\nlogin = app\n[session]\nspid = 56\nlogin = app\n";
}

// The value of one series in a text-format page; NaN when absent.
inline double SeriesValue(const std::string& page, const std::string& series) {
    std::size_t pos = 0;
    while ((pos = page.find(series + " ", pos)) != std::string::npos) {
        if (pos == 0 || page[pos - 1] == '\n') {
            return std::stod(page.substr(pos + series.size() + 1));
        }
        pos += series.size();
    }
    return std::nan("");
}

} // namespace exportertest
