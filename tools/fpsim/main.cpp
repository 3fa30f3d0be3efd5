// fpsim: MEWTOCOL-COM controllers on a pseudo-terminal (or a serial device),
// for the driver's tests and for people without a controller at hand.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>

#include "tools/fpsim/simulator.h"

namespace {

const char kHelp[] =
    "usage: fpsim [OPTIONS]\n"
    "\n"
    "Simulates FP3/FP5/FP10-class controllers answering MEWTOCOL-COM on a serial\n"
    "line. By default it creates a pseudo-terminal and prints the path that the\n"
    "driver opens; it runs until interrupted (Ctrl-C, SIGTERM).\n"
    "\n"
    "line:\n"
    "  --link PATH            publish the driver's side as a symbolic link PATH\n"
    "  --device PATH          serve an existing serial device instead\n"
    "  --baud N               pace every character at N bit/s (default: no pacing)\n"
    "  --data-bits N          data bits per character, for the pacing (default 8)\n"
    "  --parity P             none|odd|even|mark|space (default odd)\n"
    "  --stop-bits S          1|1.5|2 (default 1)\n"
    "  --delay MS             scan time before each answer (default 2)\n"
    "  --answer-delay MS      delay every answer by MS more; requests that come\n"
    "                         meanwhile are executed on arrival and answered in turn\n"
    "  --chatter GAP[:silent] a noise byte '~' every GAP ms between answers;\n"
    "                         with :silent no station answers at all\n"
    "\n"
    "controllers:\n"
    "  --station NN           a station on the line, two characters (repeat for\n"
    "                         several; default 01)\n"
    "  --profile large|small  FP10-class (default) or FP3-class memory bounds\n"
    "  --no-ee                the first station does not answer station EE\n"
    "  --x-write-error 60|61  the error a write to the inputs X gets (default 61)\n"
    "  --zero                 start with zeroed memory instead of the pattern\n"
    "                         (DT n = n, FL n = n+0x4000, SV n = 100+n, EV n = n,\n"
    "                         contact words X/Y/R/L/T n = 0x1000/2000/3000/4000/5000+n)\n"
    "  --set [NN:]AREA N=V    set a word at start: DT100=1234, FL7=0x10, SV5=-1, R3=0xFFFF\n"
    "                         (areas DT D FL F SV EV X Y R L T C); NN: one station only\n"
    "  --init FILE            a file of such assignments, one per line (# comments)\n"
    "\n"
    "faults (KIND: no-answer, late[:MS], truncated[:N], corrupt, bad-bcc,\n"
    "        wrong-station, error[:CODE], stray[:TEXT], double[:GAP];\n"
    "        double sends the answer twice, GAP ms (default 0) apart):\n"
    "  --fault KIND           fault the next answer (repeat to queue more)\n"
    "  --fault-every N:KIND   fault every Nth answer\n"
    "  --fault-random P:SEED  fault answers with probability P, every kind in turn\n"
    "\n"
    "  --verbose              print every frame received and sent\n"
    "  --help                 this text\n";

[[noreturn]] void Usage(const std::string &problem) {
    fprintf(stderr, "fpsim: %s\n(fpsim --help lists the options)\n", problem.c_str());
    exit(2);
}

int ParseNumber(const char *text, const char *option) {
    char *end = nullptr;
    const long value = strtol(text, &end, 10);
    if (*end != '\0' || end == text || value > 10000000) {
        Usage(std::string(option) + " takes a number, not '" + text + "'");
    }
    if (value < 0) {
        Usage(std::string(option) + " cannot be negative ('" + text + "')");
    }
    return static_cast<int>(value);
}

char ParseParity(const std::string &text) {
    if (text == "none")
        return 'N';
    if (text == "odd")
        return 'O';
    if (text == "even")
        return 'E';
    if (text == "mark")
        return 'M';
    if (text == "space")
        return 'S';
    Usage("--parity takes none, odd, even, mark or space");
}

fpsim::Fault ParseFaultOrExit(const std::string &text) {
    fpsim::Fault fault;
    std::string error;
    if (!fpsim::ParseFault(text, fault, &error)) {
        Usage(error);
    }
    return fault;
}

void ReadInitFile(const std::string &path, fpsim::Options &options) {
    std::ifstream file(path);
    if (!file) {
        Usage("cannot read " + path);
    }
    std::string line;
    while (std::getline(file, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line.erase(0, line.find_first_not_of(" \t\r"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (!line.empty())
            options.assignments.push_back(line);
    }
}

}  // namespace

int main(int argc, char **argv) {
    fpsim::Options options;
    bool stationsGiven = false;
    std::vector<fpsim::Fault> onceFaults;
    int everyN = 0;
    fpsim::Fault everyFault;
    double probability = 0;
    unsigned seed = 1;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            printf("%s", kHelp);
            return 0;
        } else if (arg == "--link") {
            options.linkPath = value();
        } else if (arg == "--device") {
            options.devicePath = value();
        } else if (arg == "--baud") {
            options.line.baud = static_cast<unsigned>(ParseNumber(value().c_str(), "--baud"));
        } else if (arg == "--data-bits") {
            options.line.dataBits = ParseNumber(value().c_str(), "--data-bits");
            if (options.line.dataBits < 5 || options.line.dataBits > 8)
                Usage("--data-bits: 5 to 8");
        } else if (arg == "--parity") {
            options.line.parity = ParseParity(value());
        } else if (arg == "--stop-bits") {
            const std::string bits = value();
            if (bits != "1" && bits != "1.5" && bits != "2")
                Usage("--stop-bits takes 1, 1.5 or 2");
            options.line.stopBits = atof(bits.c_str());
        } else if (arg == "--delay") {
            options.scanDelayMs = ParseNumber(value().c_str(), "--delay");
        } else if (arg == "--answer-delay") {
            options.answerDelayMs = ParseNumber(value().c_str(), "--answer-delay");
        } else if (arg == "--chatter") {
            const std::string text = value();
            const size_t colon = text.find(':');
            if (colon != std::string::npos && text.substr(colon + 1) != "silent")
                Usage("--chatter takes GAP or GAP:silent, not '" + text + "'");
            options.chatterGapMs = ParseNumber(text.substr(0, colon).c_str(), "--chatter");
            options.chatterAnswers = colon == std::string::npos;
        } else if (arg == "--station") {
            const std::string station = value();
            if (station.size() != 2)
                Usage("a station is two characters, e.g. 01");
            if (!stationsGiven)
                options.stations.clear();
            stationsGiven = true;
            options.stations.push_back(station);
        } else if (arg == "--profile") {
            const std::string profile = value();
            if (profile != "large" && profile != "small")
                Usage("--profile takes large or small");
            options.bus.profile =
                profile == "large" ? fpsim::Profile::kLarge : fpsim::Profile::kSmall;
        } else if (arg == "--no-ee") {
            options.bus.answerEE = false;
        } else if (arg == "--x-write-error") {
            options.bus.inputWriteError = ParseNumber(value().c_str(), "--x-write-error");
            if (options.bus.inputWriteError != 60 && options.bus.inputWriteError != 61) {
                Usage("--x-write-error takes 60 or 61");
            }
        } else if (arg == "--zero") {
            options.zeroMemory = true;
        } else if (arg == "--set") {
            options.assignments.push_back(value());
        } else if (arg == "--init") {
            ReadInitFile(value(), options);
        } else if (arg == "--fault") {
            onceFaults.push_back(ParseFaultOrExit(value()));
        } else if (arg == "--fault-every") {
            const std::string text = value();
            const size_t colon = text.find(':');
            if (colon == std::string::npos)
                Usage("--fault-every takes N:KIND");
            everyN = ParseNumber(text.substr(0, colon).c_str(), "--fault-every");
            everyFault = ParseFaultOrExit(text.substr(colon + 1));
        } else if (arg == "--fault-random") {
            const std::string text = value();
            const size_t colon = text.find(':');
            probability = atof(text.substr(0, colon).c_str());
            if (probability <= 0 || probability > 1)
                Usage("--fault-random takes P:SEED, 0 < P <= 1");
            if (colon != std::string::npos) {
                seed = static_cast<unsigned>(ParseNumber(text.substr(colon + 1).c_str(), "seed"));
            }
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else {
            Usage("unknown option '" + arg + "'");
        }
    }

    // Stop on SIGINT and SIGTERM: block them here so that every thread leaves
    // them to sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    fpsim::Simulator simulator(options);
    for (const fpsim::Fault &fault : onceFaults)
        simulator.FaultOnce(fault);
    if (everyN > 0)
        simulator.FaultEvery(everyN, everyFault);
    if (probability > 0) {
        std::vector<fpsim::Fault> choices;
        for (const fpsim::FaultKind kind : fpsim::AllFaultKinds()) {
            fpsim::Fault fault;
            fault.kind = kind;
            choices.push_back(fault);
        }
        simulator.FaultRandomly(probability, seed, choices);
    }
    std::string error;
    if (!simulator.Start(&error)) {
        fprintf(stderr, "fpsim: %s\n", error.c_str());
        return 1;
    }
    std::string stations;
    for (const std::string &station : options.stations)
        stations += " " + station;
    printf("fpsim: station%s on %s", stations.c_str(), simulator.PortPath().c_str());
    if (!simulator.DevicePath().empty() && simulator.DevicePath() != simulator.PortPath()) {
        printf(" (%s)", simulator.DevicePath().c_str());
    }
    printf(", %s, %s profile", options.line.Describe().c_str(),
           options.bus.profile == fpsim::Profile::kLarge ? "large" : "small");
    if (options.answerDelayMs > 0)
        printf(", answers %d ms late", options.answerDelayMs);
    if (options.chatterGapMs > 0)
        printf(", noise every %d ms%s", options.chatterGapMs,
               options.chatterAnswers ? "" : ", no answers");
    printf("\n");
    fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    simulator.Stop();
    printf("fpsim: stopped (%s)\n", strsignal(signal));
    return 0;
}
