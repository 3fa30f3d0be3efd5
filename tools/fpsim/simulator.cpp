#include "tools/fpsim/simulator.h"

#include <stdio.h>

#include <algorithm>
#include <utility>

#include "tools/fpsim/frame.h"

namespace fpsim {

namespace {

// A request longer than this without a carriage return is noise: twice the
// longest extended frame, so that one somewhat too long is still answered
// with its error.
constexpr size_t kMaxRequestBytes = 4096;

using Clock = std::chrono::steady_clock;

Clock::duration CharTimes(const LineFormat &line, size_t chars) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(line.CharSeconds() * static_cast<double>(chars)));
}

}  // namespace

Simulator::Simulator(Options options)
    : options_(std::move(options)),
      bus_(options_.stations, options_.bus),
      chatterGapMs_(std::max(options_.chatterGapMs, 0)),
      chatterAnswers_(options_.chatterAnswers),
      transmitter_(options_.line.CharSeconds()),
      answerDelayMs_(std::max(options_.answerDelayMs, 0)) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::string *error) {
    if (Running()) {
        return true;
    }
    const struct {
        int value;
        const char *name;
    } times[] = {{options_.scanDelayMs, "scanDelayMs"},
                 {options_.answerDelayMs, "answerDelayMs"},
                 {options_.chatterGapMs, "chatterGapMs"}};
    for (const auto &time : times) {
        if (time.value < 0) {
            *error = std::string(time.name) + " is below 0";
            return false;
        }
    }
    for (const std::string &station : options_.stations) {
        Memory *memory = bus_.MemoryOf(station);
        if (options_.zeroMemory) {
            memory->Clear();
        }
    }
    if (!options_.linkPath.empty() && !options_.devicePath.empty()) {
        // The driver opens the far end of a device's line, which is no path
        // of this machine that a link could name.
        *error = "a link is published for a pseudo-terminal only, not for a device";
        return false;
    }
    for (const std::string &assignment : options_.assignments) {
        if (!bus_.Assign(assignment, error)) {
            return false;
        }
    }

    const bool tcp = options_.tcpPort >= 0;
    if (tcp && (!options_.linkPath.empty() || !options_.devicePath.empty())) {
        *error = "an Ethernet unit has no pseudo-terminal or device: no link or device with TCP";
        return false;
    }
    const bool opened = tcp ? line_.ListenTcp(options_.tcpPort, error)
                        : options_.devicePath.empty()
                            ? line_.OpenPseudoTerminal(options_.linkPath, error)
                            : line_.OpenDevice(options_.devicePath, options_.line, error);
    if (!opened) {
        return false;
    }
    // Nothing of an earlier run carries over but the chatter.
    transmitter_ = Transmitter(options_.line.CharSeconds());
    request_.clear();
    requestUnheard_.clear();
    disagreement_.clear();
    lineRestsUntil_ = TimePoint();
    {
        std::lock_guard<Mutex> lock(mutex_);
        chatterChanged_ = true;
    }
    stopping_ = false;
    started_ = Clock::now();
    if (!thread_.Start([this] { Serve(); })) {
        *error = "cannot start the serve thread";
        line_.Close();
        return false;
    }
    return true;
}

void Simulator::Stop() {
    if (thread_.Joinable()) {
        stopping_ = true;
        Wake();
        thread_.Join();
    }
    line_.Close();
}

std::string Simulator::PortPath() const {
    if (line_.TcpPort() != 0)
        return "tcp://127.0.0.1:" + std::to_string(line_.TcpPort());
    if (!options_.linkPath.empty())
        return options_.linkPath;
    if (!options_.devicePath.empty())
        return options_.devicePath;
    return line_.PseudoTerminalPath();
}

void Simulator::FaultOnce(const Fault &fault) {
    std::lock_guard<Mutex> lock(mutex_);
    faults_.Once(fault);
}

void Simulator::FaultEvery(int n, const Fault &fault) {
    std::lock_guard<Mutex> lock(mutex_);
    faults_.Every(n, fault);
}

void Simulator::FaultRandomly(double probability, uint32_t seed,
                              const std::vector<Fault> &choices) {
    std::lock_guard<Mutex> lock(mutex_);
    faults_.Randomly(probability, seed, choices);
}

void Simulator::ClearFaults() {
    std::lock_guard<Mutex> lock(mutex_);
    faults_.Clear();
    scripted_.clear();
}

void Simulator::ScriptNextAnswer(const std::string &bytes) {
    std::lock_guard<Mutex> lock(mutex_);
    scripted_.push_back(bytes);
}

