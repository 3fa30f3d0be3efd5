// The gateway's figures, printed (not a test): on a reference list of 200
// tags over two stations (gateway_200_tags.yaml) at 19200 bit/s against the
// paced simulator,
//   - one scan's time beside the line time of the frames its plan sends, and
//     beside one read per tag;
//   - the live station's scan time beside a dead one, and with both answering;
//   - the gateway's CPU time on each line's thread while it scans;
//   - Modbus reads served to 50 clients at once for 10 s: requests per second,
//     latency at p50 and p99.
//   qivma_gateway_bench [CONFIG] [--seconds N]
#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/kelpra.h"
#include "tools/fpsim/simulator.h"
#include "tools/gateway/config.h"
#include "tools/gateway/engine.h"
#include "tools/gateway/modbus_server.h"
#include "tools/gateway/tag_table.h"
#include "tools/hostkit/session.h"
#include "tools/hostkit/simulator_line.h"

extern char **environ;

namespace {

using namespace gateway;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::unique_ptr<fpsim::Simulator> PacedSimulator(const LineConfig &line,
                                                 const std::vector<std::string> &stations,
                                                 bool judgeLine = true) {
    fpsim::Options options;
    options.stations = stations;
    options.judgeLine = judgeLine;
    options.line = SimulatorLineFormat(line.settings);
    auto sim = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    if (!sim->Start(&error)) {
        fprintf(stderr, "the simulator did not start: %s\n", error.c_str());
        exit(1);
    }
    return sim;
}

// The CPU time so far of this process's threads named `prefix...`, in seconds.
double ThreadsCpu(const std::string &prefix) {
    double total = 0;
    DIR *tasks = opendir("/proc/self/task");
    while (dirent *task = tasks != nullptr ? readdir(tasks) : nullptr) {
        const std::string dir = std::string("/proc/self/task/") + task->d_name;
        std::string name;
        std::getline(std::ifstream(dir + "/comm"), name);
        if (name.rfind(prefix, 0) != 0)
            continue;
        std::string stat;
        std::getline(std::ifstream(dir + "/stat"), stat);
        // utime and stime: the 14th and 15th fields, after the name in parentheses.
        const char *after = strrchr(stat.c_str(), ')');
        unsigned long utime = 0, stime = 0;
        if (after != nullptr &&
            sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                   &stime) == 2)
            total += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    if (tasks != nullptr)
        closedir(tasks);
    return total;
}

// socat as a serial device server in raw TCP mode, carrying a loopback port
// onto the pseudo-terminal `pty`; its process id, its port in *port, and in
// *notices the pipe of its stderr, kept open while it runs.
pid_t DeviceServer(const std::string &pty, int *port, int *notices) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> args = {"socat", "-d", "-d", "TCP-LISTEN:0,bind=127.0.0.1,reuseaddr",
                                     "FILE:" + pty + ",raw,echo=0"};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "socat", &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    *notices = err[0];
    // Its notice of the port it listens on.
    const std::string notice = "listening on AF=2 127.0.0.1:";
    std::string said;
    char c;
    while (pid > 0 && said.find(notice) == std::string::npos && read(err[0], &c, 1) == 1)
        said += c;
    *port = 0;
    while (pid > 0 && read(err[0], &c, 1) == 1 && isdigit(static_cast<unsigned char>(c)))
        *port = *port * 10 + (c - '0');
    return pid;
}

struct ScanFigures {
    double passMs = 0;         // one pass over every block of the line
    double stationPassMs = 0;  // one pass over the first station's blocks
    double cpuPercent = 0;     // the line's thread, of one core
};

