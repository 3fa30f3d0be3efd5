// What the tool does differently on POSIX systems and on Windows.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "qivma.h"
#include "tools/hostkit/host_platform.h"

bool StdoutIsTerminal();
bool StderrIsTerminal();
// A terminal that takes escape sequences (to move the cursor, to clear a
// line): not a file or a pipe, and not TERM=dumb.
bool StdoutTakesSequences();
bool StderrTakesSequences();
// The terminal's size in characters; 0 when stdout is no terminal.
int TerminalColumns();
int TerminalRows();
void SleepMilliseconds(int milliseconds);
// Turns the terminal's escape sequences on where they are not by default.
void EnableTerminalSequences();

// A serial port's name as people write it on this system, for help texts.
const char *ExamplePort();

// Whether this build has the built-in controller simulator. Without it,
// --sim means fpsim.exe at the far end of the COM port that --sim-port names.
bool HasSimulator();
// The simulator's faults as --sim-fault takes them ("no-answer, late[:MS],
// ..."), or "" without a built-in simulator.
std::string SimulatorFaultNames();
// false with the accepted kinds when `faultText` names no fault of the simulator.
bool CheckSimulatorFault(const std::string &faultText, std::string *error);
// The same for "N:KIND", a fault of every Nth answer; N goes to *every.
bool CheckSimulatorFaultEvery(const std::string &text, int *every, std::string *error);

// The built-in controller simulator: the stations it plays, the line's rate
// and format for its pacing, and faults for its first answers. Sets *device
// to the port to open. Without a built-in simulator, the port is `port`,
// whose far end fpsim.exe serves.
struct SimulatorLine {
    std::string port;
    std::vector<std::string> stations;
    std::vector<std::string> faults;
    std::string faultEvery;  // "N:KIND", or empty
    SerialLineSettings settings;
};
bool StartSimulator(const SimulatorLine &line, std::string *device, std::string *error);
void StopSimulator();