void Simulator::SetAnswerDelay(int ms) {
    answerDelayMs_ = std::max(ms, 0);
}

void Simulator::SetChatter(int gapMs, bool answer, char noise) {
    {
        std::lock_guard<Mutex> lock(mutex_);
        chatterGapMs_ = std::max(gapMs, 0);
        chatterAnswers_ = answer;
        chatterByte_ = noise;
        chatterChanged_ = true;
    }
    Wake();
}

void Simulator::Wake() {
    line_.Wake();
}

uint16_t Simulator::ReadWord(const std::string &station, Area area, size_t index) {
    std::lock_guard<Mutex> lock(mutex_);
    return bus_.MemoryOf(station)->Word(area, index);
}

void Simulator::WriteWord(const std::string &station, Area area, size_t index, uint16_t value) {
    std::lock_guard<Mutex> lock(mutex_);
    bus_.MemoryOf(station)->SetWord(area, index, value);
}

std::vector<FrameRecord> Simulator::Frames() const {
    std::lock_guard<Mutex> lock(mutex_);
    return log_;
}

void Simulator::ClearFrames() {
    std::lock_guard<Mutex> lock(mutex_);
    log_.clear();
}

std::vector<FrameRecord> Simulator::TakeFrames() {
    std::lock_guard<Mutex> lock(mutex_);
    std::vector<FrameRecord> taken;
    taken.swap(log_);
    return taken;
}

bool Simulator::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<Mutex> lock(mutex_);
    return logChanged_.WaitFor(lock, timeout, [&] { return log_.size() >= count; });
}

void Simulator::Record(Direction direction, const std::string &bytes, const std::string &note,
                       TimePoint at) {
    const double ms = std::chrono::duration<double, std::milli>(at - started_).count();
    if (options_.verbose) {
        fprintf(stderr, "fpsim %10.3f ms %s %s%s%s\n", ms,
                direction == Direction::kReceived ? "<-" : "->", Printable(bytes).c_str(),
                note.empty() ? "" : "  ", note.c_str());
    }
    {
        std::lock_guard<Mutex> lock(mutex_);
        log_.push_back({ms, direction, bytes, note});
    }
    logChanged_.NotifyAll();
}

void Simulator::ApplyChatterChange() {
    int gapMs;
    char noise;
    {
        std::lock_guard<Mutex> lock(mutex_);
        if (!chatterChanged_) {
            return;
        }
        chatterChanged_ = false;
        gapMs = chatterGapMs_;
        noise = chatterByte_;
    }
    transmitter_.SetNoiseByte(noise);
    transmitter_.SetChatter(gapMs, Clock::now());
}

void Simulator::Serve() {
    while (!stopping_) {
        ApplyChatterChange();
        WaitAndReceive(WriteDue());
    }
}

bool Simulator::WriteDue() {
    for (;;) {
        const Transmitter::Piece piece = transmitter_.Due(Clock::now());
        if (piece.bytes.empty()) {
            return true;
        }
        const long n = line_.Write(piece.bytes.data(), piece.bytes.size());
        const TimePoint after = Clock::now();
        if (n == 0 && !piece.noise) {
            return false;
        }
        if (n <= 0) {
            // Noise that finds the line full is lost; so is an answer on a
            // line that fails (a device unplugged).
            transmitter_.Abandon(after);
            continue;
        }
        if (piece.noise) {
            ++noiseBytes_;
        }
        const auto answer = transmitter_.Sent(static_cast<size_t>(n), after);
        if (answer) {
            Record(Direction::kSent, answer->bytes, answer->note, after);
        }
    }
}

void Simulator::WaitAndReceive(bool writable) {
    TimePoint until = writable ? transmitter_.NextDue() : TimePoint::max();
    const bool resting = Clock::now() < lineRestsUntil_;
    if (resting) {
        until = std::min(until, lineRestsUntil_);
    }
    const SerialLine::Readiness ready = line_.Wait(!resting, !resting && !writable, until);
    if (stopping_ || !ready.input) {
        return;
    }
    char buffer[512];
    const long n = line_.Read(buffer, sizeof buffer);
    if (n > 0) {
        Receive(buffer, static_cast<size_t>(n), Clock::now());
    } else if (n < 0) {
        // The line is gone (a device unplugged, a master disconnected): leave
        // it a little and go on. What was still to go out was for a master
        // that no longer listens; the next must not take it for its answer.
        lineRestsUntil_ = Clock::now() + std::chrono::milliseconds(20);
        transmitter_ = Transmitter(options_.line.CharSeconds());
        request_.clear();
        std::lock_guard<Mutex> lock(mutex_);
        chatterChanged_ = true;
    }
}