// Scans for `seconds` once the first pass is in; figures from the counters.
// With `overTcp`, through socat as a device server, whose serial side the
// simulator does not judge (the box's own settings).
ScanFigures Scan(const Config &config, const std::vector<std::string> &playing, double seconds,
                 bool overTcp = false) {
    const LineConfig &line = config.lines[0];
    auto sim = PacedSimulator(line, playing, !overTcp);
    int serverPort = 0, notices = -1;
    const pid_t server = overTcp ? DeviceServer(sim->DevicePath(), &serverPort, &notices) : -1;
    if (overTcp && (server <= 0 || serverPort == 0)) {
        fprintf(stderr, "socat did not start as a device server\n");
        exit(1);
    }
    TagTable table(config);
    Engine engine(config, table);
    std::string error;
    if (!engine.Plan(&error)) {
        fprintf(stderr, "%s\n", error.c_str());
        exit(1);
    }
    engine.Start({overTcp ? "tcp://127.0.0.1:" + std::to_string(serverPort) : sim->DevicePath()});
    while (table.Lines()[0].scanMs == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const size_t frames = engine.Plans()[0].frames.size();
    size_t firstStationFrames = 0;
    for (const FramePlan &frame : engine.Plans()[0].frames)
        firstStationFrames += frame.station == line.stations[0].station ? 1 : 0;
    const Counters lineBefore = table.Lines()[0].counters;
    const Counters stationBefore = table.Stations()[0].counters;
    const double cpuBefore = ThreadsCpu("line ");
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = Seconds(Clock::now() - start);
    const double cpu = ThreadsCpu("line ") - cpuBefore;
    const uint64_t lineReads = table.Lines()[0].counters.reads - lineBefore.reads;
    const uint64_t stationReads = table.Stations()[0].counters.reads - stationBefore.reads;
    engine.Stop();
    if (server > 0) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
        close(notices);
    }
    ScanFigures figures;
    figures.passMs = 1000 * elapsed / (static_cast<double>(lineReads) / frames);
    figures.stationPassMs =
        1000 * elapsed / (static_cast<double>(stationReads) / firstStationFrames);
    figures.cpuPercent = 100 * cpu / elapsed;
    return figures;
}

// One read per tag, as a host without block plans reads them.
double SingleReadsMs(const Config &config) {
    const LineConfig &line = config.lines[0];
    auto sim = PacedSimulator(line, {"01", "02"});
    LineOptions options;
    options.port = sim->DevicePath();
    options.settings = line.settings;
    options.timeoutMs = line.timeoutMs;
    Session session(options);
    std::string error;
    if (!session.Start(&error)) {
        fprintf(stderr, "%s\n", error.c_str());
        exit(1);
    }
    const Clock::time_point start = Clock::now();
    int failed = 0;
    for (const TagConfig &tag : config.tags)
        failed += session.Read(tag.parsed).status != QIV_STATUS_OK;
    const double ms = 1000 * Seconds(Clock::now() - start);
    if (failed != 0)
        printf("  (%d of the single reads failed)\n", failed);
    return ms;
}

struct ClientFigures {
    uint64_t requests = 0, failures = 0;
    uint64_t stale = 0;  // answered 0x0B: the scan fell behind and the values went stale
    double scanMs = 0;   // a pass of the line meanwhile
    double perSecond = 0, p50Ms = 0, p99Ms = 0;
};

ClientFigures ServeClients(Config config, int clients, double seconds) {
    config.modbus.port = 0;
    config.modbus.maxClients = clients + 8;
    auto sim = PacedSimulator(config.lines[0], {"01", "02"});
    TagTable table(config);
    Engine engine(config, table);
    std::string error;
    engine.Plan(&error);
    engine.Start({sim->DevicePath()});
    ModbusServer server(config, table, engine);
    if (!server.Start(&error)) {
        fprintf(stderr, "%s\n", error.c_str());
        exit(1);
    }
    while (table.Lines()[0].scanMs == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::atomic<bool> go{false};
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::atomic<uint64_t> failures{0}, stale{0};
    const Clock::time_point until =
        Clock::now() + std::chrono::milliseconds(200) +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            // Clients are on other machines at a site; here they share two
            // cores with the line and the simulator, below their priority.
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
            modbus_t *context = modbus_new_tcp("127.0.0.1", server.Port());
            if (context == nullptr || modbus_connect(context) != 0) {
                ++failures;
                return;
            }
            modbus_set_slave(context, 1 + c % 2);
            uint16_t registers[10];
            while (!go)
                std::this_thread::yield();
            while (Clock::now() < until) {
                const Clock::time_point sent = Clock::now();
                if (modbus_read_registers(context, 0, 10, registers) != 10) {
                    if (errno == EMBXGTAR)
                        ++stale;
                    else
                        ++failures;
                }
                latencies[static_cast<size_t>(c)].push_back(1000 * Seconds(Clock::now() - sent));
            }
            modbus_close(context);
            modbus_free(context);
        });
    }
    const Clock::time_point start = Clock::now();
    go = true;
    for (std::thread &t : threads)
        t.join();
    const double elapsed = Seconds(Clock::now() - start);
    const double scanMs = table.Lines()[0].scanMs;
    server.Stop();
    engine.Stop();
    std::vector<double> all;
    for (const auto &l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    ClientFigures figures;
    figures.requests = all.size();
    figures.failures = failures;
    figures.stale = stale;
    figures.scanMs = scanMs;
    figures.perSecond = static_cast<double>(all.size()) / elapsed;
    if (!all.empty()) {
        figures.p50Ms = all[all.size() / 2];
        figures.p99Ms = all[all.size() * 99 / 100];
    }
    return figures;
}

}  // namespace

