// The simulator's end of the serial line: a pseudo-terminal whose other end
// the driver opens, or a real serial device; and the line's timing.
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
};

// A pseudo-terminal pair in raw mode. The simulator keeps the controller's
// side and one descriptor of the driver's side open, so that the driver can
// close and reopen its side without the line hanging up.
struct PseudoTerminal {
    int controllerFd = -1;
    int driverSideFd = -1;
    std::string driverPath;  // e.g. /dev/pts/3
};

bool OpenPseudoTerminal(PseudoTerminal &pty, std::string *error);
void ClosePseudoTerminal(PseudoTerminal &pty);

// Opens an existing serial device in raw mode at the format's rate (a rate
// of 0 leaves the device's own) and character format.
int OpenSerialDevice(const std::string &path, const LineFormat &format, std::string *error);
// Whether OpenSerialDevice can set a device to `baud`; and those rates as a
// list for people, "1200, 2400, ...".
bool DeviceTakesRate(unsigned baud);
std::string DeviceRates();

// Points `link` at `target`, replacing an earlier symbolic link there (never
// another kind of file).
bool PublishLink(const std::string &link, const std::string &target, std::string *error);
// Removes `link` if it still points at `target`.
void WithdrawLink(const std::string &link, const std::string &target);

}  // namespace fpsim
