// fpsim as a library: controllers on a line, served on their own thread, for
// tests in process and for the fpsim program.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "tools/fpsim/controller.h"
#include "tools/fpsim/faults.h"
#include "tools/fpsim/line.h"
#include "tools/fpsim/serial_line.h"
#include "tools/fpsim/threads.h"
#include "tools/fpsim/transmitter.h"

namespace fpsim {

struct Options {
    std::vector<std::string> stations = {"01"};
    BusSettings bus;
    LineFormat line;                       // baud 0: answers as fast as the pseudo-terminal goes
    int scanDelayMs = 2;                   // the controller's scan before it answers
    int answerDelayMs = 0;                 // more time before every answer (0 or more)
    int chatterGapMs = 0;                  // a noise byte every so often between answers; 0: none
    bool chatterAnswers = true;            // false: on a chattering line no station answers
    std::string linkPath;                  // where to publish the pseudo-terminal ("" for none)
    std::string devicePath;                // serve this serial device instead (and publish no link)
    bool zeroMemory = false;               // start from zeros instead of the pattern
    std::vector<std::string> assignments;  // "DT100=5", or "05:DT100=5" for one station
    bool verbose = false;                  // print every frame to stderr
    // Listen on 127.0.0.1:tcpPort as a controller's Ethernet unit instead of
    // a line (0: a free port); -1: not.
    int tcpPort = -1;
    // A master whose line settings differ from `line`, as far as its end of a
    // pseudo-terminal shows them (LineDisagreement), is heard as garbage and
    // answered nothing, as a controller at other settings hears framing and
    // parity errors. false: every master is heard. Nothing is judged on a
    // device, whose far end does not show.
    bool judgeLine = true;
    // Print a line to stderr when the master's settings come to differ, and
    // when they agree again (the fpsim program does).
    bool reportLine = false;
};

enum class Direction { kReceived, kSent };

struct FrameRecord {
    double ms;  // since the simulator started, to when the frame's last byte came or went out
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

    // Opens the line and starts answering; false with a reason if it cannot
    // (an assignment that does not apply, a link asked for with a device, a
    // line that does not open).
    bool Start(std::string *error);
    // Stops answering, closes the line and withdraws the link. Idempotent.
    void Stop();
    bool Running() const { return thread_.Joinable(); }

    // The path that the driver opens: the link if one was asked for, else the
    // pseudo-terminal or device itself.
    std::string PortPath() const;
    // The port listened on as an Ethernet unit; 0 when not on TCP.
    int TcpPort() const { return line_.TcpPort(); }
    // The pseudo-terminal's own path (empty when serving a device).
    std::string DevicePath() const { return line_.PseudoTerminalPath(); }

    // Faults of the coming answers (see FaultSchedule).
    void FaultOnce(const Fault &fault);
    void FaultEvery(int n, const Fault &fault);
    void FaultRandomly(double probability, uint32_t seed, const std::vector<Fault> &choices);
    void ClearFaults();
    // Sends exactly `bytes` in place of the answer to the next request (which
    // is then not executed); an empty text sends nothing.
    void ScriptNextAnswer(const std::string &bytes);

    // Delays the answers to the requests that end from now on (a negative
    // delay counts as 0). Each request is still executed when it arrives.
    void SetAnswerDelay(int ms);
    // Sends a noise byte (kNoiseByte) every `gapMs` between answers, 0 for a
    // quiet line. With `answer` false, while the line chatters the requests
    // are logged but reach no controller: nothing is executed or answered.
    void SetChatter(int gapMs, bool answer, char noise = kNoiseByte);
    // The noise bytes that went out; the frame log does not hold them.
    uint64_t NoiseBytesSent() const { return noiseBytes_; }

    // A station's memory, under the simulator's lock.
    uint16_t ReadWord(const std::string &station, Area area, size_t index);
    void WriteWord(const std::string &station, Area area, size_t index, uint16_t value);

    std::vector<FrameRecord> Frames() const;
    void ClearFrames();
    // The log so far, emptied in the same step: no record falls between.
    std::vector<FrameRecord> TakeFrames();
    // The moment from which the log's times count (FrameRecord::ms), so that
    // a test can lay the log beside times of its own on the same clock.
    std::chrono::steady_clock::time_point LogStart() const { return started_; }
    // Waits until the log holds at least `count` records.
    bool WaitForFrames(size_t count, std::chrono::milliseconds timeout) const;

  private:
    using TimePoint = std::chrono::steady_clock::time_point;

    void Serve();
    // Takes in what the line brought at `arrival`; requests go to HandleFrame.
    void Receive(const char *bytes, size_t count, TimePoint arrival);
    // `unheard`: why the controller heard the frame as garbage, "" if it did not.
    void HandleFrame(const std::string &frame, TimePoint firstByte, TimePoint arrival,
                     const std::string &unheard);
    // Why the master's settings keep the controller from hearing it now, ""
    // when they do not (or are not judged); reports a change.
    std::string JudgeLine();
    // Writes what is due; false while an answer waits for room on the line.
    bool WriteDue();
    // Waits for input (and reads it), for room on the line unless `writable`,
    // for a wake-up, or for the transmitter's next output.
    void WaitAndReceive(bool writable);
    void ApplyChatterChange();
    // Logs a frame that came or went out at `at`.
    void Record(Direction direction, const std::string &bytes, const std::string &note,
                TimePoint at);
    void Wake();

    Options options_;
    Bus bus_;
    FaultSchedule faults_;
    std::vector<std::string> scripted_;
    int chatterGapMs_;
    bool chatterAnswers_;
    char chatterByte_ = kNoiseByte;
    bool chatterChanged_ = true;  // the transmitter has yet to hear of it

    // The serve thread's own.
    Transmitter transmitter_;
    std::string request_;
    TimePoint requestStart_;
    std::string requestUnheard_;  // why a byte of the request came as garbage
    std::string disagreement_;    // as last judged
    TimePoint lineRestsUntil_{};  // after the line failed a read

    SerialLine line_;
    Thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> answerDelayMs_;
    std::atomic<uint64_t> noiseBytes_{0};
    TimePoint started_;

    // Guards the bus, the faults, the scripts, the chatter and the log.
    mutable Mutex mutex_;
    mutable ConditionVariable logChanged_;
    std::vector<FrameRecord> log_;
};

}  // namespace fpsim
