// The soak: the driver through QivMain against the controller simulator on a
// pseudo-terminal, every value that a read reports as good judged against
// what the controller holds.
//
//   qivma_soak [--transactions N] [--seed S] [--fault-rate P] [--timeout UNITS]
//       Seeded transactions mixing every operation, device and width, with a
//       share of the answers faulted in every way the simulator knows.
//       Time-out 2 (20 ms) unless given.
//   qivma_soak --sweep [--from MS] [--to MS] [--step MS] [--reads N] [--timeout UNITS]
//       Every answer comes d ms after its request, d from --from (0) to --to
//       (twice the horizon) in steps of --step (5 ms), --reads reads (5) at
//       each d. Every read with d up to the horizon must be good; later ones
//       are reported. Time-out 4 (40 ms) unless given.
//   qivma_soak --chatter-run [--reads N] [--timeout UNITS]
//       A line that carries noise bytes, to a silent station and to one that
//       answers between them; --reads reads (10) in each case. No wrong value,
//       and every operation within its bound. Time-out 4 (40 ms) unless given.
//
// Exit status 0 when every property held, 1 when one did not, 2 when the
// command line cannot be followed.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/kelpra.h"
#include "protocol/transactions.h"
#include "qivma.h"
#include "tools/fpsim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Run { kRandomFaults, kSweep, kChatter };

struct Options {
    Run run = Run::kRandomFaults;
    long transactions = 3000;
    unsigned seed = 1;
    double faultRate = 0.05;
    int32_t timeout = 0;  // 10 ms units; 0 until chosen: each run has its own default
    int sweepFromMs = 0;
    int sweepToMs = -1;  // -1: twice the horizon
    int sweepStepMs = 5;
    int reads = 0;  // per d, or per chatter case; 0 until chosen
};

// The driver's times for a channel whose read time-out is T: after its last
// frame a transaction listens for answers still on their way until the
// horizon H = T + G, G being the guard.
struct Timing {
    double timeoutMs;
    double guardMs;
    double horizonMs;
    // What the driver's own waits can add up to: three time-outs and one guard.
    double WaitsMs() const { return kAttempts * timeoutMs + guardMs; }
};

Timing TimingOf(int32_t timeoutUnits) {
    const uint32_t timeoutMs = static_cast<uint32_t>(timeoutUnits) * 10;
    const uint32_t horizonMs = AnswerHorizonMs(timeoutMs);
    return {static_cast<double>(timeoutMs), static_cast<double>(horizonMs - timeoutMs),
            static_cast<double>(horizonMs)};
}

// Three frames going out: each after 1 ms with RTS raised, then its write
// and the wait for the empty transmitter.
constexpr double kTransmitMs = 10;
// What is left of the machine in an operation's time once its waits for a
// core are taken out (OperationTimer): timer slack, each wait rounded up to
// a whole millisecond, the pseudo-terminal passing bytes, the driver's own
// work. An operation that waits 25 ms more than it should cannot hide.
constexpr double kMachineMarginMs = 15;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Nanoseconds that the calling thread has spent ready to run but waiting for
// a core, from the kernel's scheduler statistics; -1 where they cannot be read.
long long RunQueueWaitNs() {
    const int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[96];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = 0;
    unsigned long long running = 0, waiting = 0;
    return sscanf(text, "%llu %llu", &running, &waiting) == 2 ? static_cast<long long>(waiting)
                                                              : -1;
}

// The time of an operation, and that time less the part that the calling
// thread spent waiting for a core. The driver's waits end by deadlines on the
// monotonic clock, so a machine busy with other work lengthens an operation
// only by such waits (the last wake-up, most of all): the time without them
// is the driver's, and that is what a bound judges. Where the kernel does not
// tell, both are the whole time.
class OperationTimer {
  public:
    void Start() {
        waitNs_ = RunQueueWaitNs();
        start_ = Clock::now();
    }
    void Stop() {
        elapsedMs_ = Ms(Clock::now() - start_);
        const long long waitNs = RunQueueWaitNs();
        coreWaitMs_ = waitNs_ >= 0 && waitNs >= waitNs_ ? (waitNs - waitNs_) / 1e6 : 0;
    }
    Clock::time_point Started() const { return start_; }
    double ElapsedMs() const { return elapsedMs_; }
    double DriverMs() const { return elapsedMs_ - coreWaitMs_; }

