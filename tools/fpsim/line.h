// The line's character format and rate, and so its timing.
#pragma once

#include <string>

namespace fpsim {

// Character format and rate of the line; a rate of 0 means no pacing.
struct LineFormat {
    unsigned baud = 0;
    int dataBits = 8;
    char parity = 'O';  // N, O, E, M, S
    double stopBits = 1;

    // Start bit, data bits, parity bit and stop bits.
    double BitsPerChar() const { return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits; }
    // Seconds one character takes on the line; 0 without pacing.
    double CharSeconds() const { return baud == 0 ? 0 : BitsPerChar() / baud; }
    // "19200 bit/s 8O1", or "no pacing".
    std::string Describe() const;
    // The character format alone: "8O1".
    std::string Characters() const;
};

// What the master's end of a pseudo-terminal shows of its line settings. The
// kernel keeps a pseudo-terminal's characters 8 bits wide and without parity
// whatever a program asks: of the parity only the flags that choose odd
// (PARODD) and stick parity (CMSPAR) show, not whether parity is on at all;
// the character size does not show.
struct MasterLine {
    unsigned baud = 0;       // 0: not known
    bool oddFlag = false;    // odd, or mark
    bool stickFlag = false;  // mark or space
    // Whether the stick flag shows at all: qemu-user drops it on its way to
    // the kernel, and then mark looks like odd and space like even.
    bool stickShows = true;
};

// Why a controller set to `own` hears only garbage from a master set to
// `master`, e.g. "the master's line is at 9600 bit/s, this controller's at
// 19200 bit/s"; "" when all that shows agrees. Judged: the rate, when both
// are known (a rate of 0, no pacing, takes any), and the parity as far as it
// shows: even and none look alike, so a master at either passes with a
// controller at either. Not judged: the character size, which does not show,
// and the stop bits, which do not keep a line from working (a receiver looks
// at the first stop bit only).
std::string LineDisagreement(const LineFormat &own, const MasterLine &master);

}  // namespace fpsim