int main(int argc, char **argv) {
    std::string file = GATEWAY_BENCH_CONFIG;
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = atof(argv[++i]);
        else if (strcmp(argv[i], "--help") == 0) {
            printf("qivma_gateway_bench [CONFIG] [--seconds N]: the gateway's figures\n");
            return 0;
        } else
            file = argv[i];
    }
    kelpra_set_echo(0);
    Config config;
    std::vector<std::string> errors;
    if (!LoadConfig(file, config, errors)) {
        for (const std::string &e : errors)
            fprintf(stderr, "%s\n", e.c_str());
        return 2;
    }
    TagTable planTable(config);
    Engine planner(config, planTable);
    std::string error;
    if (!planner.Plan(&error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const LinePlan &plan = planner.Plans()[0];
    const LineConfig &line = config.lines[0];
    printf("qivma-gateway benchmark: %zu tags over %zu stations, %s, against fpsim paced\n",
           config.tags.size(), line.stations.size(), LineSettingsText(line.settings).c_str());

    const ScanFigures both = Scan(config, {"01", "02"}, seconds);
    printf("\none scan: %zu frames\n", plan.frames.size());
    printf("  %-44s %8.1f ms\n", "line time of the plan's frames", plan.lineMs);
    printf("  %-44s %8.1f ms  (%.2f x the line time)\n", "measured, a pass over every frame",
           both.passMs, both.passMs / plan.lineMs);
    const double single = SingleReadsMs(config);
    printf("  %-44s %8.1f ms  (%.1f x the scan; line time %.1f ms)\n",
           ("one read per tag (" + std::to_string(plan.singleFrames) + " frames)").c_str(), single,
           single / both.passMs, plan.singleLineMs);
    printf("  %-44s %8.1f %%  of one core\n", "CPU of the line's thread while it scans",
           both.cpuPercent);
    const ScanFigures tcp = Scan(config, {"01", "02"}, seconds, true);
    printf("  %-44s %8.1f ms  (%.2f x the pass on the pseudo-terminal)\n",
           "a pass over TCP (socat as device server)", tcp.passMs, tcp.passMs / both.passMs);

    const ScanFigures dead = Scan(config, {"01"}, seconds);
    printf("\nstation %s's scan (its own frames):\n", line.stations[0].station.c_str());
    printf("  %-44s %8.1f ms per pass of the line\n", "both stations answering", both.passMs);
    printf("  %-44s %8.1f ms  (%.2f x the pass with both)\n",
           ("station " + line.stations[1].station + " dead (off scan after " +
            std::to_string(line.demoteAfter) + " failures)")
               .c_str(),
           dead.stationPassMs, dead.stationPassMs / both.passMs);

    const int clients = 50;
    const ClientFigures served = ServeClients(config, clients, seconds);
    printf("\nModbus TCP: %d clients at once for %.0f s, each reading 10 holding registers\n",
           clients, seconds);
    printf("  %-44s %8.0f /s  (%llu requests, %llu failed)\n", "requests served", served.perSecond,
           static_cast<unsigned long long>(served.requests),
           static_cast<unsigned long long>(served.failures));
    printf("  %-44s %8llu     (a pass of the line took %.0f ms meanwhile)\n",
           "of them 0x0B, the values stale", static_cast<unsigned long long>(served.stale),
           served.scanMs);
    printf("  %-44s %8.3f ms\n", "latency p50", served.p50Ms);
    printf("  %-44s %8.3f ms\n", "latency p99", served.p99Ms);
    return 0;
}