  private:
    Clock::time_point start_;
    long long waitNs_ = -1;
    double elapsedMs_ = 0;
    double coreWaitMs_ = 0;
};

// The longest operations of a part of a run.
struct Longest {
    double elapsedMs = 0;
    double driverMs = 0;  // less the waits for a core: what the bound judges
    void Add(const OperationTimer &timer) {
        elapsedMs = std::max(elapsedMs, timer.ElapsedMs());
        driverMs = std::max(driverMs, timer.DriverMs());
    }
};

// One channel of the driver, as a host holds it.
class Channel {
  public:
    Channel() : block_(4192, 0) {}
    ~Channel() {
        if (started_)
            Call(QIV_CMD_END, nullptr);
    }
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Cold start on the simulator's pseudo-terminal with the host's default
    // line settings.
    bool Start(const std::string &devicePath, int32_t timeout) {
        PortConfig config = {};
        const std::string port = devicePath.substr(5);  // without "/dev/"
        memcpy(config.portName, port.c_str(), port.size() + 1);
        config.enable = 1;
        config.timeout = timeout;
        config.lineSettings = {19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};
        started_ = Call(QIV_CMD_COLD_START, &config) == 0;
        return started_;
    }
    int32_t Call(int32_t command, void *params) {
        DriverRequest request = {};
        request.instance = reinterpret_cast<DriverInstance *>(block_.data());
        request.command = command;
        request.params = params;
        return QivMain(&request);
    }

  private:
    std::vector<unsigned char> block_;
    bool started_ = false;
};

// Starts a simulator; `started` is when, close enough to the start of its
// frame log's clock.
std::unique_ptr<fpsim::Simulator> StartSimulator(Clock::time_point *started) {
    fpsim::Options options;
    options.scanDelayMs = 0;  // the answer's time is the one that the run sets
    auto simulator = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    if (!simulator->Start(&error)) {
        fprintf(stderr, "soak: %s\n", error.c_str());
        return nullptr;
    }
    *started = Clock::now();
    return simulator;
}

// The answers that the stations still owe: requests that they answered,
// less the answers that went out.
long AnswersOwed(const std::vector<fpsim::FrameRecord> &frames) {
    long owed = 0;
    for (const fpsim::FrameRecord &frame : frames) {
        if (frame.direction == fpsim::Direction::kSent)
            --owed;
        else if (frame.note.empty())  // a request that is not answered carries the reason
            ++owed;
    }
    return owed;
}

// Waits until every answer owed has gone out and nothing new has come or gone
// for a settling time, so that what one part of a run sent cannot be taken by
// the next (the driver throws away what waits before a transaction). The
// settling time covers a request still in the pseudo-terminal when the
// simulator's log was read.
bool WaitForQuietLine(fpsim::Simulator &simulator) {
    constexpr auto kSettle = std::chrono::milliseconds(25);
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    size_t before = SIZE_MAX;
    while (Clock::now() < giveUp) {
        const std::vector<fpsim::FrameRecord> frames = simulator.Frames();
        if (AnswersOwed(frames) == 0 && frames.size() == before)
            return true;
        before = frames.size();
        std::this_thread::sleep_for(kSettle);
    }
    fprintf(stderr, "soak: the line did not go quiet\n");
    return false;
}

// ---------------------------------------------------------------------------
// Reads of data registers that each hold a value of their own, so that the
// value of another register, taken from an answer that belongs to another
// read, shows as wrong.

class DistinctRegisters {
  public:
    static constexpr size_t kFirst = 2000;
    static constexpr size_t kCount = 64;

    explicit DistinctRegisters(fpsim::Simulator &simulator) {
        for (size_t i = 0; i < kCount; ++i) {
            values_[i] = static_cast<uint16_t>(0xC000 + 37 * i);
            simulator.WriteWord("01", fpsim::Area::kData, kFirst + i, values_[i]);
        }
    }
    // Register after register, so that no two reads in a row read the same one.
    size_t Next() { return next_++ % kCount; }
    int32_t Address(size_t i) const { return static_cast<int32_t>(kFirst + i); }
    uint16_t Value(size_t i) const { return values_[i]; }

  private:
    uint16_t values_[kCount] = {};
    size_t next_ = 0;
};

struct ReadRecord {
    double startMs, endMs;  // on the simulator's clock
    double driverMs;        // less the waits for a core
    int32_t status;
    int32_t address;
    int16_t word0;
    uint16_t got, holds;
};

