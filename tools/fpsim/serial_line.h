// The simulator's end of the serial line, behind a seam of its own: the build
// links one implementation, termios and poll on POSIX, the Win32 comm calls
// on Windows. It shares nothing with the driver's serial layer, so that a
// mistake there cannot hide behind the same mistake here.
#pragma once

#include <stddef.h>

#include <chrono>
#include <memory>
#include <string>

#include "tools/fpsim/line.h"

namespace fpsim {

// Whether fpsim can create a pseudo-terminal for the driver to open (POSIX);
// on Windows it serves a COM port only.
bool PseudoTerminalsOffered();
// Whether a device can be set to `baud` (0: left at its own rate); and those
// rates for people, "1200, 2400, ...".
bool DeviceTakesRate(unsigned baud);
std::string DeviceRates();

class SerialLine {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // What a Wait found.
    struct Readiness {
        bool input = false;  // something to Read: bytes, or the news that the line failed
        bool room = false;   // the line takes output again
    };

    SerialLine();
    ~SerialLine();  // closes the line
    SerialLine(const SerialLine &) = delete;
    SerialLine &operator=(const SerialLine &) = delete;

    // Creates a pseudo-terminal for the driver, published as the symbolic
    // link `linkPath` unless it is empty. Fails where PseudoTerminalsOffered()
    // is false.
    bool OpenPseudoTerminal(const std::string &linkPath, std::string *error);
    // Opens a serial device (a path on POSIX, COMn on Windows) raw, at the
    // format's rate (0 leaves the device's own) and character format.
    bool OpenDevice(const std::string &name, const LineFormat &format, std::string *error);
    // Listens on 127.0.0.1:`port` (0: a free one) as a controller's Ethernet
    // unit does: the line is the connection of one master at a time, and
    // fails (Read -1) when that master goes. POSIX only.
    bool ListenTcp(int port, std::string *error);
    // The port listened on; 0 when not on TCP.
    int TcpPort() const;
    // The path of the pseudo-terminal that the driver opens; empty when
    // serving a device.
    std::string PseudoTerminalPath() const;
    // What the master's end of the line shows of its settings now; false
    // where nothing shows: on a device, whose far end is on another line
    // (the cable's), and on Windows.
    bool ReadMasterLine(MasterLine *seen) const;

    // Waits until input comes (with `forInput`), until the line has room for
    // output again (with `forRoom`), until Wake is called, or until `until`
    // (TimePoint::max(): no limit), whichever is first.
    Readiness Wait(bool forInput, bool forRoom, TimePoint until);
    // What has come in, without waiting: the count, 0 for nothing, -1 when
    // the line failed (hung up, unplugged).
    long Read(char *buffer, size_t size);
    // Writes without waiting for room: the count that the line took, 0 when
    // it has no room now, -1 when it failed.
    long Write(const char *bytes, size_t count);
    // Ends the Wait in progress, or the next one; from any thread.
    void Wake();
    // Closes the line and withdraws the link. Idempotent.
    void Close();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace fpsim
