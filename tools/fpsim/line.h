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

}  // namespace fpsim