struct ReadTally {
    long good = 0, failed = 0, wrong = 0;
    Longest longest;
    std::vector<ReadRecord> reads;
};

// Single-word reads of the registers in turn, each judged and timed on the
// simulator's clock, so that a failure can be laid beside the frame log.
class RegisterReader {
  public:
    RegisterReader(Channel &channel, DistinctRegisters &registers, Clock::time_point simulatorStart)
        : channel_(channel), registers_(registers), origin_(simulatorStart) {}

    // With `stationSilent` a success is wrong in itself: nobody answered.
    void Read(bool stationSilent, ReadTally &tally) {
        const size_t i = registers_.Next();
        int16_t data[2] = {0x5555, 0x5555};
        TagAccess access = {};
        access.station = 1;
        access.device = 'D';
        access.wordAddress = registers_.Address(i);
        access.width = 16;
        access.bitNumber = 255;
        access.data = data;
        OperationTimer timer;
        timer.Start();
        const int32_t status = channel_.Call(QIV_CMD_READ_VALUE, &access);
        timer.Stop();
        tally.longest.Add(timer);
        const uint16_t got = static_cast<uint16_t>(data[1]);
        const double startMs = Ms(timer.Started() - origin_);
        tally.reads.push_back({startMs, startMs + timer.ElapsedMs(), timer.DriverMs(), status,
                               access.wordAddress, data[0], got, registers_.Value(i)});
        if (status != 0) {
            ++tally.failed;
        } else if (stationSilent || data[0] != 0 || got != registers_.Value(i)) {
            ++tally.wrong;
        } else {
            ++tally.good;
        }
    }

  private:
    Channel &channel_;
    DistinctRegisters &registers_;
    Clock::time_point origin_;
};

// The reads and the frames of a part that failed, on one clock, for whoever
// has to find out why.
void PrintTrace(const ReadTally &tally, const std::vector<fpsim::FrameRecord> &frames) {
    for (const ReadRecord &r : tally.reads)
        fprintf(stderr,
                "  read D%d %10.3f .. %10.3f ms (%.1f ms less the waits for a core): status %d, "
                "0x%04X (word 0: %d; the register holds 0x%04X)\n",
                r.address, r.startMs, r.endMs, r.driverMs, r.status, r.got, r.word0, r.holds);
    for (const fpsim::FrameRecord &f : frames) {
        std::string bytes = f.bytes;
        std::replace(bytes.begin(), bytes.end(), '\r', '|');
        fprintf(stderr, "  frame %10.3f ms %s %s %s\n", f.ms,
                f.direction == fpsim::Direction::kSent ? "->" : "<-", bytes.c_str(),
                f.note.c_str());
    }
}

// ---------------------------------------------------------------------------
// The sweep of late answers.

// How long after its request each answer went out, by the simulator's own
// log: answers go out in the order of their requests, one for each answered
// request.
struct AnswerLags {
    double shortestMs = 0;
    double longestMs = 0;
};

AnswerLags AnswerLagsIn(const std::vector<fpsim::FrameRecord> &frames) {
    std::vector<double> answered, sent;
    for (const fpsim::FrameRecord &frame : frames) {
        if (frame.direction == fpsim::Direction::kSent)
            sent.push_back(frame.ms);
        else if (frame.note.empty())
            answered.push_back(frame.ms);
    }
    AnswerLags lags;
    const size_t count = std::min(answered.size(), sent.size());
    for (size_t i = 0; i < count; ++i) {
        const double lagMs = sent[i] - answered[i];
        lags.shortestMs = i == 0 ? lagMs : std::min(lags.shortestMs, lagMs);
        lags.longestMs = std::max(lags.longestMs, lagMs);
    }
    return lags;
}

size_t RequestsIn(const std::vector<fpsim::FrameRecord> &frames) {
    return static_cast<size_t>(
        std::count_if(frames.begin(), frames.end(), [](const fpsim::FrameRecord &frame) {
            return frame.direction == fpsim::Direction::kReceived && frame.note.empty();
        }));
}

// On an idle machine the simulator's answers leave about 0.1 ms after their
// time; on a busy one its thread may wake some milliseconds late. A step whose
// reads failed after the simulator sent an answer later than this past its
// time, and past the horizon, tested an answer beyond the horizon, not d: it
// is run again. A failure with every answer within the horizon always counts.
constexpr double kSimulatorLatenessMs = 1.0;
constexpr int kStepTries = 5;

