// qivma-gateway: serves the tags of FP controllers on serial lines to Modbus
// TCP clients, scanning each line on a thread of its own through QivMain.
#include <signal.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include <systemd/sd-daemon.h>
#include <CLI/CLI.hpp>

#include "host/kelpra.h"
#include "qivma_version.h"
#include "tools/fpsim/simulator.h"
#include "tools/gateway/config.h"
#include "tools/gateway/engine.h"
#include "tools/gateway/log.h"
#include "tools/gateway/modbus_server.h"
#include "tools/gateway/mqtt_client.h"
#include "tools/gateway/status_http.h"
#include "tools/gateway/tag_table.h"
#include "tools/hostkit/simulator_line.h"

namespace gateway {
// The example configuration, as installed in /etc/qivma (example_config.cpp).
extern const char kExampleConfig[];
}  // namespace gateway

namespace {

using namespace gateway;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Where --sim listens unless told otherwise: 502 needs root.
constexpr int kSimPort = 1502;

struct Arguments {
    std::string config;
    bool check = false;
    bool sim = false;
    bool verbose = false;
    std::string listen;
    int port = -1;
};

void PrintPlan(const Config &config, const Engine &engine) {
    printf("%s: %zu line%s, %zu tags; Modbus TCP on %s:%d, 32-bit values %s\n", config.file.c_str(),
           config.lines.size(), config.lines.size() == 1 ? "" : "s", config.tags.size(),
           config.modbus.listen.c_str(), config.modbus.port,
           config.modbus.wordOrder == WordOrder::kLowFirst ? "low word first (CDAB)"
                                                           : "high word first (ABCD)");
    for (size_t i = 0; i < config.lines.size(); ++i) {
        const LineConfig &line = config.lines[i];
        const LinePlan &plan = engine.Plans()[i];
        printf("line %s: %s at %s, time-out %d ms, stations", line.name.c_str(), line.port.c_str(),
               LineSettingsText(line.settings).c_str(), line.timeoutMs);
        for (const StationConfig &station : line.stations)
            printf(" %s (unit %d)", station.station.c_str(), station.unit);
        printf("\n");
        for (const FramePlan &frame : plan.frames) {
            printf(
                "  station %s  %-16s %2zu words, %3zu tags  %4zu characters %7.1f ms  every "
                "%d ms\n",
                frame.station.c_str(), frame.request.c_str(), frame.words, frame.tags,
                frame.characters, frame.lineMs, frame.rateMs);
        }
        printf(
            "  one scan: %zu frames, %.1f ms on the line (a read per tag: %zu frames, %.1f "
            "ms)\n",
            plan.frames.size(), plan.lineMs, plan.singleFrames, plan.singleLineMs);
    }
}

// One simulator per line, playing its stations at its settings.
bool StartSimulators(const Config &config, std::vector<std::unique_ptr<fpsim::Simulator>> &sims,
                     std::vector<std::string> &ports) {
    for (const LineConfig &line : config.lines) {
        fpsim::Options options;
        options.stations.clear();
        for (const StationConfig &station : line.stations)
            options.stations.push_back(station.station);
        options.line = SimulatorLineFormat(line.settings);
        // The example serves D200-D203 as two floats; the simulator's pattern
        // is no float, so they hold 21.5 and 22.25, low word first.
        options.assignments = {"DT200=0", "DT201=0x41AC", "DT202=0", "DT203=0x41B2"};
        sims.push_back(std::make_unique<fpsim::Simulator>(options));
        std::string error;
        if (!sims.back()->Start(&error)) {
            Log("the simulator of line " + line.name + " did not start: " + error);
            return false;
        }
        ports.push_back(sims.back()->DevicePath());
        Log("line " + line.name + ": the built-in simulator plays its stations on " + ports.back());
    }
    return true;
}

int Run(const Arguments &arguments) {
    SetVerbose(arguments.verbose);
    kelpra_set_echo(arguments.verbose ? 1 : 0);
    Config config;
    std::vector<std::string> errors;
    const bool loaded = arguments.config.empty()
                            ? ParseConfig(kExampleConfig, "example", config, errors)
                            : LoadConfig(arguments.config, config, errors);
    if (!loaded) {
        for (const std::string &error : errors)
            fprintf(stderr, "%s\n", error.c_str());
        fprintf(stderr, "qivma-gateway: %s has %zu error%s; nothing started\n", config.file.c_str(),
                errors.size(), errors.size() == 1 ? "" : "s");
        return kExitUsage;
    }
    if (!arguments.listen.empty())
        config.modbus.listen = arguments.listen;
    if (arguments.port >= 0)
        config.modbus.port = arguments.port;
    else if (arguments.sim)
        config.modbus.port = kSimPort;

    TagTable table(config);
    Engine engine(config, table);
    std::string error;
    if (!engine.Plan(&error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return kExitUsage;
    }
    if (arguments.check) {
        PrintPlan(config, engine);
        return 0;
    }
    // Only the service itself may be able to read the password's file.
    if (!ReadPasswordFile(config.mqtt, &error)) {
        Log(error);
        return kExitUsage;
    }

    // SIGTERM and SIGINT are taken by this thread alone, in sigwait below:
    // every thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ModbusServer server(config, table, engine);
    if (!server.Start(&error)) {
        Log(error);
        return kExitFailed;
    }
    Log("Modbus TCP on " + config.modbus.listen + ":" + std::to_string(server.Port()) +
        (config.modbus.listen == "127.0.0.1"
             ? ""
             : std::string(" (Modbus has no authentication: every client that reaches this "
                           "address may ") +
                   (config.modbus.writeAllow ? "read; those of write_allow may write)"
                                             : "write; write_allow can narrow that)")));
    MqttClient mqtt(config, table, engine);
    StatusHttp status(config, table);
    if (!mqtt.Start(&error) || !status.Start(&error)) {
        Log(error);
        return kExitFailed;
    }
    std::vector<std::unique_ptr<fpsim::Simulator>> simulators;
    std::vector<std::string> ports;
    if (arguments.sim && !StartSimulators(config, simulators, ports))
        return kExitFailed;
    engine.Start(ports);
    const std::string onScan = std::to_string(config.lines.size()) + " line" +
                               (config.lines.size() == 1 ? "" : "s") + ", " +
                               std::to_string(config.tags.size()) + " tags on scan";
    Log(onScan);
    // Under systemd (Type=notify) the start succeeds only now: the
    // configuration is taken, the listeners are open, and each line's port is
    // open or being tried again. Outside systemd this does nothing.
    sd_notify(0, ("READY=1\nSTATUS=" + onScan).c_str());

    int signal = 0;
    sigwait(&stopSignals, &signal);
    Log(std::string(signal == SIGTERM ? "SIGTERM" : "SIGINT") + ": stopping");
    sd_notify(0, "STOPPING=1");
    server.Stop();
    mqtt.Stop();
    status.Stop();
    engine.Stop();
    simulators.clear();
    Log("stopped; every port closed");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    Arguments arguments;
    CLI::App app(
        "qivma-gateway: serves the tags of FP controllers on serial lines to Modbus TCP "
        "clients.\nExit status: 0 stopped by SIGTERM or SIGINT (or --check passed), 1 it could "
        "not start, 2 the configuration or the command line cannot be followed.",
        "qivma-gateway");
    app.add_option("-c,--config", arguments.config, "the configuration (YAML)");
    app.add_flag("--check", arguments.check,
                 "check the configuration and print the frames of one scan of each line, and "
                 "their time on the line; start nothing");
    app.add_flag("--sim", arguments.sim,
                 "run against the built-in controller simulator, one per line, instead of the "
                 "lines' ports; without --config, the example configuration; listens on port " +
                     std::to_string(kSimPort) + " unless --port is given");
    app.add_option("--listen", arguments.listen, "the address to listen on (the configuration's)");
    app.add_option("--port", arguments.port, "the TCP port (the configuration's; 0: any free one)")
        ->check(CLI::Range(0, 65535));
    app.add_flag("-v,--verbose", arguments.verbose, "the driver's own messages on stderr too");
    app.set_version_flag("--version", "qivma-gateway " QIVMA_VERSION_STRING);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }
    if (arguments.config.empty() && !arguments.sim) {
        fprintf(stderr,
                "qivma-gateway: give --config FILE (or --sim for the example against the "
                "built-in simulator)\n");
        return kExitUsage;
    }
    return Run(arguments);
}
