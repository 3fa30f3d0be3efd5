// The programs of the wine lane, started and stopped by this process: wine's
// own, socat joining two pseudo-terminals like a null-modem cable, and the
// controller simulator as a program (fpsim.exe under wine, or fpsim on Linux).
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "wine/lane_settings.h"

namespace wine_lane {

// Starts a program with wine's environment for the lane: its prefix, and a
// WINEARCH that wine refuses to run with in a prefix of the other machine.
// Its standard input,
// output and error through the given descriptors (-1: none, /dev/null for
// errors). Every other descriptor of this process stays out of it.
pid_t Spawn(const Lane &lane, const std::vector<std::string> &arguments, int in, int out,
            int err = -1);
// Waits for the program's end: its exit status, or -1 if a signal ended it.
int Wait(pid_t pid);
// Waits at most `ms` for the end of `pid`, without reaping it: true once it
// has ended.
bool EndsWithin(pid_t pid, int ms);
// Runs a program to its end and returns what it printed on its standard
// output (and its standard error, with `withErrors`), with Windows' CR LF
// read as LF.
std::string Output(const Lane &lane, const std::vector<std::string> &arguments,
                   int *exitCode = nullptr, bool withErrors = false);

// Two pseudo-terminals that socat joins: what is written to one end is read
// at the other, as on a null-modem cable between two COM ports.
class NullModemPair {
  public:
    // Starts socat, its ends published as `linkBase` + "-a" and "-b"; returns
    // once socat says that it carries bytes.
    NullModemPair(const Lane &lane, const std::string &linkBase);
    ~NullModemPair();  // stops socat by its process id
    NullModemPair(const NullModemPair &) = delete;
    NullModemPair &operator=(const NullModemPair &) = delete;

    bool Running() const { return pid_ > 0; }
    // The pseudo-terminal of an end (0 or 1), e.g. /dev/pts/4.
    const std::string &End(int end) const { return ends_[end]; }
    // What socat said, for a failure's message.
    const std::string &Said() const { return said_; }

  private:
    pid_t pid_ = -1;
    FILE *log_ = nullptr;  // socat's diagnostics; kept open while it runs
    std::string links_[2];
    std::string ends_[2];
    std::string said_;
};

// A simulator program from its start-up line to its stop. Its standard
// output comes through a pipe; its diagnostics (the frames that --verbose
// prints) go to a file, so that it never waits for this process to read them.
class SimulatorProgram {
  public:
    SimulatorProgram(const Lane &lane, const std::vector<std::string> &command,
                     const std::string &logPath);
    ~SimulatorProgram();  // stops it if it still runs, and removes its log
    SimulatorProgram(const SimulatorProgram &) = delete;
    SimulatorProgram &operator=(const SimulatorProgram &) = delete;

    // Its start-up line ("fpsim: station 01 on COM7 ..."); empty if it ended
    // without one.
    const std::string &Banner() const { return banner_; }
    // Stops it as a person does, with Ctrl-C (SIGINT, which wine hands to the
    // console's handler): its exit status, and its last line in `farewell`.
    // One that has not ended 10 s later is killed, and -2 returned.
    int Stop(std::string *farewell = nullptr);
    // Its diagnostics: the frames it logged, or why it could not start.
    std::string Diagnostics() const;
    // The frames it logged, without their times: "<- %01#RDD...<CR>" for a
    // request received, "-> %01$RD...<CR>" for an answer sent, each with the
    // note that fpsim gave it.
    std::vector<std::string> Frames() const;

  private:
    pid_t pid_ = -1;
    FILE *out_ = nullptr;
    std::string banner_;
    std::string logPath_;
};

}  // namespace wine_lane
