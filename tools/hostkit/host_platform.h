// What a host program reaches the driver and the ports through, on POSIX
// systems and on Windows.
#pragma once

#include <stdint.h>

#include <string>

#include "qivma.h"

// The driver's entry: linked on POSIX; on Windows looked up in qivma.dll as a
// host application looks it up.
QivMainFunction DriverEntry();
// The driver's optional line monitor export; null when the driver has none.
QivSetLineMonitorFunction LineMonitorEntry();

// The clock that the driver stamps line events with, in microseconds.
uint64_t MonotonicMicroseconds();

// The name of `device` as the host's 12-byte field can hold it; a link made
// for the purpose goes to *link, to be removed with RemoveLink.
std::string HostPortName(const std::string &device, std::string *link);
void RemoveLink(const std::string &link);

// Why `device` might not open, as far as the system can tell.
std::string DiagnosePort(const std::string &device);

// The system's text for one of its error codes, with the code
// ("I/O error, system error 5"); UINT32_MAX is an error without a code.
std::string SystemErrorText(uint32_t code);
