// The host's side of the control line between the guest program and the
// lane: the guest asks, one line at a time, for what a test in process would
// do to the simulator itself (set or look at a controller's memory, fault
// its answers) and marks the moments at which the UART's state is to be
// judged; each request gets one line back, "ok ..." or "error ...".
//
//   hello                           the guest is up; answered once the line is served
//   poke STATION AREA INDEX VALUE   e.g. "poke 01 DT 7 4660"
//   peek STATION AREA INDEX         answered "ok VALUE"
//   fault-once KIND                 KIND as fpsim's --fault takes it: "late", "error:42"
//   fault-every N KIND
//   clear-faults
//   expect KEY=VALUE...             the UART's state from now on, e.g. "rate=9600 parity=E"
//   log MESSAGE                     a message that the driver gave the host's log
//   done STATUS                     the guest's suite has ended with STATUS
#pragma once

#include <stdint.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/fpsim/memory.h"
#include "tools/fpsim/simulator.h"

namespace uart_lane {

struct Mark {
    int64_t micros;  // the host's wall clock, the clock of QEMU's trace
    std::string expectation;
};

class LaneService {
  public:
    // `stations` and `profile` as the simulator was started with: what a
    // request may name.
    LaneService(fpsim::Simulator &simulator, std::vector<std::string> stations,
                fpsim::Profile profile)
        : simulator_(simulator), stations_(std::move(stations)), bounds_(profile) {}

    std::string Handle(const std::string &request, int64_t nowMicros);

    const std::vector<Mark> &marks() const { return marks_; }
    const std::vector<std::string> &driverLog() const { return driverLog_; }
    bool done() const { return done_; }
    int guestStatus() const { return guestStatus_; }

  private:
    bool ParseLocation(std::istringstream &words, std::string *station, fpsim::Area *area,
                       size_t *index, std::string *error) const;

    fpsim::Simulator &simulator_;
    std::vector<std::string> stations_;
    fpsim::Memory bounds_;
    std::vector<Mark> marks_;
    std::vector<std::string> driverLog_;
    bool done_ = false;
    int guestStatus_ = -1;
};

// The wall clock in microseconds, as QEMU stamps its trace.
int64_t WallMicros();

}  // namespace uart_lane