struct Step {
    ReadTally tally;
    std::vector<fpsim::FrameRecord> frames;
    AnswerLags lags;
};

// The reads of one d, and the line quiet again after them.
bool RunStep(fpsim::Simulator &simulator, RegisterReader &reader, int d, int reads, Step &step) {
    simulator.SetAnswerDelay(d);
    step.tally = ReadTally();
    for (int r = 0; r < reads; ++r)
        reader.Read(false, step.tally);
    if (!WaitForQuietLine(simulator))
        return false;
    step.frames = simulator.Frames();
    simulator.ClearFrames();
    step.lags = AnswerLagsIn(step.frames);
    return true;
}

int RunSweep(const Options &o) {
    const Timing timing = TimingOf(o.timeout);
    const int toMs = o.sweepToMs >= 0 ? o.sweepToMs : static_cast<int>(2 * timing.horizonMs);
    const double boundMs = timing.WaitsMs() + kTransmitMs + kMachineMarginMs;
    Clock::time_point simulatorStart;
    auto simulator = StartSimulator(&simulatorStart);
    Channel channel;
    if (simulator == nullptr || !channel.Start(simulator->DevicePath(), o.timeout)) {
        fprintf(stderr, "soak: the channel did not start\n");
        return 1;
    }
    DistinctRegisters registers(*simulator);
    RegisterReader reader(channel, registers, simulatorStart);

    printf(
        "Late answers: every answer d ms after its request; time-out T %.0f ms, guard G %.0f ms,\n"
        "horizon H = T + G = %.0f ms; %d reads of distinct registers at each d.\n"
        "Every read up to H must be good. An operation may take 3T + G = %.0f ms; bound, with\n"
        "%.0f ms for the transmissions and %.0f ms for the machine, %.0f ms, judged on the time\n"
        "less the waits for a core (\"driver ms\"). \"lag\": when the simulator's answers left.\n",
        timing.timeoutMs, timing.guardMs, timing.horizonMs, o.reads, timing.WaitsMs(), kTransmitMs,
        kMachineMarginMs, boundMs);
    printf("%6s %5s %5s %6s %5s %10s %9s %8s %15s %5s\n", "d ms", "reads", "good", "failed",
           "wrong", "longest ms", "driver ms", "requests", "lag ms", "tries");
    bool ok = true;
    bool beyondShown = false;
    for (int d = o.sweepFromMs; d <= toMs; d += o.sweepStepMs) {
        const bool beyond = d > timing.horizonMs;
        if (beyond && !beyondShown) {
            printf("---- beyond the horizon (d > %.0f ms): reported, not judged ----\n",
                   timing.horizonMs);
            beyondShown = true;
        }
        Step step;
        int tries = 0;
        bool stepFailed = false;
        for (;;) {
            ++tries;
            if (!RunStep(*simulator, reader, d, o.reads, step))
                return 1;
            stepFailed = !beyond && step.tally.good != o.reads;
            const bool simulatorLate =
                step.lags.longestMs > std::max(d + kSimulatorLatenessMs, timing.horizonMs);
            if (!stepFailed || !simulatorLate || tries == kStepTries)
                break;
            printf(
                "  d = %d ms: reads failed; the simulator sent an answer %.1f ms after its "
                "request, beyond the horizon; again\n",
                d, step.lags.longestMs);
        }
        const ReadTally &tally = step.tally;
        printf("%6d %5d %5ld %6ld %5ld %10.1f %9.1f %8zu %6.1f .. %5.1f %5d%s\n", d, o.reads,
               tally.good, tally.failed, tally.wrong, tally.longest.elapsedMs,
               tally.longest.driverMs, RequestsIn(step.frames), step.lags.shortestMs,
               step.lags.longestMs, tries, beyond ? "  beyond H" : "");
        if (stepFailed) {
            ok = false;
            printf("  FAILED: a read with its answer within the horizon was not good\n");
        }
        if (tally.longest.driverMs > boundMs) {
            ok = false;
            printf("  FAILED: an operation took longer than %.0f ms\n", boundMs);
        }
        // Without the delay the sweep would prove nothing.
        if (step.lags.shortestMs < d - 0.01) {
            ok = false;
            printf("  FAILED: the simulator answered %.1f ms after a request, not %d\n",
                   step.lags.shortestMs, d);
        }
        if (stepFailed || tally.longest.driverMs > boundMs)
            PrintTrace(tally, step.frames);
    }
    printf("%s\n", ok ? "sweep passed: every answer within the horizon was taken, none wrongly"
                      : "sweep FAILED");
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The chattering line.

struct ChatterCase {
    int gapMs;
    bool stationAnswers;
};

const ChatterCase kChatterCases[] = {
    {5, false}, {40, false}, {90, false}, {150, false}, {5, true}, {40, true},
};

int RunChatter(const Options &o) {
    const Timing timing = TimingOf(o.timeout);
    // With nothing to answer and noise coming, a listening pass still ends by
    // its deadline: the driver's waits, the transmissions and the machine.
    const double boundMs = timing.WaitsMs() + kTransmitMs + kMachineMarginMs;
    // An answering station answers half a time-out late, so that noise also
    // comes while the driver listens for the answer; and the reads are a gap
    // apart, so that noise also waits on the line before a transaction.
    const int answerDelayMs = static_cast<int>(timing.timeoutMs / 2);
    Clock::time_point simulatorStart;
    auto simulator = StartSimulator(&simulatorStart);
    Channel channel;
    if (simulator == nullptr || !channel.Start(simulator->DevicePath(), o.timeout)) {
        fprintf(stderr, "soak: the channel did not start\n");
        return 1;
    }
    DistinctRegisters registers(*simulator);
    RegisterReader reader(channel, registers, simulatorStart);

    printf(
        "A chattering line: a noise byte every so often; time-out T %.0f ms, guard G %.0f ms;\n"
        "%d reads in each case, a station that answers does so %d ms late.\n"
        "Bound: 3T + G + %.0f ms = %.0f ms, with %.0f ms for the machine %.0f ms, judged on the\n"
        "time less the waits for a core (\"driver ms\").\n",
        timing.timeoutMs, timing.guardMs, o.reads, answerDelayMs, kTransmitMs,
        timing.WaitsMs() + kTransmitMs, kMachineMarginMs, boundMs);
    printf("%-22s %6s %5s %6s %5s %10s %9s %7s\n", "station", "gap ms", "good", "failed", "wrong",
           "longest ms", "driver ms", "noise");
    bool ok = true;
    for (const ChatterCase &c : kChatterCases) {
        const uint64_t noiseBefore = simulator->NoiseBytesSent();
        simulator->SetAnswerDelay(c.stationAnswers ? answerDelayMs : 0);
        simulator->SetChatter(c.gapMs, c.stationAnswers);
        ReadTally tally;
        for (int r = 0; r < o.reads; ++r) {
            reader.Read(!c.stationAnswers, tally);
            if (c.stationAnswers)
                std::this_thread::sleep_for(std::chrono::milliseconds(c.gapMs));
        }
        simulator->SetChatter(0, true);
        if (!WaitForQuietLine(*simulator))
            return 1;
        const std::vector<fpsim::FrameRecord> frames = simulator->Frames();
        simulator->ClearFrames();
        const uint64_t noise = simulator->NoiseBytesSent() - noiseBefore;
        printf("%-22s %6d %5ld %6ld %5ld %10.1f %9.1f %7llu\n",
               c.stationAnswers ? "answers between noise" : "silent", c.gapMs, tally.good,
               tally.failed, tally.wrong, tally.longest.elapsedMs, tally.longest.driverMs,
               static_cast<unsigned long long>(noise));
        if (tally.wrong != 0 || tally.longest.driverMs > boundMs) {
            ok = false;
            printf("  FAILED: a wrong value, or an operation longer than %.0f ms\n", boundMs);
            PrintTrace(tally, frames);
        }
        // Noise between answers is no reason for an answer to be missed.
        if (c.stationAnswers && tally.good != o.reads) {
            ok = false;
            printf("  FAILED: a read of an answering station was not good\n");
            PrintTrace(tally, frames);
        }
        // A case whose line carried no noise tested nothing.
        if (noise == 0) {
            ok = false;
            printf("  FAILED: no noise went out\n");
        }
    }
    printf("%s\n", ok ? "chatter run passed: no wrong value, every operation within its bound"
                      : "chatter run FAILED");
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Seeded transactions with random faults, judged by a model of the memory.

// A kind of tag the soak reads and writes: where it lies in the controller.
struct TagKind {
    char device;
    fpsim::Area area;
    int32_t width;       // 16, 32 or 1
    int32_t maxAddress;  // the highest word address used
    bool writable;
};

const TagKind kKinds[] = {
    {'D', fpsim::Area::kData, 16, 9990, true},
    {'F', fpsim::Area::kFile, 16, 32000, true},
    {'E', fpsim::Area::kData, 32, 9990, true},
    {'G', fpsim::Area::kFile, 32, 32000, true},
    {'Y', fpsim::Area::kY, 16, 480, true},
    {'R', fpsim::Area::kR, 16, 850, true},
    {'L', fpsim::Area::kL, 16, 600, true},
    {'X', fpsim::Area::kX, 16, 480, false},
    {'T', fpsim::Area::kTimerCounter, 16, 150, false},
    {'V', fpsim::Area::kElapsedValue, 16, 3000, true},
    {'S', fpsim::Area::kSetValue, 16, 3000, true},
    {'R', fpsim::Area::kR, 1, 850, true},
    {'Y', fpsim::Area::kY, 1, 480, true},
};

// The controller's memory as the host believes it to be: every area, sized
// before the run so that the process's memory stays as it starts. A word not
// yet known is taken from the controller the first time it is needed.
class Model {
  public:
    explicit Model(fpsim::Simulator &simulator) : simulator_(simulator) {
        for (auto &area : words_)
            area.assign(kAreaWords, 0);
        for (auto &area : known_)
            area.assign(kAreaWords, false);
    }
    uint16_t &Word(fpsim::Area area, size_t index) {
        const size_t a = static_cast<size_t>(area);
        if (!known_[a][index]) {
            words_[a][index] = simulator_.ReadWord("01", area, index);
            known_[a][index] = true;
        }
        return words_[a][index];
    }
    // After a failed write the controller may or may not hold it: the model
    // takes the controller's word.
    void Relearn(fpsim::Area area, size_t index) {
        words_[static_cast<size_t>(area)][index] = simulator_.ReadWord("01", area, index);
        known_[static_cast<size_t>(area)][index] = true;
    }

  private:
    static constexpr size_t kAreaWords = 32768;
    fpsim::Simulator &simulator_;
    std::vector<uint16_t> words_[fpsim::kAreaCount];
    std::vector<bool> known_[fpsim::kAreaCount];
};

struct Tally {
    long ok = 0, refused = 0, line = 0, wrong = 0;
};

void Count(Tally &tally, int32_t status) {
    if (status == 0)
        ++tally.ok;
    else if (status == 1)
        ++tally.refused;
    else
        ++tally.line;
}

struct Transaction {
    const TagKind *kind;
    bool block;
    bool write;
    int32_t count;    // of a block, in values
    int32_t address;  // word address
    int32_t words;    // controller words touched
};

Transaction PickTransaction(std::mt19937 &rng) {
    Transaction t;
    t.kind = &kKinds[rng() % (sizeof kKinds / sizeof kKinds[0])];
    t.block = t.kind->width != 1 && rng() % 4 == 0;
    t.write = t.kind->writable && rng() % 2 == 0;
    // Blocks up to what one frame carries: 27 words read, 24 written.
    const unsigned maxCount = t.kind->width == 32 ? (t.write ? 12 : 13) : (t.write ? 24 : 27);
    t.count = t.block ? static_cast<int32_t>(1 + rng() % maxCount) : 0;
    t.address = static_cast<int32_t>(rng() % static_cast<unsigned>(t.kind->maxAddress));
    if (t.kind->width == 32)
        t.address &= ~1;
    const int32_t valueWords = t.kind->width == 32 ? 2 : 1;
    t.words = t.block ? valueWords * t.count : valueWords;
    return t;
}

// Faults this transaction's first answer, or its three, at the rate asked;
// returns the name of the fault.
std::string ScheduleFault(std::mt19937 &rng, double rate, const fpsim::Fault &late,
                          fpsim::Simulator &simulator) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(rng) >= rate)
        return "none";
    const auto &kinds = fpsim::AllFaultKinds();
    fpsim::Fault fault;
    fault.kind = kinds[rng() % kinds.size()];
    if (fault.kind == fpsim::FaultKind::kLate)
        fault = late;
    fault.errorCode = rng() % 2 ? 61 : 41;
    const bool persistent = rng() % 4 == 0;
    for (int i = 0; i < (persistent ? kAttempts : 1); ++i)
        simulator.FaultOnce(fault);
    return std::string(fpsim::FaultKindName(fault.kind)) + (persistent ? " x3" : "");
}