std::string Simulator::JudgeLine() {
    MasterLine master;
    const std::string why = options_.judgeLine && line_.ReadMasterLine(&master)
                                ? LineDisagreement(options_.line, master)
                                : "";
    if (why != disagreement_ && options_.reportLine) {
        if (why.empty()) {
            fprintf(stderr, "fpsim: the master's line settings agree again: it is answered\n");
        } else {
            fprintf(stderr,
                    "fpsim: %s: the controller hears garbage and answers nothing "
                    "(--no-line-check answers anyway)\n",
                    why.c_str());
        }
    }
    disagreement_ = why;
    return why;
}

void Simulator::Receive(const char *bytes, size_t count, TimePoint arrival) {
    // The bytes came at the master's settings as they are now: at settings
    // that differ from the controller's they reach it as garbage, and any
    // frame that they are part of goes unanswered.
    const std::string garbage = JudgeLine();
    for (size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (c == kHeader || c == kExtendedHeader) {
            // A header starts a frame, also in the middle of a broken one.
            if (!request_.empty())
                Record(Direction::kReceived, request_, "incomplete frame", arrival);
            request_.assign(1, c);
            requestStart_ = arrival;
            requestUnheard_ = garbage;
        } else if (!request_.empty()) {
            request_ += c;
            if (requestUnheard_.empty())
                requestUnheard_ = garbage;
            if (c == kCarriageReturn) {
                HandleFrame(request_, requestStart_, arrival, requestUnheard_);
                request_.clear();
            } else if (request_.size() > kMaxRequestBytes) {
                Record(Direction::kReceived, request_, "no carriage return: dropped", arrival);
                request_.clear();
            }
        } else {
            Record(Direction::kReceived, std::string(1, c), "noise before a frame", arrival);
        }
    }
}

void Simulator::HandleFrame(const std::string &frame, TimePoint firstByte, TimePoint arrival,
                            const std::string &unheard) {
    if (!unheard.empty()) {
        Record(Direction::kReceived, frame, "not heard: " + unheard, arrival);
        return;
    }
    // On a real line the request's last character arrives one frame's line
    // time after its first; the controller answers a scan later, and the
    // answer delay after that. The request is executed now, so that its
    // answer shows the memory as it was when the request came.
    const TimePoint end = std::max(firstByte + CharTimes(options_.line, frame.size()), arrival);
    const TimePoint earliest =
        end + std::chrono::milliseconds(options_.scanDelayMs + answerDelayMs_.load());
    Outcome outcome;
    Fault fault;
    Delivery delivery;
    delivery.send = false;
    bool deaf = false;
    bool scripted = false;
    {
        std::lock_guard<Mutex> lock(mutex_);
        if (chatterGapMs_ > 0 && !chatterAnswers_) {
            deaf = true;
        } else if (!scripted_.empty()) {
            scripted = true;
            delivery.bytes = scripted_.front();
            delivery.send = !delivery.bytes.empty();
            scripted_.erase(scripted_.begin());
        } else {
            outcome = bus_.Handle(frame);
            if (outcome.answered) {
                fault = faults_.Next();
                delivery = ApplyFault(fault, outcome.response, faults_.Rng(), frame);
                delivery.send = delivery.send && !delivery.bytes.empty();
            }
        }
    }
    std::string note;
    if (deaf) {
        note = "not answered (the line chatters and reaches no station)";
    } else if (scripted) {
        note = "scripted answer";
    } else if (!outcome.answered) {
        note = "not answered (station " + outcome.station + ")";
    } else if (fault.kind != FaultKind::kNone) {
        note = std::string("fault: ") + FaultKindName(fault.kind);
    }
    Record(Direction::kReceived, frame, delivery.send ? "" : note, arrival);
    if (!delivery.before.empty()) {
        // An echo leaves as the request comes in: by now it is due whole.
        const TimePoint due = delivery.beforeMs == kWithTheRequest
                                  ? firstByte
                                  : end + std::chrono::milliseconds(delivery.beforeMs);
        transmitter_.Queue(delivery.before, due, note + " (ahead of the answer)");
    }
    if (delivery.send) {
        transmitter_.Queue(delivery.bytes,
                           earliest + std::chrono::milliseconds(delivery.extraDelayMs), note,
                           delivery.repeatGapMs);
    }
}

}  // namespace fpsim
