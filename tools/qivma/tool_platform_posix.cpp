#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "tools/fpsim/simulator.h"
#include "tools/hostkit/simulator_line.h"
#include "tools/qivma/tool_platform.h"

namespace {

std::unique_ptr<fpsim::Simulator> g_simulator;

bool WindowSize(struct winsize &size) {
    return isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
}

}  // namespace

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

namespace {

bool TermTakesSequences() {
    const char *term = getenv("TERM");
    return term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0;
}

}  // namespace

bool StdoutTakesSequences() {
    return StdoutIsTerminal() && TermTakesSequences();
}

bool StderrTakesSequences() {
    return StderrIsTerminal() && TermTakesSequences();
}

int TerminalColumns() {
    struct winsize size;
    return WindowSize(size) ? size.ws_col : 0;
}

int TerminalRows() {
    struct winsize size;
    return WindowSize(size) ? size.ws_row : 0;
}

void SleepMilliseconds(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void EnableTerminalSequences() {}

const char *ExamplePort() {
    return "/dev/ttyUSB0";
}

bool HasSimulator() {
    return true;
}

// The simulator's own list, with what each kind takes, as it refuses a name
// it does not know; the bare names if that list should leave one out.
std::string SimulatorFaultNames() {
    fpsim::Fault fault;
    std::string refusal;
    fpsim::ParseFault("?", fault, &refusal);
    const size_t open = refusal.find('('), close = refusal.rfind(')');
    std::string listed =
        open != std::string::npos && close > open ? refusal.substr(open + 1, close - open - 1) : "";
    std::string names;
    bool complete = true;
    for (const fpsim::FaultKind kind : fpsim::AllFaultKinds()) {
        const std::string name = fpsim::FaultKindName(kind);
        names += (names.empty() ? "" : ", ") + name;
        complete = complete && listed.find(name) != std::string::npos;
    }
    return complete ? listed : names;
}

bool CheckSimulatorFault(const std::string &faultText, std::string *error) {
    fpsim::Fault fault;
    return fpsim::ParseFault(faultText, fault, error);
}

bool CheckSimulatorFaultEvery(const std::string &text, int *every, std::string *error) {
    const size_t colon = text.find(':');
    char *end = nullptr;
    const long n = colon == std::string::npos ? 0 : strtol(text.c_str(), &end, 10);
    if (colon == std::string::npos || end != text.c_str() + colon || n < 1 || n > 1000000) {
        *error =
            "takes N:KIND, a fault of every Nth answer (N from 1 to 1000000), e.g. "
            "1:late:60, not '" +
            text + "'";
        return false;
    }
    *every = static_cast<int>(n);
    return CheckSimulatorFault(text.substr(colon + 1), error);
}

bool StartSimulator(const SimulatorLine &line, std::string *device, std::string *error) {
    fpsim::Options options;
    options.stations = line.stations;
    options.line = SimulatorLineFormat(line.settings);
    g_simulator = std::make_unique<fpsim::Simulator>(options);
    for (const std::string &faultText : line.faults) {
        fpsim::Fault fault;
        if (!fpsim::ParseFault(faultText, fault, error))
            return false;
        g_simulator->FaultOnce(fault);
    }
    if (!line.faultEvery.empty()) {
        int every = 0;
        fpsim::Fault fault;
        if (!CheckSimulatorFaultEvery(line.faultEvery, &every, error) ||
            !fpsim::ParseFault(line.faultEvery.substr(line.faultEvery.find(':') + 1), fault, error))
            return false;
        g_simulator->FaultEvery(every, fault);
    }
    if (!g_simulator->Start(error))
        return false;
    *device = g_simulator->PortPath();
    return true;
}

void StopSimulator() {
    g_simulator.reset();
}
