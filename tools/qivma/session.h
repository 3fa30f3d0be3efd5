// The tool's channel: a session on the port that the command line names, or
// on the controller simulator.
#pragma once

#include <string>
#include <vector>

#include "tools/hostkit/session.h"

struct SimulatorOptions {
    // Linux: run the built-in simulator and use it as the port. Windows: talk
    // to fpsim.exe, which serves the far end of `port`'s null-modem pair.
    bool on = false;
    std::string port;  // Windows: the COM port that `on` opens
    // The stations the simulator plays; empty: 01 and every station named.
    std::vector<std::string> stations;
    // Faults of the simulator's first answers, one each, in order.
    std::vector<std::string> faults;
    // "N:KIND": a fault of every Nth answer after those; empty for none.
    std::string faultEvery;
};

class ToolSession : public Session {
  public:
    ToolSession(const LineOptions &line, const SimulatorOptions &sim) : Session(line), sim_(sim) {}
    // The channel ends before the simulator stops.
    ~ToolSession();

    // Starts the simulator, playing the tags' stations, when the command line
    // asks for it, then the channel; false with a reason.
    bool Start(const std::vector<Tag> &tags, std::string *error);

  private:
    SimulatorOptions sim_;
};
