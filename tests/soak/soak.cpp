// The soak: the driver through QivMain against the controller simulator on a
// pseudo-terminal, every value that a read reports as good judged against
// what the controller holds.
//
//   qivma_soak [--transactions N] [--seed S] [--fault-rate P] [--timeout UNITS] [--line F]
//       Seeded transactions mixing every operation, device and width, with a
//       share of the answers faulted in every way the simulator knows (a late
//       answer within the horizon or beyond it, a second copy after a gap).
//       --line late: besides, the first answer of one transaction in 50 comes
//       H + 5 to H + 100 ms after its request; --line double: it comes twice,
//       the copy 0 to 2 x T after the first; --line lossy: one answer in 20
//       (the markers' too) never comes, and the host clears txFrame before
//       one transaction in two, so that the station is doubtful then: no
//       transaction may fail unless every one of its attempts was spoiled
//       (or spent on a status answer that a dropped one was owed).
//       Time-out 2 (20 ms) unless given.
//   qivma_soak --sweep [--from MS] [--to MS] [--step MS] [--reads N] [--timeout UNITS]
//       Every answer comes d ms after its request, d from --from (0) to --to
//       (three times the horizon) in steps of --step (5 ms), --reads reads (5)
//       at each d. Time-out 4 (40 ms) unless given.
//   qivma_soak --chatter-run [--reads N] [--timeout UNITS]
//       A line that carries noise bytes, to a silent station and to one that
//       answers between them; --reads reads (10) in each case. Time-out 4
//       (40 ms) unless given.
//
// What the runs assert: no wrong value reported as a success, however late
// an answer comes. The one exception is a station that sends an answer
// twice, whose copy arrives while the next request waits for its answer:
// nothing tells that copy from the answer, so the read that takes it is
// counted apart, and no doubled answer may cost more than that one read.
// Further: every read whose answer came within the horizon good (the sweep,
// and the station that answers between noise); memory that stays flat (the
// seeded run). Which answers came within the horizon is told by what happened
// on the line (LineJudge), not by the delay asked for, so that a busy
// machine, which can make any answer late, cannot fail a run. The times of
// the operations are printed beside the driver's bounds, with and without
// the slack that the scheduler's wake-ups need, and not judged: on a shared
// machine they measure the machine as much as the driver. The unit tests hold
// the bounds exactly, on the fake platform's virtual clock.
//
// Exit status 0 when every property held, 1 when one did not, 2 when the
// command line cannot be followed.
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/kelpra.h"
#include "protocol/transactions.h"
#include "qivma.h"
#include "serial/exchange.h"
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
    int sweepToMs = -1;  // -1: three times the horizon
    int sweepStepMs = 5;
    int reads = 0;  // per d, or per chatter case; 0 until chosen
    // A line that puts something that is no answer ahead of answers: "echo"
    // (every request echoed), "noise" or "foreign" (once in every 20
    // answers); a station that answers one transaction in 50 beyond the
    // horizon ("late") or twice ("double"); empty for a plain line.
    std::string line;
};

// The answer to a read of one word: "%", station, "$", echo, four digits,
// block check and carriage return.
constexpr int kOneWordAnswerChars = 13;
// The share of answers that a lossy line loses.
constexpr double kLossRate = 0.05;
// The status answer, which a marker's attempt waits for.
constexpr int kStatusAnswerChars = 25;

// What the scheduler may add to each of the driver's waits on a machine that
// is not stalled: a wait ends when its thread runs again, not at its deadline.
// Measured in every run (PrintWakeUpLateness) and printed beside it.
constexpr double kWakeSlackMs = 2;

// The driver's times for a channel whose read time-out is T: after its last
// frame a transaction listens for answers still on their way until the
// horizon H = T + G, G being the guard.
struct Timing {
    double timeoutMs;
    double guardMs;
    double horizonMs;
    // An answer's line time with its slack: its characters and one more at
    // 19200 bit/s with 11 bits each, and 5 ms.
    static double LineMs(int answerChars) {
        return ceil((answerChars + 1) * 11 * 1000.0 / 19200) + 5;
    }
    // The bound of an operation whose answer has `answerChars` characters
    // and which sent `markers` status requests first:
    //   m x (Xm + T + Lm) + r x (X + T + L) + w x (G + 3 ms)
    // r being the frames of the request (three, less the markers that went
    // unanswered, and at least one), w the waits until a horizon (one, and at most one more a
    // marker: after an error answer to it, or after the third), X the frame's
    // RTS lead (a pseudo-terminal takes the frame at once), L the answer's
    // line time and Lm the status answer's. Printed beside the longest
    // operations; the unit tests hold it.
    static int RequestFrames(int markers) {
        return markers == 0 ? kAttempts : kAttempts + 1 - markers;
    }
    double BoundMs(int answerChars, int markers) const {
        return markers * (kRtsLeadMs + timeoutMs + LineMs(kStatusAnswerChars)) +
               RequestFrames(markers) * (kRtsLeadMs + timeoutMs + LineMs(answerChars)) +
               (1 + markers) * (guardMs + kHorizonMarginMs);
    }
    // The slack for the waits that may end late: two a frame (its RTS lead
    // and its listening; the last frame's listening ends in the wait until
    // the horizon), the markers among them.
    static double SlackMs(int markers) {
        return (markers + RequestFrames(markers)) * 2 * kWakeSlackMs;
    }
};

