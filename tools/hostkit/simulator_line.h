// The built-in simulator's line at the settings the driver opens, for the
// programs that link fpsim (the tool on POSIX, the gateway, the benchmarks).
// Inline, so that the host kit itself stays free of the simulator.
#pragma once

#include "tools/fpsim/line.h"
#include "tools/hostkit/line_settings.h"

inline fpsim::LineFormat SimulatorLineFormat(const SerialLineSettings &settings) {
    fpsim::LineFormat format;
    format.baud = settings.baudRate;
    format.dataBits = settings.dataBits;
    format.parity = ParityLetter(settings.parity);
    format.stopBits = StopBitsCount(settings.stopBits);
    return format;
}
