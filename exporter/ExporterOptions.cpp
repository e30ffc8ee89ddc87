#include "ExporterOptions.h"

#include <charconv>
#include <functional>
#include <map>

const char* const ExporterUsage =
    R"(Usage: tallyvane-exporter [options]

Watches every enabled server of the server list for blocking and serves the figures to
Prometheus at http://ADDR:PORT/metrics (text format 0.0.4, or OpenMetrics 1.0 when asked).

  --listen ADDR:PORT          where to listen (default 127.0.0.1:9187; [::1]:9187 for IPv6;
                              port 0 takes a free port, named at start)
  --servers FILE              the server list (default: the desktop program's servers.ini)
  --settings FILE             the settings file (default: the desktop program's tallyvane.ini);
                              AutoRefreshInterval is the poll interval, WarningTimeout the
                              threshold published for alerts
  --shard I/N                 watch only the servers whose name hashes to shard I of N
  --once                      poll every server once, print the metrics, exit
  --auth-user NAME            ask for HTTP basic authentication as NAME ...
  --auth-password-file FILE   ... with the password on the first line of FILE
  --tls-cert FILE             serve HTTPS with this PEM certificate (chain) ...
  --tls-key FILE              ... and this PEM private key
  --handshake-timeout SECONDS how long a client may take over its TLS handshake
                              (default 10; 0.1 to 300)
  --deadlock-interval SECONDS read each server's new deadlock reports at most this often
                              (default 60; 0 reads none)
  --version                   print the version and exit
  --help                      print this help and exit

A server whose connection string holds no credentials is reported down (login_required): the
exporter never asks for a login. SIGTERM or SIGINT stops it.
)";

bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port) {
    std::size_t colon = std::string::npos;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            return false;
        }
        host = text.substr(0, colon);
    }
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (host.empty() || first == last || ec != std::errc() || end != last || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

TOptionsParse ParseExporterOptions(const std::vector<std::string>& args) {
    TOptionsParse result;
    TExporterOptions& o = result.Options;
    const std::map<std::string, std::function<bool()>> flags = {
        {"--help", [&] { return o.Help = true; }},
        {"-h", [&] { return o.Help = true; }},
        {"--version", [&] { return o.Version = true; }},
        {"--once", [&] { return o.Once = true; }},
    };
    const std::map<std::string, std::function<std::string(const std::string&)>> valued = {
        {"--listen",
         [&](const std::string& v) {
             return ParseListenAddress(v, o.ListenHost, o.ListenPort)
                        ? ""
                        : "--listen takes ADDR:PORT (e.g. 127.0.0.1:9187), not \"" + v + "\"";
         }},
        {"--servers", [&](const std::string& v) { return (o.ServersFile = v, std::string()); }},
        {"--settings", [&](const std::string& v) { return (o.SettingsFile = v, std::string()); }},
        {"--shard",
         [&](const std::string& v) {
             const auto shard = ParseShard(v);
             if (!shard) {
                 return "--shard takes I/N with 1 <= I <= N (e.g. 2/3), not \"" + v + "\"";
             }
             o.Shard = *shard;
             return std::string();
         }},
        {"--auth-user", [&](const std::string& v) { return (o.AuthUser = v, std::string()); }},
        {"--auth-password-file",
         [&](const std::string& v) { return (o.AuthPasswordFile = v, std::string()); }},
        {"--tls-cert", [&](const std::string& v) { return (o.TlsCertFile = v, std::string()); }},
        {"--tls-key", [&](const std::string& v) { return (o.TlsKeyFile = v, std::string()); }},
        {"--deadlock-interval",
         [&](const std::string& v) {
             unsigned seconds = 0;
             const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
             if (v.empty() || ec != std::errc() || end != v.data() + v.size() || seconds > 86400) {
                 return "--deadlock-interval takes seconds from 0 to 86400, not \"" + v + "\"";
             }
             o.DeadlockIntervalSeconds = seconds;
             return std::string();
         }},
        {"--handshake-timeout",
         [&](const std::string& v) {
             double seconds = 0;
             const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
             if (v.empty() || ec != std::errc() || end != v.data() + v.size() ||
                 !(seconds >= 0.1) || seconds > 300) {
                 return "--handshake-timeout takes seconds from 0.1 to 300, not \"" + v + "\"";
             }
             o.HandshakeTimeoutMs = unsigned(seconds * 1000 + 0.5);
             return std::string();
         }},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (const std::size_t eq = name.find('=');
            name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        if (const auto flag = flags.find(name); flag != flags.end() && !inlineValue) {
            flag->second();
            continue;
        }
        const auto option = valued.find(name);
        if (option == valued.end()) {
            result.Error = "unknown option \"" + args[i] + "\" (see --help)";
            return result;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                result.Error = name + " needs a value";
                return result;
            }
            value = args[++i];
        }
        result.Error = option->second(value);
        if (!result.Error.empty()) {
            return result;
        }
    }
    if (o.AuthUser.empty() != o.AuthPasswordFile.empty()) {
        result.Error = "--auth-user and --auth-password-file go together";
    } else if (o.TlsCertFile.empty() != o.TlsKeyFile.empty()) {
        result.Error = "--tls-cert and --tls-key go together";
    }
    return result;
}