// The model after a write: a good one sets it; after a failed one it
// takes the controller's word.
void ModelWrite(Model &model, const Transaction &t, const TagAccess &access, const int16_t *data,
                int32_t status) {
    const fpsim::Area area = t.kind->area;
    const size_t first = static_cast<size_t>(t.address);
    if (t.kind->width == 1) {
        if (status != 0) {
            model.Relearn(area, first);
            return;
        }
        uint16_t &word = model.Word(area, first);
        const uint16_t bit = static_cast<uint16_t>(1u << access.bitNumber);
        word = static_cast<uint16_t>(data[1] != 0 ? word | bit : word & ~bit);
        return;
    }
    for (int i = 0; i < t.words; ++i) {
        const size_t index = first + static_cast<size_t>(i);
        if (status != 0) {
            model.Relearn(area, index);
            continue;
        }
        // A single 16-bit value goes from word 1 of the buffer; 32-bit values
        // and blocks from word 0 on.
        const bool fromWordOne = !t.block && t.kind->width == 16;
        model.Word(area, index) = static_cast<uint16_t>(fromWordOne ? data[1] : data[i]);
    }
}

// Whether a good read brought what the model holds.
bool ReadIsRight(Model &model, const Transaction &t, const TagAccess &access, const int16_t *data) {
    const fpsim::Area area = t.kind->area;
    const size_t first = static_cast<size_t>(t.address);
    if (t.kind->width == 1) {
        const uint16_t expected = model.Word(area, first);
        return data[0] == 0 && data[1] == ((expected >> access.bitNumber) & 1);
    }
    if (!t.block && t.kind->width == 16)
        return data[0] == 0 && static_cast<uint16_t>(data[1]) == model.Word(area, first);
    for (int i = 0; i < t.words; ++i) {
        if (static_cast<uint16_t>(data[i]) != model.Word(area, first + static_cast<size_t>(i)))
            return false;
    }
    return true;
}

