// tdssim: a simulated SQL Server for the tests, benchmarks and demo of Tallyvane.
#include "BuiltinScenarios.h"
#include "ClientLog.h"
#include "ControlServer.h"
#include "DescriptorLimit.h"
#include "Editions.h"
#include "EventLoop.h"
#include "Instance.h"
#include "Options.h"
#include "Scenario.h"
#include "TlsEngine.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <vector>

using namespace tdssim;

int main(int argc, char** argv) {
    Options opts;
    try {
        opts = parseOptions(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "tdssim: " << e.what() << "\n\n" << usageText();
        return 2;
    }
    if (opts.help) {
        std::cout << usageText();
        return 0;
    }
    if (opts.version) {
        std::cout << "tdssim " << TDSSIM_VERSION << '\n';
        return 0;
    }
    if (!opts.printScenario.empty()) {
        auto text = builtinScenarioText(opts.printScenario);
        if (!text) {
            std::cerr << "tdssim: no built-in scenario '" << opts.printScenario << "'\n";
            return 2;
        }
        std::cout << *text;
        return 0;
    }
    try {
        Scenario scenario = loadScenario(opts.scenario);
        if (opts.engineEdition) {
            scenario.engineEdition = *opts.engineEdition;
        }
        scenario.rds = scenario.rds || opts.rds;
        prepareEdition(scenario);
        ClientLog log(opts.logPath);
        if (!log.ok()) {
            std::cerr << "tdssim: cannot open log file " << opts.logPath << "\n";
            return 1;
        }
        std::unique_ptr<TlsContext> tls;
        InstanceSetup setup;
        setup.encryption = opts.encryption;
        setup.loginTimeout = opts.loginTimeout;
        if (opts.encryption != EncryptionMode::Off) {
            tls = std::make_unique<TlsContext>(opts.certFile, opts.keyFile);
            setup.tls = tls.get();
            std::cerr << "tdssim: encryption " << encryptionModeName(opts.encryption)
                      << ", certificate " << tls->description() << "\n";
        }
        raiseDescriptorLimit(opts.instances);
        EventLoop loop;
        std::vector<std::unique_ptr<Instance>> instances;
        for (int i = 0; i < opts.instances; ++i) {
            int port = opts.port == 0 ? 0 : opts.port + i;
            instances.push_back(std::make_unique<Instance>(loop, log, scenario, i, port, setup));
            instances.back()->open();
        }
        std::unique_ptr<ControlServer> control;
        if (opts.controlPort) {
            control = std::make_unique<ControlServer>(loop, instances, *opts.controlPort);
            std::printf("control on 127.0.0.1:%d\n", control->port());
        }
        for (const auto& inst : instances) {
            std::printf("listening on 127.0.0.1:%d\n", inst->port());
        }
        std::fflush(stdout);
        loop.run();
        control.reset();
        instances.clear();
    } catch (const std::exception& e) {
        std::cerr << "tdssim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
