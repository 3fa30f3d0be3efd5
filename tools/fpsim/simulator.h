// fpsim as a library: controllers on a line, served on their own thread, for
// tests in process and for the fpsim program.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/fpsim/controller.h"
#include "tools/fpsim/faults.h"
#include "tools/fpsim/line.h"

namespace fpsim {

struct Options {
    std::vector<std::string> stations = {"01"};
    BusSettings bus;
    LineFormat line;                       // baud 0: answers as fast as the pseudo-terminal goes
    int scanDelayMs = 2;                   // the controller's scan before it answers
    std::string linkPath;                  // where to publish the driver's side ("" for none)
    std::string devicePath;                // serve this serial device instead of a pseudo-terminal
    bool zeroMemory = false;               // start from zeros instead of the pattern
    std::vector<std::string> assignments;  // "DT100=5", or "05:DT100=5" for one station
    bool verbose = false;                  // print every frame to stderr
};

enum class Direction { kReceived, kSent };

struct FrameRecord {
    double ms;  // since the simulator started
    Direction direction;
    std::string bytes;
    std::string note;  // the fault applied, or why nothing was answered
};

class Simulator {
  public:
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Opens the line and starts answering; false with a reason if it cannot.
    bool Start(std::string *error);
    // Stops answering, closes the line and withdraws the link. Idempotent.
    void Stop();
    bool Running() const { return thread_.joinable(); }

    // The path that the driver opens: the link if one was asked for, else the
    // pseudo-terminal or device itself.
    std::string PortPath() const;
    // The pseudo-terminal's own path (empty when serving a device).
    std::string DevicePath() const { return pty_.driverPath; }

    // Faults of the coming answers (see FaultSchedule).
    void FaultOnce(const Fault &fault);
    void FaultEvery(int n, const Fault &fault);
    void FaultRandomly(double probability, uint32_t seed, const std::vector<Fault> &choices);
    void ClearFaults();
    // Sends exactly `bytes` in place of the answer to the next request (which
    // is then not executed); an empty text sends nothing.
    void ScriptNextAnswer(const std::string &bytes);

    // A station's memory, under the simulator's lock.
    uint16_t ReadWord(const std::string &station, Area area, size_t index);
    void WriteWord(const std::string &station, Area area, size_t index, uint16_t value);

    std::vector<FrameRecord> Frames() const;
    void ClearFrames();
    // Waits until the log holds at least `count` records.
    bool WaitForFrames(size_t count, std::chrono::milliseconds timeout) const;

  private:
    void Serve();
    void HandleFrame(const std::string &frame, std::chrono::steady_clock::time_point firstByte);
    void Send(const std::string &bytes, std::chrono::steady_clock::time_point earliest);
    void Record(Direction direction, const std::string &bytes, const std::string &note);
    // Sleeps until `deadline` unless stopped first; false when stopped.
    bool SleepUntil(std::chrono::steady_clock::time_point deadline);

    Options options_;
    Bus bus_;
    FaultSchedule faults_;
    std::vector<std::string> scripted_;

    PseudoTerminal pty_;
    int lineFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::chrono::steady_clock::time_point started_;

    mutable std::mutex mutex_;  // guards the bus, the faults, the scripts and the log
    mutable std::condition_variable logChanged_;
    std::vector<FrameRecord> log_;
};

}  // namespace fpsim