long ResidentKilobytes() {
    FILE *status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    char line[256];
    long kb = 0;
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, "VmRSS:", 6) == 0)
            kb = atol(line + 6);
    }
    fclose(status);
    return kb;
}

int RunRandomFaults(const Options &o) {
    const Timing timing = TimingOf(o.timeout);
    std::mt19937 rng(o.seed);
    Clock::time_point simulatorStart;
    auto simulator = StartSimulator(&simulatorStart);
    Channel channel;
    if (simulator == nullptr || !channel.Start(simulator->DevicePath(), o.timeout)) {
        fprintf(stderr, "soak: the channel did not start\n");
        return 1;
    }
    // The late answer comes after its attempt's time-out and before the horizon.
    fpsim::Fault late;
    late.kind = fpsim::FaultKind::kLate;
    late.lateMs = static_cast<int>(timing.timeoutMs + timing.guardMs / 2);

    Model model(*simulator);
    std::map<std::string, Tally> byFault;
    Tally total;
    Longest longest;
    // Whatever the answers do, a transaction ends within its waits.
    const double boundMs = timing.WaitsMs() + kTransmitMs + kMachineMarginMs;
    const long rssBefore = ResidentKilobytes();
    long rssAfterWarmup = 0;

    for (long n = 0; n < o.transactions; ++n) {
        if (n == o.transactions / 10)
            rssAfterWarmup = ResidentKilobytes();
        const Transaction t = PickTransaction(rng);
        const std::string faultName = ScheduleFault(rng, o.faultRate, late, *simulator);

        int16_t data[64];
        for (int16_t &word : data)
            word = static_cast<int16_t>(rng());
        TagAccess access = {};
        access.station = 1;
        access.device = t.kind->device;
        access.wordAddress = t.address;
        access.width = t.kind->width;
        access.bitNumber = t.kind->width == 1 ? static_cast<int32_t>(rng() % 16) : 255;
        access.dataType = t.kind->width == 32 ? 3 : t.kind->width == 1 ? 6 : 0;
        access.count = t.count;
        access.data = data;
        if (t.kind->width == 1)
            data[1] = static_cast<int16_t>(rng() % 2);

        const int32_t command = t.write ? (t.block ? QIV_CMD_WRITE_BLOCK : QIV_CMD_WRITE_VALUE)
                                        : (t.block ? QIV_CMD_READ_BLOCK : QIV_CMD_READ_VALUE);
        OperationTimer timer;
        timer.Start();
        const int32_t status = channel.Call(command, &access);
        timer.Stop();
        longest.Add(timer);
        simulator->ClearFaults();
        simulator->ClearFrames();  // the simulator's log would grow with the run

        Tally &tally = byFault[faultName];
        Count(tally, status);
        Count(total, status);
        if (t.write) {
            ModelWrite(model, t, access, data, status);
        } else if (status == 0 && !ReadIsRight(model, t, access, data)) {
            ++tally.wrong;
            ++total.wrong;
            fprintf(stderr, "WRONG VALUE: transaction %ld, %c%d, fault %s\n", n, t.kind->device,
                    t.address, faultName.c_str());
        }
    }
    const long rssAfter = ResidentKilobytes();

    printf("soak: %ld transactions, seed %u, faults on %.1f%% of them, time-out %.0f ms\n",
           o.transactions, o.seed, 100 * o.faultRate, timing.timeoutMs);
    printf("%-18s %9s %9s %9s %9s\n", "fault", "ok", "status 1", "status 2", "wrong");
    for (const auto &entry : byFault) {
        const Tally &t = entry.second;
        printf("%-18s %9ld %9ld %9ld %9ld\n", entry.first.c_str(), t.ok, t.refused, t.line,
               t.wrong);
    }
    printf("%-18s %9ld %9ld %9ld %9ld\n", "all", total.ok, total.refused, total.line, total.wrong);
    printf(
        "longest transaction %.1f ms, %.1f ms less the waits for a core (3T + G = %.0f ms;\n"
        "bound with %.0f ms for the transmissions and %.0f ms for the machine: %.0f ms)\n",
        longest.elapsedMs, longest.driverMs, timing.WaitsMs(), kTransmitMs, kMachineMarginMs,
        boundMs);
    printf("resident memory %ld kB at start, %ld kB after a tenth, %ld kB at the end\n", rssBefore,
           rssAfterWarmup, rssAfter);
    // Memory stays flat: nothing grows with the number of transactions. Under
    // AddressSanitizer freed memory is held back on purpose, so there it is
    // not judged.
#if defined(__SANITIZE_ADDRESS__)
    const bool flat = true;
    printf("(memory not judged: AddressSanitizer keeps freed memory in quarantine)\n");
#else
    const bool flat = rssAfter - rssAfterWarmup < 1024;
#endif
    const bool ok = total.wrong == 0 && longest.driverMs <= boundMs && flat;
    printf("%s\n", ok ? "soak passed: no wrong value reported as a success" : "soak FAILED");
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------

bool ParseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sweep") {
            o.run = Run::kSweep;
            continue;
        }
        if (arg == "--chatter-run") {
            o.run = Run::kChatter;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "soak: %s needs a value\n", arg.c_str());
            return false;
        }
        const char *value = argv[++i];
        if (arg == "--transactions")
            o.transactions = atol(value);
        else if (arg == "--seed")
            o.seed = static_cast<unsigned>(atol(value));
        else if (arg == "--fault-rate")
            o.faultRate = atof(value);
        else if (arg == "--timeout")
            o.timeout = atoi(value);
        else if (arg == "--from")
            o.sweepFromMs = atoi(value);
        else if (arg == "--to")
            o.sweepToMs = atoi(value);
        else if (arg == "--step")
            o.sweepStepMs = atoi(value);
        else if (arg == "--reads")
            o.reads = atoi(value);
        else {
            fprintf(stderr, "soak: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    if (o.timeout == 0)
        o.timeout = o.run == Run::kRandomFaults ? 2 : 4;
    if (o.reads == 0)
        o.reads = o.run == Run::kSweep ? 5 : 10;
    // A time-out of 0 asks the driver to wait without end: nothing to time.
    if (o.timeout < 1 || o.reads < 1 || o.sweepStepMs < 1 || o.sweepFromMs < 0) {
        fprintf(stderr, "soak: the time-out, the reads and the step must be 1 or more\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!ParseOptions(argc, argv, o))
        return 2;
    kelpra_set_echo(0);
    switch (o.run) {
        case Run::kSweep:
            return RunSweep(o);
        case Run::kChatter:
            return RunChatter(o);
        case Run::kRandomFaults:
            break;
    }
    return RunRandomFaults(o);
}