Timing TimingOf(int32_t timeoutUnits) {
    const uint32_t timeoutMs = static_cast<uint32_t>(timeoutUnits) * 10;
    const uint32_t horizonMs = AnswerHorizonMs(timeoutMs);
    return {static_cast<double>(timeoutMs), static_cast<double>(horizonMs - timeoutMs),
            static_cast<double>(horizonMs)};
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

Clock::duration Duration(double ms) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
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

// How late a wait of 1 ms in poll, as the driver's waits on a
// pseudo-terminal are, ends on this machine now; printed beside the slack
// that the bounds allow each wait.
void PrintWakeUpLateness() {
    constexpr int kWaits = 200;
    std::vector<double> lateMs;
    for (int i = 0; i < kWaits; ++i) {
        const Clock::time_point before = Clock::now();
        poll(nullptr, 0, 1);
        lateMs.push_back(Ms(Clock::now() - before) - 1);
    }
    std::sort(lateMs.begin(), lateMs.end());
    printf(
        "wake-ups: %d waits of 1 ms ended late by %.2f ms (median), %.2f ms (99th), %.2f ms\n"
        "(longest); the bounds allow each of the driver's waits %.0f ms more.\n",
        kWaits, lateMs[kWaits / 2], lateMs[kWaits * 99 / 100], lateMs.back(), kWakeSlackMs);
}

// The time of an operation, and that time less the part that the calling
// thread spent waiting for a core: on a busy machine the second is nearer to
// what the driver itself took. Where the kernel does not tell, both are the
// whole time.
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

// The longest operations of a part of a run, and how many took longer than
// their bound, and than their bound with the slack for late wake-ups.
struct Longest {
    double elapsedMs = 0;
    double driverMs = 0;  // less the waits for a core
    long overBound = 0, overSlack = 0;
    void Add(const OperationTimer &timer, double boundMs, double slackMs) {
        elapsedMs = std::max(elapsedMs, timer.ElapsedMs());
        driverMs = std::max(driverMs, timer.DriverMs());
        overBound += timer.ElapsedMs() > boundMs ? 1 : 0;
        overSlack += timer.ElapsedMs() > boundMs + slackMs ? 1 : 0;
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
    // As a host that clears the whole of txFrame does: every station is
    // doubtful afterwards.
    void ClearTxFrame() {
        DriverInstance *instance = reinterpret_cast<DriverInstance *>(block_.data());
        memset(instance->txFrame, 0, sizeof instance->txFrame);
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

std::unique_ptr<fpsim::Simulator> StartSimulator() {
    fpsim::Options options;
    options.scanDelayMs = 0;  // the answer's time is the one that the run sets
    auto simulator = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    if (!simulator->Start(&error)) {
        fprintf(stderr, "soak: %s\n", error.c_str());
        return nullptr;
    }
    return simulator;
}

std::string Printable(const char *bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        text += c == '\r' ? '|' : c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    return text;
}

// ---------------------------------------------------------------------------
// What happened on the line, on one clock: each frame that the driver wrote,
// at the moment its line monitor reports it gone out, and the requests and
// answers in the simulator's frame log.
//
// The driver takes or throws away every answer that goes out within the
// horizon H of its transaction's last frame. An answer that goes out later,
// whatever made it late (the delay that a run asks for, or a busy machine
// that woke the simulator's thread late), reaches a later transaction, which
// brings the station in step first and may fail for it: it must not report a
// wrong value, but it need not succeed. So a transaction is judged (must be
// good) only when its answer went out in time and no answer to an earlier one
// went out past its time where it could reach it.
//
// Judged on what happened, with a margin for what the log cannot show. The
// times are the simulator's log (an answer went out when its write returned)
// and the moments at which the monitor saw the driver's frames leave; a
// thread held up between a write and its clock only makes a time later, so
// neither can make a late answer look early. What neither shows is how long
// the bytes take to cross the pseudo-terminal, which the kernel passes on in
// a worker of its own: microseconds on an idle machine, milliseconds when
// every core is busy. So:
// - an answer is in time when it went out no later than H + kHorizonMarginMs
//   (the driver listens that much past H) less kCrossingMs after the last
//   frame of its transaction left;
// - a second copy of an answer (the fault "double") waits for no horizon: it
//   is in time when it went out kCrossingMs before the next transaction
//   began, which throws away what waits on the line;
// - an answer that was not in time may have been taken by any transaction
//   that ran within kReachMs of when the log has it gone out: after, for its
//   crossing, and before, for the simulator's thread may be held up between
//   its write and the clock that stamps it.
constexpr double kCrossingMs = 10;
// More than the crossing is given: reaching too far costs only reads judged.
constexpr double kReachMs = 25;

class LineJudge {
  public:
    LineJudge(fpsim::Simulator &simulator, double horizonMs, double timeoutMs = 0)
        : simulator_(simulator),
          origin_(simulator.LogStart()),
          inTime_(Duration(horizonMs + kHorizonMarginMs - kCrossingMs)),
          attemptTime_(Duration(timeoutMs - kCrossingMs)) {
        QivSetLineMonitor(&LineJudge::OnLine, this);
    }
    ~LineJudge() { QivSetLineMonitor(nullptr, nullptr); }
    LineJudge(const LineJudge &) = delete;
    LineJudge &operator=(const LineJudge &) = delete;

    // Transaction `n` (numbered from 0, in the order they run) begins; End
    // once its call has returned.
    void Begin(long n) {
        const Clock::time_point now = Clock::now();
        Span span;
        span.n = n;
        span.start = span.end = span.lastWrite = now;
        spans_.push_back(span);
        while (spans_.size() > kSpansKept)
            spans_.pop_front();
        current_ = n;
        // Second copies that went out before this transaction began.
        for (const PendingCopy &copy : copies_) {
            if (copy.sentAt > now - Duration(kCrossingMs)) {
                ++lateCopies_;
                Spill(copy.transaction, copy.sentAt);
            }
        }
        copies_.clear();
        // Late answers that may still be crossing.
        for (const Reach &reach : reaches_) {
            if (n > reach.after && now <= reach.until)
                reached_.push_back(n);
        }
        while (!reaches_.empty() && reaches_.front().until < now)
            reaches_.pop_front();
        while (!reached_.empty() &&
               (reached_.front() < spans_.front().n || reached_.size() > kSpansKept))
            reached_.pop_front();
    }
    void End() {
        if (Span *span = SpanOf(current_)) {
            span->end = Clock::now();
            span->ended = true;
        }
        current_ = -1;
    }

    // Takes in what the simulator has logged so far.
    void Collect() {
        for (const fpsim::FrameRecord &frame : simulator_.TakeFrames()) {
            const Clock::time_point at = origin_ + Duration(frame.ms);
            Remember(at, frame.direction == fpsim::Direction::kSent ? "sim ->" : "sim <-",
                     Printable(frame.bytes.data(), frame.bytes.size()) +
                         (frame.note.empty() ? "" : "  (" + frame.note + ")"));
            if (frame.direction == fpsim::Direction::kReceived) {
                TakeRequest(frame, at);
            } else {
                TakeAnswer(frame, at);
                lastAnswerAt_ = std::max(lastAnswerAt_, at);
            }
        }
        SettleCopies(false);
    }

    // Collects until every frame that the driver wrote has reached the
    // simulator and every answer owed has gone out, then lets the last of
    // them cross, so that what one part of a run sent cannot reach the next:
    // it waits on the line and is thrown away. False after 10 s.
    bool WaitUntilQuiet() {
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10);
        Collect();
        while (!writes_.empty() || !owed_.empty() || copiesOwed_ > 0) {
            if (Clock::now() >= giveUp) {
                fprintf(stderr, "soak: the line did not go quiet\n");
                return false;
            }
            simulator_.WaitForFrames(1, std::chrono::milliseconds(100));
            Collect();
        }
        std::this_thread::sleep_until(lastAnswerAt_ + Duration(kReachMs));
        SettleCopies(true);
        return true;
    }

    // Whether an answer to an earlier transaction went out past its time
    // where transaction `n` could have taken it.
    bool Reached(long n) const {
        return std::find(reached_.begin(), reached_.end(), n) != reached_.end();
    }
    // How long after a transaction's last frame an answer is in time.
    double InTimeMs() const { return Ms(inTime_); }
    // Whether an answer to transaction `n`'s request (not to a marker that
    // went first) went out in time.
    bool AnsweredInTime(long n) const {
        const Span *span = SpanOf(n);
        return span != nullptr && span->inTime;
    }
    // The markers (status requests) that the driver sent first in
    // transaction `n`: it found the station doubtful.
    int Markers(long n) const {
        const Span *span = SpanOf(n);
        return span != nullptr ? span->markers : 0;
    }
    // Whether transaction `n` had an attempt whose answer was neither
    // dropped by the simulator nor later than its time-out: a failure then
    // cost more than the attempts that the line spoiled.
    // `owedInVain`: status answers that the driver may still count as owed
    // though the simulator dropped them; each may cost an attempt.
    bool HadAGoodAttempt(long n, int owedInVain) const {
        const Span *span = SpanOf(n);
        return span != nullptr && span->lost + span->slow + owedInVain < kAttempts;
    }
    // Status requests of transaction `n` whose answer the simulator dropped.
    int LostMarkers(long n) const {
        const Span *span = SpanOf(n);
        return span != nullptr ? span->lostMarkers : 0;
    }
    // Answers that went out past their time, since the start, and of them
    // the second copies.
    long Spills() const { return spills_; }
    // Frames that the line put ahead of answers.
    long AheadOfAnswers() const { return aheadOfAnswers_; }
    long LateCopies() const { return lateCopies_; }
    // Answers of the fault "late" that went out past their time.
    long LateAnswersSpilled() const { return lateSpills_; }

    // A wrong value that transaction `n` reported is the second copy of an
    // earlier transaction's answer when such a copy went out while `n` ran,
    // after the driver had thrown away what waited before it: nothing tells
    // that copy from `n`'s own answer. Each copy can explain one read only;
    // true if one was left to explain this one.
    bool TakeCopy(long n) {
        const Span *span = SpanOf(n);
        if (span == nullptr)
            return false;
        // A copy that went out while `n` ran first; then one as near as the
        // crossing and the simulator's clock leave in doubt.
        const Clock::duration margins[][2] = {{Clock::duration::zero(), Clock::duration::zero()},
                                              {Duration(kCrossingMs), Duration(kReachMs)}};
        for (const auto &margin : margins) {
            for (Copy &copy : copyLog_) {
                if (copy.transaction < n && copy.takenBy < 0 &&
                    copy.at >= span->start - margin[0] && copy.at <= span->end + margin[1]) {
                    copy.takenBy = n;
                    Remember(copy.at, "judge",
                             "the copy of transaction " + std::to_string(copy.transaction) +
                                 "'s answer, taken by transaction " + std::to_string(n));
                    return true;
                }
            }
        }
        return false;
    }
    // Second copies that went out; of them those that came while a later
    // transaction's request waited for its answer, having wholly gone out, and
    // those that came after that transaction began and before its request
    // had gone out (a pseudo-terminal shows the driver no difference).
    long CopiesSent() const { return copiesSent_; }
    long CopiesAfterRequest() const { return copiesAfterRequest_; }
    long CopiesDuringRequest() const { return copiesDuringRequest_; }

    // How long after the simulator took in its request each answer went
    // out, by the simulator's own clock, since the last ResetLags: the
    // shortest and the longest.
    void ResetLags() { shortestLagMs_ = longestLagMs_ = -1; }
    double ShortestLagMs() const { return shortestLagMs_; }
    double LongestLagMs() const { return longestLagMs_; }

    // On the simulator's log's clock.
    double MsOf(Clock::time_point at) const { return Ms(at - origin_); }
    // The last lines of the line's history, for whoever has to find out why
    // a run failed.
    void PrintHistory() const {
        for (const std::string &line : history_)
            fprintf(stderr, "  %s\n", line.c_str());
    }

  private:
    struct Span {
        long n = -1;
        Clock::time_point start, end, lastWrite;
        bool ended = false, written = false, inTime = false;
        int markers = 0;
        // Frames of the transaction whose answer the simulator dropped, and
        // those answered too late for their attempt's time-out.
        int lost = 0, slow = 0, lostMarkers = 0;
        // When the first frame of the host's request had gone out, by the
        // driver's monitor and by the simulator's log.
        bool requestOut = false, requestHeard = false;
        Clock::time_point requestOutAt, requestHeardAt;
    };
    struct Written {
        long transaction;
        Clock::time_point at;
        bool marker;
    };
    struct PendingCopy {
        long transaction;
        Clock::time_point sentAt;
    };
    // Every second copy, until it is known where it landed.
    struct Copy {
        long transaction;
        Clock::time_point at;
        long takenBy = -1;
        bool settled = false;
    };
    // A late answer that transactions after `after` may take if they run
    // before `until`.
    struct Reach {
        long after;
        Clock::time_point until;
    };
    struct Owed {
        long transaction;
        Clock::time_point received;  // by the simulator's log
        Clock::time_point written;   // by the driver's monitor
        bool marker;
    };
    static constexpr size_t kSpansKept = 256;
    static constexpr size_t kHistoryKept = 400;

    static void QIVMA_CALL OnLine(void *context, const QivLineEvent *event) {
        const Clock::time_point now = Clock::now();
        auto *judge = static_cast<LineJudge *>(context);
        const char *kind = event->kind == QIV_LINE_WRITTEN ? "driver wrote"
                           : event->kind == QIV_LINE_READ  ? "driver read"
                                                           : "driver threw away";
        const std::string bytes = Printable(event->bytes, event->count);
        judge->Remember(now, kind, bytes);
        if (event->kind != QIV_LINE_WRITTEN || judge->current_ < 0)
            return;
        const bool marker = bytes.find("#RT") != std::string::npos;
        judge->writes_.push_back({judge->current_, now, marker});
        if (Span *span = judge->SpanOf(judge->current_)) {
            span->lastWrite = now;
            span->written = true;
            span->markers += marker ? 1 : 0;
            if (!marker && !span->requestOut) {
                span->requestOut = true;
                span->requestOutAt = now;
            }
        }
    }

    Span *SpanOf(long n) {
        for (Span &span : spans_) {
            if (span.n == n)
                return &span;
        }
        return nullptr;
    }
    const Span *SpanOf(long n) const { return const_cast<LineJudge *>(this)->SpanOf(n); }

    // A frame that reached the simulator: the driver's next one written.
    void TakeRequest(const fpsim::FrameRecord &frame, Clock::time_point at) {
        const bool whole =
            !frame.bytes.empty() && frame.bytes.front() == '%' && frame.bytes.back() == '\r';
        if (!whole || writes_.empty())
            return;  // noise, or the rest of a broken frame: nobody wrote it as such
        const Written written = writes_.front();
        writes_.pop_front();
        Span *span = SpanOf(written.transaction);
        if (span != nullptr && !written.marker && !span->requestHeard) {
            span->requestHeard = true;
            span->requestHeardAt = at;
        }
        // A request that the simulator answers carries no note; the fault
        // that its answer will carry is noted with the answer.
        if (frame.note.empty())
            owed_.push_back({written.transaction, at, written.at, written.marker});
        else if (span != nullptr && frame.note.find("no-answer") != std::string::npos) {
            ++span->lost;
            span->lostMarkers += written.marker ? 1 : 0;
        }
    }

    // An answer went out at `at`: the one owed longest, or a second copy of
    // the one before.
    void TakeAnswer(const fpsim::FrameRecord &frame, Clock::time_point at) {
        // What the line puts ahead of an answer (an echo, noise, another
        // station's answer) answers no request.
        if (frame.note.find("(ahead of the answer)") != std::string::npos) {
            ++aheadOfAnswers_;
            return;
        }
        const std::string kSecondCopy = "(second copy)";
        const bool secondCopy = frame.note.size() >= kSecondCopy.size() &&
                                frame.note.compare(frame.note.size() - kSecondCopy.size(),
                                                   kSecondCopy.size(), kSecondCopy) == 0;
        if (secondCopy) {
            copiesOwed_ = std::max(copiesOwed_ - 1, 0);
            ++copiesSent_;
            copyLog_.push_back({lastAnswered_, at});
            if (Span *next = SpanOf(lastAnswered_ + 1)) {
                if (at > next->start - Duration(kCrossingMs)) {
                    ++lateCopies_;
                    Spill(lastAnswered_, at);
                }
            } else {
                copies_.push_back({lastAnswered_, at});
            }
            return;
        }
        if (owed_.empty())
            return;
        const Owed request = owed_.front();
        owed_.pop_front();
        lastAnswered_ = request.transaction;
        if (frame.note.rfind("fault: double", 0) == 0)
            ++copiesOwed_;
        const double lagMs = Ms(at - request.received);
        shortestLagMs_ = shortestLagMs_ < 0 ? lagMs : std::min(shortestLagMs_, lagMs);
        longestLagMs_ = std::max(longestLagMs_, lagMs);
        Span *span = SpanOf(request.transaction);
        if (span != nullptr && at > request.written + attemptTime_)
            ++span->slow;
        // A marker's answer is in time by the marker's own frame; it answers
        // nothing that the host asked.
        const bool inTime =
            request.marker ? at <= request.written + inTime_
                           : span != nullptr && span->written && at <= span->lastWrite + inTime_;
        if (inTime && !request.marker) {
            span->inTime = true;
        } else if (!inTime) {
            if (frame.note.rfind("fault: late", 0) == 0)
                ++lateSpills_;
            Spill(request.transaction, at);
        }
    }

    // Where each second copy landed, once the transaction that it may have
    // landed in has ended (`all`: every one, the line being quiet): while a
    // later transaction's request waited for its answer, or while the
    // request went out, or between transactions (thrown away by the next).
    void SettleCopies(bool all) {
        const Clock::time_point latestStart =
            spans_.empty() ? Clock::time_point() : spans_.back().start;
        for (Copy &copy : copyLog_) {
            if (copy.settled || (!all && copy.at >= latestStart))
                continue;
            copy.settled = true;
            for (const Span &span : spans_) {
                if (span.n <= copy.transaction || !span.ended || !span.requestOut ||
                    copy.at < span.start || copy.at > span.end)
                    continue;
                const Clock::time_point out = span.requestHeard
                                                  ? std::min(span.requestOutAt, span.requestHeardAt)
                                                  : span.requestOutAt;
                ++(copy.at >= out ? copiesAfterRequest_ : copiesDuringRequest_);
            }
        }
        while (copyLog_.size() > kSpansKept && copyLog_.front().settled)
            copyLog_.pop_front();
    }

    // An answer to transaction `t` went out at `at`, past its time: every
    // later transaction that ran within kReachMs of then may have been
    // reached by it, also those that begin only after this is known.
    void Spill(long t, Clock::time_point at) {
        ++spills_;
        const Clock::time_point until = at + Duration(kReachMs);
        for (const Span &span : spans_) {
            if (span.n > t && span.start <= until &&
                (!span.ended || span.end >= at - Duration(kReachMs)) && !Reached(span.n))
                reached_.push_back(span.n);
        }
        reaches_.push_back({std::max(t, spans_.empty() ? t : spans_.back().n), until});
        char text[96];
        snprintf(text, sizeof text, "an answer to transaction %ld went out past its time", t);
        Remember(at, "judge", text);
    }

    void Remember(Clock::time_point at, const char *what, const std::string &text) {
        char when[32];
        snprintf(when, sizeof when, "%10.3f ms", MsOf(at));
        history_.push_back(std::string(when) + " " + what + " " + text);
        while (history_.size() > kHistoryKept)
            history_.pop_front();
    }

    fpsim::Simulator &simulator_;
    Clock::time_point origin_;
    Clock::duration inTime_;       // after a transaction's last frame
    Clock::duration attemptTime_;  // after its own frame, for an attempt to take it
    long current_ = -1;
    std::deque<Span> spans_;
    std::deque<Written> writes_;  // written, not yet logged by the simulator
    std::deque<Owed> owed_;       // requests logged as answered, their answers not yet out
    std::vector<PendingCopy> copies_;
    std::deque<Copy> copyLog_;
    long lastAnswered_ = -1;
    int copiesOwed_ = 0;
    std::deque<Reach> reaches_;
    std::deque<long> reached_;
    long spills_ = 0;
    long lateSpills_ = 0;
    long aheadOfAnswers_ = 0;
    long lateCopies_ = 0;
    long copiesSent_ = 0, copiesAfterRequest_ = 0, copiesDuringRequest_ = 0;
    Clock::time_point lastAnswerAt_{};
    double shortestLagMs_ = -1;
    double longestLagMs_ = -1;
    std::deque<std::string> history_;
};

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

enum class Result { kGood, kFailed, kWrong };

struct ReadRecord {
    long n;                 // the transaction's number
    double startMs, endMs;  // on the simulator's log's clock
    double driverMs;        // less the waits for a core
    int markers;            // status requests sent first: the station was doubtful
    int32_t status;
    int32_t address;
    int16_t word0;
    uint16_t got, holds;
    Result result;
};

struct ReadTally {
    long good = 0, failed = 0, wrong = 0;
    // Good reads that found the station doubtful and brought it in step.
    long goodAfterMarker = 0;
    // After Judge: reads that no late answer of another could reach and
    // whose own answer came in time, and of those the ones not good.
    long judged = 0, missed = 0;
    Longest longest;
    std::vector<ReadRecord> reads;
};

// Single-word reads of the registers in turn, each a transaction of the judge.
class RegisterReader {
  public:
    RegisterReader(Channel &channel, DistinctRegisters &registers, LineJudge &judge,
                   const Timing &timing)
        : channel_(channel), registers_(registers), judge_(judge), timing_(timing) {}

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
        const long n = next_++;
        OperationTimer timer;
        judge_.Begin(n);
        timer.Start();
        const int32_t status = channel_.Call(QIV_CMD_READ_VALUE, &access);
        timer.Stop();
        judge_.End();
        const int markers = judge_.Markers(n);
        tally.longest.Add(timer, timing_.BoundMs(kOneWordAnswerChars, markers),
                          Timing::SlackMs(markers));
        const uint16_t got = static_cast<uint16_t>(data[1]);
        Result result = Result::kGood;
        if (status != 0) {
            result = Result::kFailed;
            ++tally.failed;
        } else if (stationSilent || data[0] != 0 || got != registers_.Value(i)) {
            result = Result::kWrong;
            ++tally.wrong;
        } else {
            ++tally.good;
            tally.goodAfterMarker += markers > 0 ? 1 : 0;
        }
        const double startMs = judge_.MsOf(timer.Started());
        tally.reads.push_back({n, startMs, startMs + timer.ElapsedMs(), timer.DriverMs(), markers,
                               status, access.wordAddress, data[0], got, registers_.Value(i),
                               result});
    }

  private:
    Channel &channel_;
    DistinctRegisters &registers_;
    LineJudge &judge_;
    const Timing &timing_;
    long next_ = 0;
};

// Judges the reads of a part once the line is quiet after them.
void Judge(ReadTally &tally, const LineJudge &judge) {
    tally.judged = tally.missed = 0;
    for (const ReadRecord &r : tally.reads) {
        const bool reached = judge.Reached(r.n);
        if (!reached && judge.AnsweredInTime(r.n)) {
            ++tally.judged;
            if (r.result != Result::kGood)
                ++tally.missed;
        }
    }
}

// The reads of a part that failed, and the line's history, for whoever has
// to find out why.
void PrintTrace(const ReadTally &tally, const LineJudge &judge) {
    for (const ReadRecord &r : tally.reads)
        fprintf(stderr,
                "  read %ld D%d %10.3f .. %10.3f ms (%.1f ms less the waits for a core): "
                "status %d, 0x%04X (word 0: %d; the register holds 0x%04X)%s%s%s\n",
                r.n, r.address, r.startMs, r.endMs, r.driverMs, r.status, r.got, r.word0, r.holds,
                r.markers > 0 ? ", after the marker" : "",
                judge.AnsweredInTime(r.n) ? "" : ", no answer in time",
                judge.Reached(r.n) ? ", reached by a late answer" : "");
    judge.PrintHistory();
}

// ---------------------------------------------------------------------------
// The sweep of late answers.

// A step whose answers are in time, by d, but whose reads were not all
// judged (an answer went out past its time: the machine was busy) is run
// again, up to this many times; what the last try shows is reported.
constexpr int kStepTries = 5;

struct Step {
    ReadTally tally;
    double shortestLagMs = 0, longestLagMs = 0;
};

// The reads of one d, judged once the line is quiet after them.
bool RunStep(fpsim::Simulator &simulator, LineJudge &judge, RegisterReader &reader, int d,
             int reads, Step &step) {
    simulator.SetAnswerDelay(d);
    step.tally = ReadTally();
    judge.ResetLags();
    for (int r = 0; r < reads; ++r)
        reader.Read(false, step.tally);
    if (!judge.WaitUntilQuiet())
        return false;
    Judge(step.tally, judge);
    step.shortestLagMs = judge.ShortestLagMs();
    step.longestLagMs = judge.LongestLagMs();
    return true;
}

int RunSweep(const Options &o) {
    const Timing timing = TimingOf(o.timeout);
    const int toMs = o.sweepToMs >= 0 ? o.sweepToMs : static_cast<int>(3 * timing.horizonMs);
    auto simulator = StartSimulator();
    Channel channel;
    if (simulator == nullptr || !channel.Start(simulator->DevicePath(), o.timeout)) {
        fprintf(stderr, "soak: the channel did not start\n");
        return 1;
    }
    LineJudge judge(*simulator, timing.horizonMs);
    DistinctRegisters registers(*simulator);
    RegisterReader reader(channel, registers, judge, timing);

    printf(
        "Late answers: every answer d ms after its request; time-out T %.0f ms, guard G %.0f ms,\n"
        "horizon H = T + G = %.0f ms; %d reads of distinct registers at each d.\n"
        "Asserted: no wrong value at any d, and every read whose answer went out within H of its\n"
        "last frame good (\"judged\": such reads that no answer of an earlier one past its time\n"
        "could reach). \"marker\": good reads that found the station doubtful and brought it in\n"
        "step first. \"lag\": when the answers went out after their request. Printed, not judged:\n"
        "the longest operation, and less the waits for a core (\"driver ms\"), against its bound\n"
        "m x (Xm + T + Lm) + r x (X + T + L) + w x (G + 3) = %.0f ms in step (%.0f ms at most\n"
        "doubtful); \"over\": operations longer than their bound, and than their bound with the\n"
        "slack (%.0f ms, %.0f ms doubtful).\n",
        timing.timeoutMs, timing.guardMs, timing.horizonMs, o.reads,
        timing.BoundMs(kOneWordAnswerChars, 0), timing.BoundMs(kOneWordAnswerChars, kAttempts),
        Timing::SlackMs(0), Timing::SlackMs(kAttempts));
    PrintWakeUpLateness();
    printf("%6s %5s %5s %6s %6s %5s %7s %10s %9s %7s %15s %5s\n", "d ms", "reads", "good", "marker",
           "failed", "wrong", "judged", "longest ms", "driver ms", "over", "lag ms", "tries");
    bool ok = true;
    bool beyondShown = false;
    ReadTally beyondH;
    for (int d = o.sweepFromMs; d <= toMs; d += o.sweepStepMs) {
        const bool beyond = d > timing.horizonMs;
        if (beyond && !beyondShown) {
            printf("---- beyond the horizon (d > %.0f ms) ----\n", timing.horizonMs);
            beyondShown = true;
        }
        Step step;
        int tries = 0;
        for (;;) {
            ++tries;
            if (!RunStep(*simulator, judge, reader, d, o.reads, step))
                return 1;
            const bool allJudged = step.tally.judged == o.reads;
            if (allJudged || d + 1 > judge.InTimeMs() || tries == kStepTries)
                break;
        }
        const ReadTally &tally = step.tally;
        printf("%6d %5d %5ld %6ld %6ld %5ld %7ld %10.1f %9.1f %3ld %3ld %6.1f .. %5.1f %5d\n", d,
               o.reads, tally.good, tally.goodAfterMarker, tally.failed, tally.wrong, tally.judged,
               tally.longest.elapsedMs, tally.longest.driverMs, tally.longest.overBound,
               tally.longest.overSlack, step.shortestLagMs, step.longestLagMs, tries);
        if (beyond) {
            beyondH.good += tally.good;
            beyondH.goodAfterMarker += tally.goodAfterMarker;
            beyondH.failed += tally.failed;
            beyondH.wrong += tally.wrong;
        }
        bool stepOk = true;
        if (tally.missed != 0) {
            stepOk = false;
            printf("  FAILED: a read whose answer went out within the horizon was not good\n");
        }
        if (tally.wrong != 0) {
            stepOk = false;
            printf("  FAILED: a wrong value\n");
        }
        // Within the horizon, less what the log cannot show of an answer's
        // crossing, the first read of a try has nothing before it: a step
        // that judged none tested nothing. (Nearer the horizon, a read whose
        // request went out once, after status requests, cannot be judged.)
        if (d <= judge.InTimeMs() && tally.judged == 0) {
            stepOk = false;
            printf("  FAILED: no read of this step could be judged\n");
        }
        // Without the delay the sweep would prove nothing.
        if (step.shortestLagMs < d - 0.01) {
            stepOk = false;
            printf("  FAILED: the simulator answered %.1f ms after a request, not %d\n",
                   step.shortestLagMs, d);
        }
        if (!stepOk) {
            ok = false;
            PrintTrace(tally, judge);
        }
    }
    if (beyondShown)
        printf(
            "beyond the horizon: %ld reads good (%ld of them after the marker), %ld failed, %ld "
            "wrong\n",
            beyondH.good, beyondH.goodAfterMarker, beyondH.failed, beyondH.wrong);
    printf("%s\n", ok ? "sweep passed: every answer within the horizon was taken, no value wrong"
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
    // An answering station answers half a time-out late, so that noise also
    // comes while the driver listens for the answer; and the reads are a gap
    // apart, so that noise also waits on the line before a transaction.
    const int answerDelayMs = static_cast<int>(timing.timeoutMs / 2);
    auto simulator = StartSimulator();
    Channel channel;
    if (simulator == nullptr || !channel.Start(simulator->DevicePath(), o.timeout)) {
        fprintf(stderr, "soak: the channel did not start\n");
        return 1;
    }
    LineJudge judge(*simulator, timing.horizonMs);
    DistinctRegisters registers(*simulator);
    RegisterReader reader(channel, registers, judge, timing);

    printf(
        "A chattering line: a noise byte every so often; time-out T %.0f ms, guard G %.0f ms;\n"
        "%d reads in each case, a station that answers does so %d ms late.\n"
        "Asserted: no wrong value; every read of the answering station whose answer went out\n"
        "within the horizon good (\"judged\"). Printed, not judged: the longest operation, and\n"
        "less the waits for a core, against its bound m x (Xm + T + Lm) + r x (X + T + L) +\n"
        "w x (G + 3) = %.0f ms in step (%.0f ms at most doubtful); \"over\": operations longer\n"
        "than their bound, and than their bound with the slack (%.0f ms, %.0f ms doubtful).\n",
        timing.timeoutMs, timing.guardMs, o.reads, answerDelayMs,
        timing.BoundMs(kOneWordAnswerChars, 0), timing.BoundMs(kOneWordAnswerChars, kAttempts),
        Timing::SlackMs(0), Timing::SlackMs(kAttempts));
    PrintWakeUpLateness();
    printf("%-22s %6s %5s %6s %5s %7s %10s %9s %7s %7s\n", "station", "gap ms", "good", "failed",
           "wrong", "judged", "longest ms", "driver ms", "over", "noise");
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
        if (!judge.WaitUntilQuiet())
            return 1;
        Judge(tally, judge);
        const uint64_t noise = simulator->NoiseBytesSent() - noiseBefore;
        printf("%-22s %6d %5ld %6ld %5ld %7ld %10.1f %9.1f %3ld %3ld %7llu\n",
               c.stationAnswers ? "answers between noise" : "silent", c.gapMs, tally.good,
               tally.failed, tally.wrong, tally.judged, tally.longest.elapsedMs,
               tally.longest.driverMs, tally.longest.overBound, tally.longest.overSlack,
               static_cast<unsigned long long>(noise));
        bool caseOk = true;
        if (tally.wrong != 0) {
            caseOk = false;
            printf("  FAILED: a wrong value\n");
        }
        // Noise between answers is no reason for an answer to be missed.
        if (c.stationAnswers && (tally.missed != 0 || tally.judged == 0)) {
            caseOk = false;
            printf(
                "  FAILED: a read of the answering station with its answer in time was not "
                "good, or none could be judged\n");
        }
        // A case whose line carried no noise tested nothing.
        if (noise == 0) {
            caseOk = false;
            printf("  FAILED: no noise went out\n");
        }
        if (!caseOk) {
            ok = false;
            PrintTrace(tally, judge);
        }
    }
    printf("%s\n", ok ? "chatter run passed: no wrong value, every answer in time taken"
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

// An answer that comes H + 5 to H + 100 ms after its request.
fpsim::Fault LateBeyondHorizon(std::mt19937 &rng, const Timing &timing) {
    fpsim::Fault late;
    late.kind = fpsim::FaultKind::kLate;
    late.lateMs = static_cast<int>(timing.horizonMs) + 5 + static_cast<int>(rng() % 96);
    return late;
}

// An answer sent twice, the copy 0 to 2 x T after the first: before the next
// request, while it goes out, or while it waits for its answer.
fpsim::Fault Doubled(std::mt19937 &rng, const Timing &timing) {
    fpsim::Fault twice;
    twice.kind = fpsim::FaultKind::kDouble;
    twice.repeatGapMs = static_cast<int>(rng() % (2 * static_cast<unsigned>(timing.timeoutMs) + 1));
    return twice;
}

// Faults this transaction's first answer, or its three, at the rate asked;
// returns the name of the fault. Half the late answers come within the
// horizon, after their attempt's time-out, and half beyond it.
std::string ScheduleFault(std::mt19937 &rng, double rate, const Timing &timing,
                          fpsim::Simulator &simulator) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(rng) >= rate)
        return "none";
    const auto &kinds = fpsim::AllFaultKinds();
    fpsim::Fault fault;
    fault.kind = kinds[rng() % kinds.size()];
    std::string name = fpsim::FaultKindName(fault.kind);
    if (fault.kind == fpsim::FaultKind::kLate && rng() % 2 == 0) {
        fault.lateMs = static_cast<int>(timing.timeoutMs + timing.guardMs / 2);
    } else if (fault.kind == fpsim::FaultKind::kLate) {
        fault = LateBeyondHorizon(rng, timing);
        name = "late beyond H";
    } else if (fault.kind == fpsim::FaultKind::kDouble) {
        fault = Doubled(rng, timing);
    }
    fault.errorCode = rng() % 2 ? 61 : 41;
    const bool persistent = rng() % 4 == 0;
    for (int i = 0; i < (persistent ? kAttempts : 1); ++i)
        simulator.FaultOnce(fault);
    return name + (persistent ? " x3" : "");
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

// A wrong value is judged once the copies that could explain it have been
// logged: a copy that it took went out before it ended, and its record
// follows the write at once, but the simulator's thread may be held up
// between the two on a busy machine. Two transactions later it is there.
constexpr long kJudgeLag = 2;

struct WrongRead {
    long n;
    std::string what;
};

int RunRandomFaults(const Options &o) {
    const Timing timing = TimingOf(o.timeout);
    std::mt19937 rng(o.seed);
    auto simulator = StartSimulator();
    Channel channel;
    if (simulator == nullptr || !channel.Start(simulator->DevicePath(), o.timeout)) {
        fprintf(stderr, "soak: the channel did not start\n");
        return 1;
    }
    LineJudge judge(*simulator, timing.horizonMs, timing.timeoutMs);
    // The line's own fault, on every transaction or one in so many: a fault
    // of every answer of the transaction (echo, noise, foreign), or of its
    // first answer only, drawn afresh each time (late, double) from an
    // engine of its own, so that the transactions are those of the plain run.
    fpsim::Fault lineFault;
    int lineEvery = 0;
    bool lineFirstAnswer = false;
    std::mt19937 lineRng(o.seed + 1);
    const bool lossy = o.line == "lossy";
    if (lossy) {
        printf(
            "line: one answer in %.0f lost, the markers' too; before one transaction in two\n"
            "the host clears txFrame, so that every station is doubtful\n",
            1 / kLossRate);
    } else if (o.line == "late" || o.line == "double") {
        lineEvery = 50;
        lineFirstAnswer = true;
        printf("line: the first answer of one transaction in 50 %s\n",
               o.line == "late" ? "H + 5 to H + 100 ms after its request"
                                : "twice, the copy 0 to 2 x T after the first");
    } else if (!o.line.empty()) {
        std::string error;
        if (!fpsim::ParseFault(o.line, lineFault, &error)) {
            fprintf(stderr, "soak: --line %s: %s\n", o.line.c_str(), error.c_str());
            return 2;
        }
        lineEvery = lineFault.kind == fpsim::FaultKind::kEcho ? 1 : 20;
        printf("line: %s on %s\n", o.line.c_str(),
               lineEvery == 1 ? "every transaction" : "one transaction in 20");
    }
    // The faults are cleared after each transaction; the line's own is given
    // again to the transactions it takes (ahead of any fault drawn for them).
    const auto applyLine = [&](long n) {
        if (lossy) {
            simulator->FaultRandomly(kLossRate, static_cast<uint32_t>(lineRng()),
                                     {fpsim::Fault{fpsim::FaultKind::kNoAnswer}});
            return;
        }
        if (lineEvery == 0 || n % lineEvery != 0)
            return;
        if (!lineFirstAnswer)
            simulator->FaultEvery(1, lineFault);
        else
            simulator->FaultOnce(o.line == "late" ? LateBeyondHorizon(lineRng, timing)
                                                  : Doubled(lineRng, timing));
    };
    applyLine(0);

    Model model(*simulator);
    std::map<std::string, Tally> byFault;
    Tally total;
    Longest longest;
    // The operation nearest its own bound, less the waits for a core.
    struct {
        double share = 0, driverMs = 0, boundMs = 0, slackMs = 0;
        int answerChars = 0;
        bool doubtful = false;
    } nearest;
    long doubtful = 0;    // transactions that sent the marker first
    long overDriver = 0;  // over the bound with the slack even less the waits for a core
    std::deque<WrongRead> wrongReads;  // not yet judged
    long wrong = 0, copiesTaken = 0;
    // Failed transactions, judged once the simulator's log has their frames;
    // and those of them that had an attempt the line did not spoil.
    std::deque<long> failures;
    long failuresWithAGoodAttempt = 0;
    // The driver counts a status request that went unanswered as owed an
    // answer once its station is in step, until a request of it is
    // answered: a dropped answer may so cost an attempt of a later
    // transaction too (the price of never taking an old status answer for
    // a new one). The transactions since the last good one tell how many.
    std::vector<int32_t> statuses;
    const auto owedInVain = [&](long n) {
        int owed = 0;
        for (long m = n - 1; m >= 0 && statuses[static_cast<size_t>(m)] != 0; --m)
            owed += judge.LostMarkers(m);
        return owed;
    };
    const auto judgeFailures = [&](long throughN) {
        while (!failures.empty() && failures.front() <= throughN) {
            if (judge.HadAGoodAttempt(failures.front(), owedInVain(failures.front()))) {
                if (failuresWithAGoodAttempt++ == 0)
                    judge.PrintHistory();
                fprintf(stderr, "transaction %ld failed with an attempt the line did not spoil\n",
                        failures.front());
            }
            failures.pop_front();
        }
    };
    const auto judgeWrongReads = [&](long throughN) {
        while (!wrongReads.empty() && wrongReads.front().n <= throughN) {
            const WrongRead &w = wrongReads.front();
            if (judge.TakeCopy(w.n)) {
                // The first one with the line's history, to show what was taken when.
                if (copiesTaken == 0)
                    judge.PrintHistory();
                ++copiesTaken;
                fprintf(stderr, "took the second copy of an earlier answer: %s\n", w.what.c_str());
            } else {
                if (wrong == 0)
                    judge.PrintHistory();
                ++wrong;
                fprintf(stderr, "WRONG VALUE: %s\n", w.what.c_str());
            }
            wrongReads.pop_front();
        }
    };
    const long rssBefore = ResidentKilobytes();
    long rssAfterWarmup = 0;

    for (long n = 0; n < o.transactions; ++n) {
        if (n == o.transactions / 10)
            rssAfterWarmup = ResidentKilobytes();
        const Transaction t = PickTransaction(rng);
        const std::string faultName = ScheduleFault(rng, o.faultRate, timing, *simulator);

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
        if (lossy && lineRng() % 2 == 0)
            channel.ClearTxFrame();
        OperationTimer timer;
        judge.Begin(n);
        timer.Start();
        const int32_t status = channel.Call(command, &access);
        timer.Stop();
        judge.End();
        // The answer: "%", station, "$", echo, four digits a word read, block
        // check and carriage return.
        const int answerChars =
            9 + (t.write ? 0 : 4 * (t.kind->width == 32 ? 2 : 1) * (t.block ? t.count : 1));
        const int markers = judge.Markers(n);
        const bool marker = markers > 0;
        doubtful += marker ? 1 : 0;
        const double boundMs = timing.BoundMs(answerChars, markers);
        longest.Add(timer, boundMs, Timing::SlackMs(markers));
        if (timer.DriverMs() / boundMs > nearest.share) {
            nearest = {timer.DriverMs() / boundMs, timer.DriverMs(), boundMs,
                       Timing::SlackMs(markers),   answerChars,      marker};
        }
        simulator->ClearFaults();
        applyLine(n + 1);
        judge.Collect();  // and so the simulator's log does not grow with the run
        // Even less the waits for a core: printed, not judged, the first one
        // with the line's history.
        if (timer.DriverMs() > boundMs + Timing::SlackMs(markers)) {
            if (overDriver++ == 0)
                judge.PrintHistory();
            fprintf(stderr,
                    "transaction %ld (%s) took %.1f ms, %.1f ms less the waits for a core: over "
                    "its bound %.0f ms with the slack\n",
                    n, faultName.c_str(), timer.ElapsedMs(), timer.DriverMs(),
                    boundMs + Timing::SlackMs(markers));
        }

        Tally &tally = byFault[faultName];
        Count(tally, status);
        Count(total, status);
        if (t.write) {
            ModelWrite(model, t, access, data, status);
        } else if (status == 0 && !ReadIsRight(model, t, access, data)) {
            ++tally.wrong;
            ++total.wrong;
            char what[96];
            snprintf(what, sizeof what, "transaction %ld, %c%d, fault %s", n, t.kind->device,
                     t.address, faultName.c_str());
            wrongReads.push_back({n, what});
        }
        statuses.push_back(status);
        if (lossy && status != 0)
            failures.push_back(n);
        judgeWrongReads(n - kJudgeLag);
        judgeFailures(n - kJudgeLag);
    }
    const bool quiet = judge.WaitUntilQuiet();
    judgeWrongReads(o.transactions);
    judgeFailures(o.transactions);
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
        "answers that went out past their time: %ld (%ld of them late answers, %ld second copies\n"
        "that went out after the next transaction began); transactions that brought the station\n"
        "in step first: %ld\n",
        judge.Spills(), judge.LateAnswersSpilled(), judge.LateCopies(), doubtful);
    printf(
        "answers sent twice: %ld; their copies came while a later request waited for its answer\n"
        "%ld times, while it went out %ld times; reads that took a copy, each a different one:\n"
        "%ld (counted apart); wrong values besides: %ld\n",
        judge.CopiesSent(), judge.CopiesAfterRequest(), judge.CopiesDuringRequest(), copiesTaken,
        wrong);
    PrintWakeUpLateness();
    printf(
        "longest transaction %.1f ms, %.1f ms less the waits for a core; nearest its bound\n"
        "m x (Xm + T + Lm) + r x (X + T + L) + w x (G + 3): %.1f ms of %.0f ms (%.0f ms with\n"
        "the slack), an answer of %d characters%s; longer than their bound: %ld, than their bound\n"
        "with the slack: %ld, and so even less the waits for a core: %ld (printed, not judged; a\n"
        "quiet silent station costs 3 x (X + T) + G + 3 = %.0f ms, doubtful or not)\n",
        longest.elapsedMs, longest.driverMs, nearest.driverMs, nearest.boundMs,
        nearest.boundMs + nearest.slackMs, nearest.answerChars,
        nearest.doubtful ? ", the marker first" : "", longest.overBound, longest.overSlack,
        overDriver,
        kAttempts * (kRtsLeadMs + timing.timeoutMs) + timing.guardMs + kHorizonMarginMs);
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
    // The line's fault must have reached the line, or the run showed
    // nothing of it: frames ahead of answers, late answers past their time,
    // second copies.
    bool lineShown = true;
    if (lineEvery > 0) {
        // About half the late answers come beyond the horizon of their
        // transaction's last frame, which goes out up to 2 x (X + T) later.
        const long expected = o.transactions / lineEvery / (o.line == "late" ? 4 : 2);
        const long shown = o.line == "late"     ? judge.LateAnswersSpilled()
                           : o.line == "double" ? judge.CopiesSent()
                                                : judge.AheadOfAnswers();
        printf("the line's fault on the line: %ld times\n", shown);
        lineShown = shown >= expected;
        if (!lineShown)
            printf("  FAILED: the line's fault hardly reached the line\n");
    }
    if (lossy) {
        // An operation survives any two lost answers, doubtful or not. In
        // step it fails when its three answers are lost, p^3; doubtful, it
        // waits for two answers (a status answer, then the request's), and
        // fails when three are lost before the second comes:
        // 1 - (1 - p)^2 (1 + 2p + 3p^2), about 4 p^3.
        const long failed = total.refused + total.line;
        const double p = kLossRate;
        const double inStep = pow(p, kAttempts);
        const double doubtfulShare = 1 - (1 - p) * (1 - p) * (1 + 2 * p + 3 * p * p);
        printf(
            "operations failed: %ld of %ld (%.4f%%); answers each lost with p = %.2f: three\n"
            "attempts fail with p^3 = %.4f%% in step, %.4f%% doubtful; expected here %.2f\n"
            "operations; transactions that brought the station in step first: %ld; failed\n"
            "with an attempt that the line did not spoil: %ld\n",
            failed, o.transactions, 100.0 * failed / o.transactions, p, 100 * inStep,
            100 * doubtfulShare,
            static_cast<double>(o.transactions - doubtful) * inStep + doubtful * doubtfulShare,
            doubtful, failuresWithAGoodAttempt);
        lineShown = doubtful >= o.transactions / 4;
        if (!lineShown)
            printf("  FAILED: the station was doubtful in fewer than a quarter of them\n");
    }
    const bool ok = wrong == 0 && flat && quiet && lineShown && failuresWithAGoodAttempt == 0;
    printf("%s\n", ok ? "soak passed: no wrong value reported as a success, but for reads that "
                        "took a second copy, one each"
                      : "soak FAILED");
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
        else if (arg == "--line")
            o.line = value;
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
