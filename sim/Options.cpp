#include "Options.h"

#include "TextUtil.h"

#include <stdexcept>

namespace tdssim {

namespace {

int portValue(const std::string& opt, const std::string& v) {
    long long n = 0;
    if (!parseInteger(v, n) || n < 0 || n > 65535) {
        throw std::invalid_argument(opt + " needs a port number from 0 to 65535, not '" + v + "'");
    }
    return static_cast<int>(n);
}

} // namespace

const char* usageText() {
    return "Usage: tdssim --port PORT --scenario NAME|FILE [--instances N] [--control PORT]\n"
           "              [--log FILE] [--encryption off|login|on|required]\n"
           "              [--cert FILE --key FILE] [--login-timeout SECONDS]\n"
           "              [--engine-edition N] [--rds]\n"
           "       tdssim --print-scenario NAME\n"
           "\n"
           "A simulated Microsoft SQL Server for tests and demos: speaks TDS 7.1 to 7.4 on\n"
           "127.0.0.1, answers the process query, IS_SRVROLEMEMBER, DBCC INPUTBUFFER and KILL,\n"
           "and plays a scenario of sessions that block each other.\n"
           "\n"
           "  --port PORT         first port (default 1433); instance i listens on PORT+i.\n"
           "                      0: every instance gets a free port of its own.\n"
           "  --scenario S        demo (default), edge, gen:sessions=N,blocked=F,depth=D,seed=S,\n"
           "                      or the path of a scenario file (format in sim/README.md).\n"
           "  --instances N       number of servers, each with its own state (default 1,\n"
           "                      at most 10000).\n"
           "  --control PORT      line-command control port on 127.0.0.1 (0: a free port).\n"
           "  --log FILE          append what clients do to FILE, one JSON object a line\n"
           "                      (- for standard error).\n"
           "  --encryption MODE   off (default): no TLS offered; login: TLS as the client asks\n"
           "                      (the login only, for clients that ask for no more); on:\n"
           "                      everything encrypted for every client that can; required:\n"
           "                      everything encrypted, clients that cannot are refused.\n"
           "  --cert F --key F    the server's certificate (chain) and key, PEM. Without them a\n"
           "                      self-signed certificate for localhost/127.0.0.1 is made.\n"
           "  --login-timeout S   drop a client that has not logged in after S seconds\n"
           "                      (default 60; 0: never).\n"
           "  --engine-edition N  SERVERPROPERTY('EngineEdition'): 1 to 4 a SQL Server (default "
           "3),\n"
           "                      5 Azure SQL Database, 8 Azure SQL Managed Instance.\n"
           "  --rds               an Amazon RDS for SQL Server: an rdsadmin database, and the\n"
           "                      scenario's sysadmin logins are master logins without sysadmin.\n"
           "  --print-scenario S  print the text of a built-in scenario and exit.\n"
           "  --version           print the version and exit.\n"
           "  --help              this text.\n"
           "\n"
           "Once ready it prints \"control on 127.0.0.1:PORT\" (with --control) and then one line\n"
           "\"listening on 127.0.0.1:PORT\" per instance. SIGINT or SIGTERM stops it.\n"
           "Every built-in scenario has the logins sa / Sim-Admin-1 (sysadmin) and\n"
           "viewer / Sim-View-1.\n";
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        std::size_t eq = a.find('=');
        bool inlineValue = a.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
        }
        auto next = [&]() -> std::string {
            if (inlineValue) {
                return value;
            }
            if (i + 1 >= argc) {
                throw std::invalid_argument(a + " needs a value");
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--port") {
            o.port = portValue(a, next());
        } else if (a == "--scenario") {
            o.scenario = next();
        } else if (a == "--instances") {
            std::string v = next();
            long long n = 0;
            if (!parseInteger(v, n) || n < 1 || n > 10000) {
                throw std::invalid_argument("--instances needs a number from 1 to 10000");
            }
            o.instances = static_cast<int>(n);
        } else if (a == "--control") {
            o.controlPort = portValue(a, next());
        } else if (a == "--log") {
            o.logPath = next();
        } else if (a == "--encryption") {
            std::string v = next();
            std::optional<EncryptionMode> mode = parseEncryptionMode(v);
            if (!mode) {
                throw std::invalid_argument("--encryption needs off, login, on or required, not '" +
                                            v + "'");
            }
            o.encryption = *mode;
        } else if (a == "--cert") {
            o.certFile = next();
        } else if (a == "--key") {
            o.keyFile = next();
        } else if (a == "--login-timeout") {
            std::string v = next();
            double seconds = -1;
            try {
                std::size_t used = 0;
                seconds = std::stod(v, &used);
                if (used != v.size()) {
                    seconds = -1;
                }
            } catch (const std::exception&) {
                seconds = -1;
            }
            if (!(seconds >= 0 && seconds <= 86400)) {
                throw std::invalid_argument(
                    "--login-timeout needs a number of seconds from 0 to 86400, not '" + v + "'");
            }
            o.loginTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        } else if (a == "--engine-edition") {
            std::string v = next();
            long long n = 0;
            if (!parseInteger(v, n) || !((n >= 1 && n <= 5) || n == 8)) {
                throw std::invalid_argument("--engine-edition needs 1, 2, 3, 4, 5 or 8, not '" + v +
                                            "'");
            }
            o.engineEdition = static_cast<int>(n);
        } else if (a == "--rds") {
            o.rds = true;
        } else if (a == "--print-scenario") {
            o.printScenario = next();
        } else {
            throw std::invalid_argument("unknown option " + a);
        }
    }
    if (o.certFile.empty() != o.keyFile.empty()) {
        throw std::invalid_argument("--cert and --key go together");
    }
    if (o.port != 0 && o.port + o.instances - 1 > 65535) {
        throw std::invalid_argument("--port plus --instances runs past port 65535");
    }
    return o;
}

} // namespace tdssim
