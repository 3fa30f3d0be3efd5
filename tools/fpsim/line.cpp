#include "tools/fpsim/line.h"

#include <stdio.h>

namespace fpsim {

std::string LineFormat::Describe() const {
    if (baud == 0) {
        return "no pacing";
    }
    return std::to_string(baud) + " bit/s " + Characters();
}

std::string LineFormat::Characters() const {
    char text[32];
    snprintf(text, sizeof text, "%d%c%g", dataBits, parity, stopBits);
    return text;
}

namespace {

// The parity flags that a master at `parity` sets: none and even set neither.
MasterLine FlagsOf(char parity) {
    MasterLine flags;
    flags.oddFlag = parity == 'O' || parity == 'M';
    flags.stickFlag = parity == 'M' || parity == 'S';
    return flags;
}

const char *ParityName(char parity) {
    switch (parity) {
        case 'O':
            return "odd";
        case 'E':
            return "even";
        case 'M':
            return "mark";
        case 'S':
            return "space";
        default:
            return "no";
    }
}

// The parity that the flags show, for people.
const char *ShownParity(const MasterLine &master) {
    if (!master.stickShows)
        return master.oddFlag ? "odd or mark" : "even, space or no";
    if (master.stickFlag)
        return master.oddFlag ? "mark" : "space";
    return master.oddFlag ? "odd" : "even or no";
}

}  // namespace

std::string LineDisagreement(const LineFormat &own, const MasterLine &master) {
    std::string why;
    if (own.baud != 0 && master.baud != 0 && own.baud != master.baud) {
        why = "the master's line is at " + std::to_string(master.baud) +
              " bit/s, this controller's at " + std::to_string(own.baud) + " bit/s";
    }
    const MasterLine expected = FlagsOf(own.parity);
    if (expected.oddFlag != master.oddFlag ||
        (master.stickShows && expected.stickFlag != master.stickFlag)) {
        why += std::string(why.empty() ? "" : "; ") + "the master sends " + ShownParity(master) +
               " parity, this controller expects " + ParityName(own.parity) + " parity";
    }
    return why;
}

}  // namespace fpsim
