// fpsim: MEWTOCOL-COM controllers on a pseudo-terminal (or a serial device,
// or on Windows a COM port), for the driver's tests and for people without a
// controller at hand.
#include <stdio.h>

#include <string>
#include <vector>

#include "qivma_version.h"
#include "tools/fpsim/command_line.h"
#include "tools/fpsim/simulator.h"
#include "tools/fpsim/stop_request.h"

namespace {

// "on /tmp/plc0 (a link to /dev/pts/3)": the path that the driver opens and,
// for a link, what it leads to.
std::string ServedPath(const fpsim::Simulator &simulator) {
    if (simulator.TcpPort() != 0)
        return simulator.PortPath() + " (an Ethernet unit, one master at a time)";
    if (simulator.DevicePath().empty())
        return simulator.PortPath() + " (a serial device)";
    if (simulator.PortPath() != simulator.DevicePath())
        return simulator.PortPath() + " (a link to " + simulator.DevicePath() + ")";
    return simulator.PortPath();
}

void PrintStartUp(const fpsim::Simulator &simulator, const fpsim::Options &options) {
    std::string stations;
    for (const std::string &station : options.stations)
        stations += " " + station;
    printf("fpsim: station%s on %s, %s, %s profile", stations.c_str(),
           ServedPath(simulator).c_str(), options.line.Describe().c_str(),
           options.bus.profile == fpsim::Profile::kLarge ? "large" : "small");
    if (options.answerDelayMs > 0)
        printf(", answers %d ms late", options.answerDelayMs);
    if (options.chatterGapMs > 0)
        printf(", noise every %d ms%s", options.chatterGapMs,
               options.chatterAnswers ? "" : ", no answers");
    printf("\n");
    fflush(stdout);
}

void Schedule(fpsim::Simulator &simulator, const fpsim::CommandLine &line) {
    for (const fpsim::Fault &fault : line.onceFaults)
        simulator.FaultOnce(fault);
    if (line.everyN > 0)
        simulator.FaultEvery(line.everyN, line.everyFault);
    if (line.probability > 0) {
        std::vector<fpsim::Fault> choices;
        for (const fpsim::FaultKind kind : fpsim::AllFaultKinds()) {
            fpsim::Fault fault;
            fault.kind = kind;
            choices.push_back(fault);
        }
        simulator.FaultRandomly(line.probability, line.seed, choices);
    }
}

}  // namespace

int main(int argc, char **argv) {
    fpsim::CommandLine line;
    fpsim::CommandLineError refusal;
    if (!fpsim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line, refusal)) {
        // "FILE:LINE: what" for a line of an --init file, as compilers report
        // theirs, so that an editor can go to each.
        const auto report = [](const std::string &where, const std::string &what) {
            fprintf(stderr, "%s: %s\n", where.empty() ? "fpsim" : where.c_str(), what.c_str());
        };
        report(refusal.where, refusal.what);
        for (const fpsim::CommandLineError::Later &later : refusal.later)
            report(later.where, later.what);
        if (refusal.where.empty() && refusal.later.empty())
            fprintf(stderr, "(fpsim --help lists the options)\n");
        return 2;
    }
    if (line.help) {
        printf("%s", line.helpText.c_str());
        return 0;
    }
    if (line.version) {
        printf("fpsim %s\n", QIVMA_VERSION_STRING);
        return 0;
    }
    // A person at the console hears why a master is not answered.
    line.options.reportLine = true;

    std::string error;
    if (!fpsim::PrepareForStopRequests(&error)) {
        fprintf(stderr, "fpsim: %s\n", error.c_str());
        return 1;
    }
    fpsim::Simulator simulator(line.options);
    Schedule(simulator, line);
    if (!simulator.Start(&error)) {
        fprintf(stderr, "fpsim: %s\n", error.c_str());
        return 1;
    }
    PrintStartUp(simulator, line.options);

    const std::string request = fpsim::AwaitStopRequest();
    simulator.Stop();
    printf("fpsim: stopped (%s)\n", request.c_str());
    fflush(stdout);
    fpsim::ConfirmStopped();
    return 0;
}
