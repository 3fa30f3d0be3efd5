// The fpsim program's command line. Every option is checked before anything
// starts, and a refusal names the option and the values that it takes.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/fpsim/faults.h"
#include "tools/fpsim/simulator.h"

namespace fpsim {

struct CommandLine {
    Options options;
    std::vector<Fault> onceFaults;  // --fault, in order
    int everyN = 0;                 // --fault-every N:KIND; 0 for none
    Fault everyFault;
    double probability = 0;  // --fault-random P:SEED; 0 for none
    uint32_t seed = 1;
    bool help = false;
    std::string helpText;  // with help: every option, as CLI11 lays them out
    bool version = false;
};

// Why a command line cannot be followed. `where` is "FILE:LINE" for a line of
// an --init file, else empty.
struct CommandLineError {
    std::string where;
    std::string what;
    // Every start-up assignment is checked, so that all the bad lines of an
    // --init file are reported at once: those after the first, in order.
    struct Later {
        std::string where;
        std::string what;
    };
    std::vector<Later> later;
};

// Reads the arguments after the program's name (with CLI11). Options take
// their value as the next argument or after "=" (--baud=9600); --help and
// --version end the reading where they stand.
bool ParseCommandLine(const std::vector<std::string> &args, CommandLine &line,
                      CommandLineError &error);

// Whether `text` is a station that fpsim plays: two hexadecimal digits from
// 01 to FE, but not EE (the station of whichever controller is connected).
// Lower-case digits are taken as upper case, as the driver sends them.
bool ParseStation(const std::string &text, std::string &station);

}  // namespace fpsim
