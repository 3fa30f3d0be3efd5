// What the tool does differently on POSIX systems and on Windows.
#pragma once

#include <string>
#include <vector>

#include "qivma.h"

// The driver's entry: linked on POSIX; on Windows looked up in qivma.dll as a
// host application looks it up.
QivMainFunction DriverEntry();

bool StdoutIsTerminal();
void SleepMilliseconds(int milliseconds);

// The name of `device` as the host's 12-byte field can hold it; a link made
// for the purpose goes to *link, to be removed with RemoveLink.
std::string HostPortName(const std::string &device, std::string *link);
void RemoveLink(const std::string &link);

// Why `device` might not open, as far as the system can tell.
std::string DiagnosePort(const std::string &device);

// The built-in controller simulator: the stations it plays, the line's rate
// and format for its pacing. Sets *device to the port to open.
struct SimulatorLine {
    std::vector<std::string> stations;
    unsigned baud;
    int dataBits;
    char parity;  // N O E M S
    double stopBits;
};
bool StartSimulator(const SimulatorLine &line, std::string *device, std::string *error);
void StopSimulator();
