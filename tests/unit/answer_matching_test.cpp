// Answers matched to their requests: late, doubled and noisy answers never
// become a wrong value, and no operation outlasts its bound. A scripted
// station answers on the virtual clock of the fake platform.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/transactions.h"
#include "serial/exchange.h"
#include "unit/log_capture.h"
#include "unit/protocol_support.h"
#include "wire/wire_rules.h"

namespace {

namespace fake = fake_platform;

constexpr uint32_t kTimeoutMs = 40;
constexpr double kGuardMs = 100;
constexpr double kHorizonMs = kTimeoutMs + kGuardMs;
// A silent station: three time-outs and one guard; the rest is the RTS leads
// and the margin after the horizon.
constexpr double kBoundMs = 3 * kTimeoutMs + kGuardMs + 10;
// When the last of three frames goes out, and when an operation whose
// attempts all went unanswered in their time ends: at the horizon of that
// frame and the margin after it.
constexpr double kLastSentMs = 3 * 1 + 2 * kTimeoutMs;
constexpr double kSilentEndMs = kLastSentMs + kHorizonMs + 3;
static_assert(kSilentEndMs <= kBoundMs, "what the README and the soak print as the bound");
// Whatever the line carries, an operation ends within
//   m x (Xm + T + Lm) + r x (X + T + L) + w x (G + 3 ms)
// with m the markers it sent, r the frames of the request, w the waits until
// a horizon, X and Xm the RTS lead that sending a frame takes on this
// platform, and L and Lm the line time of the answer and of the status
// answer with their slack (5 ms with no rate). A doubtful station at worst:
// three markers, the third answered as its horizon ends, and the request
// once, unanswered; or one marker answered as its time-out ends, and the
// request three times.
constexpr double BoundMs(int markers, int requests, int waits, double timeoutMs = kTimeoutMs,
                         double markerLineMs = 5, double lineMs = 5) {
    return markers * (1 + timeoutMs + markerLineMs) + requests * (1 + timeoutMs + lineMs) +
           waits * ((timeoutMs > kGuardMs ? timeoutMs : kGuardMs) + 3);
}
constexpr double kDoubtfulBoundMs = BoundMs(3, 1, 2) > BoundMs(1, 3, 1) ? BoundMs(3, 1, 2)
                                                                        : BoundMs(1, 3, 1);
// A silent station, where no answer begins, has no line time to wait for.
static_assert(BoundMs(0, 3, 1, kTimeoutMs, 0, 0) <= kBoundMs, "three attempts and the guard");
static_assert(BoundMs(3, 0, 1, kTimeoutMs, 0, 0) <= kBoundMs, "doubtful, the same");

// What data register `number` holds in the scripted station.
uint16_t ValueOf(int number) {
    return static_cast<uint16_t>(0x1000 + number * 7);
}

std::string SwappedHex(uint16_t value) {
    char text[5];
    snprintf(text, sizeof text, "%02X%02X", value & 0xFF, value >> 8);
    return text;
}

// The register a one-word read frame ("%01#RDD0010000100..") asks for.
int RegisterOf(const std::string &frame) {
    return atoi(frame.substr(7, 5).c_str());
}

// The status that the station answers a status request with.
const std::string kStatusAnswer = Sealed("%01$RT9A25600100000000");

std::string AnswerTo(const std::string &frame) {
    if (frame.compare(3, 3, "#RT") == 0)
        return kStatusAnswer;
    return Sealed("%01$RD" + SwappedHex(ValueOf(RegisterOf(frame))));
}

// A station whose answer to write w leaves `delayOf(w)` after it, with
// `around` wrapping each answer (noise before or after, a second copy).
void Station(std::function<double(int)> delayOf,
             std::function<std::string(const std::string &)> around = nullptr) {
    fake::AnswerEveryWrite([=](const std::string &frame, int write) {
        const std::string answer = AnswerTo(frame);
        return fake::Reply{around ? around(answer) : answer, delayOf(write)};
    });
}

struct Outcome {
    int good = 0, failed = 0, wrong = 0;
    double longestMs = 0;
};

// Reads D100, D101, ... back to back on one channel, as a host polls, and
// judges each.
// A channel at 19200 bit/s, 8 data bits, odd parity, one stop bit.
constexpr SerialLineSettings kLine19200 = {19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};
// A channel with no line settings: no rate, so no line time for its answers.
constexpr SerialLineSettings kNoLine = {0, 0, 0, 0};

Outcome ReadInTurn(int reads, int first = 100, SerialLineSettings line = kNoLine) {
    Outcome outcome;
    TestChannel channel;
    channel.instance.openParams.lineSettings = line;
    for (int i = 0; i < reads; ++i) {
        channel.Tag('D', first + i);
        const double start = fake::NowMs();
        const int32_t status = ReadValue(&channel.request);
        outcome.longestMs = std::max(outcome.longestMs, fake::NowMs() - start);
        if (status != 0) {
            ++outcome.failed;
        } else if (static_cast<uint16_t>(channel.data[1]) == ValueOf(first + i)) {
            ++outcome.good;
        } else {
            ++outcome.wrong;
        }
    }
    return outcome;
}

// What the line monitor saw of an operation: its kinds in order, and the
// error codes of the failures.
struct SeenLine {
    std::vector<int32_t> kinds;
    std::vector<uint32_t> errors;
    std::string discarded;  // the bytes reported as read and thrown away
    static void QIVMA_CALL Record(void *context, const QivLineEvent *event) {
        SeenLine *seen = static_cast<SeenLine *>(context);
        seen->kinds.push_back(event->kind);
        if (event->kind == QIV_LINE_DISCARDED)
            seen->discarded.append(event->bytes, event->count);
        if (event->kind == QIV_LINE_FAILED) {
            seen->errors.push_back(event->error);
            EXPECT_EQ(event->count, 0u);
        }
    }
};

class AnswerMatchingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
    }
    LogCapture log_;
};

TEST_F(AnswerMatchingTest, AStationSlowOnceDoesNotShiftTheLaterReads) {
    // The first answer comes 143 ms late, every later one in 15 ms.
    Station([](int write) { return write == 1 ? 143.0 : 15.0; });
    const Outcome outcome = ReadInTurn(8);
    EXPECT_EQ(outcome.good, 8);
    EXPECT_EQ(outcome.wrong, 0);
}

TEST_F(AnswerMatchingTest, AnswersLateUpToTheHorizonAreRightAndGood) {
    // Every answer d late, from at once to the horizon, 1.1 to 1.9 time-outs
    // among them: each read gets its own register's value.
    EXPECT_EQ(AnswerHorizonMs(kTimeoutMs), kHorizonMs);
    std::vector<double> delays;
    for (double delay = 0.5; delay < kHorizonMs; delay += 2.5)
        delays.push_back(delay);
    // The horizon itself, and an answer sent then whose first character
    // takes a few milliseconds more to arrive.
    delays.push_back(kHorizonMs);
    delays.push_back(kHorizonMs + 2);
    for (const double delay : delays) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        Station([delay](int) { return delay; });
        const Outcome outcome = ReadInTurn(5);
        EXPECT_EQ(outcome.good, 5) << "answers " << delay << " ms late";
        EXPECT_EQ(outcome.wrong, 0) << "answers " << delay << " ms late";
        EXPECT_LE(outcome.longestMs, kDoubtfulBoundMs) << "answers " << delay << " ms late";
        EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, kTimeoutMs);
    }
}

TEST_F(AnswerMatchingTest, AnAnswerToOneAttemptTakenByTheNextAnswersTheSameRequest) {
    const struct {
        const char *what;
        double first;  // the first attempt's answer, after its write
    } cases[] = {
        // The second frame goes out 41 ms after the first.
        {"after the next frame has gone out", 45},
        {"while the next frame goes out", 40.5},
        {"as the time-out ends", 40},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        const double first = c.first;
        Station([first](int write) { return write == 1 ? first : 30.0; });
        const Outcome outcome = ReadInTurn(4);
        EXPECT_EQ(outcome.good, 4) << c.what;
        EXPECT_EQ(outcome.wrong, 0) << c.what;
    }
}

TEST_F(AnswerMatchingTest, DoubledAnswersAndStrayBytesAreNotTakenForLaterOnes) {
    const struct {
        const char *what;
        std::function<double(int)> delay;
        std::function<std::string(const std::string &)> around;
    } cases[] = {
        {"each answer twice", [](int) { return 2.0; }, [](const std::string &a) { return a + a; }},
        {"twice, late once", [](int w) { return w == 1 ? 60.0 : 2.0; },
         [](const std::string &a) { return a + a; }},
        {"stray bytes before", [](int) { return 2.0; },
         [](const std::string &a) { return std::string("\x00\xFF", 2) + a; }},
        {"stray bytes after", [](int) { return 2.0; },
         [](const std::string &a) { return a + "\xFF~%01"; }},
        {"a broken answer before", [](int) { return 2.0; },
         [](const std::string &a) { return a.substr(0, 7) + a; }},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        Station(c.delay, c.around);
        const Outcome outcome = ReadInTurn(6);
        EXPECT_EQ(outcome.good, 6) << c.what;
        EXPECT_EQ(outcome.wrong, 0) << c.what;
    }
}

TEST_F(AnswerMatchingTest, ANoisyLineCannotHoldAnOperationPastItsBound) {
    // Noise is no answer and ends no wait: each still ends by its deadline,
    // so a silent station on a noisy line costs what it costs on a quiet
    // one. A wait that a byte broke off resumes for the whole milliseconds
    // left, rounded up so that it never ends early: a byte between two
    // milliseconds can cost the rest of one, once for each of the four
    // deadlines (three time-outs and the horizon).
    const struct {
        const char *what;
        double firstMs;
        double gapMs;
        int bytes;
        double slackMs;  // past the quiet line's end
    } lines[] = {
        {"a byte every 0.8 guard", 0, 0.8 * kGuardMs, 100, 0},
        {"a byte every 5 ms", 0, 5, 2000, 0},
        {"a byte every 40 ms", 0, 40, 300, 0},
        {"a byte every 90 ms", 0, 90, 300, 0},
        {"a byte every 150 ms", 0, 150, 300, 0},
        {"a byte every 7.3 ms", 0.4, 7.3, 2000, kAttempts + 1},
        {"a flood", 0, 0.05, 400000, kAttempts + 1},
    };
    for (const auto &line : lines) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        if (line.gapMs < 1) {
            fake::ArriveAt(line.firstMs, std::string(line.bytes, '~'), line.gapMs);
        } else {
            fake::Chatter(line.firstMs, line.gapMs, line.bytes);
        }
        for (int read = 0; read < 2; ++read) {
            TestChannel channel;
            channel.Tag('D', 100 + read);
            const double start = fake::NowMs();
            EXPECT_NE(ReadValue(&channel.request), 0) << line.what;
            const double tookMs = fake::NowMs() - start;
            EXPECT_GE(tookMs, kSilentEndMs - 0.001) << line.what << ", read " << read;
            EXPECT_LE(tookMs, kSilentEndMs + line.slackMs + 0.001)
                << line.what << ", read " << read;
        }
        EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, kTimeoutMs) << line.what;
    }
}

TEST_F(AnswerMatchingTest, TheHorizonIsWhereTheLastListeningEnds) {
    // The first two attempts go unanswered; the third is answered d after
    // its frame. Whatever d is, the operation listens until the horizon of
    // that frame and the margin after it, and no longer: an answer that
    // arrives by then is taken, one that arrives later is left on the line,
    // unread, and a silent station costs the same.
    const double kEndMs = kSilentEndMs;
    const struct {
        const char *what;
        double d;
        int32_t status;
    } cases[] = {
        {"just after its time-out", kTimeoutMs + 1, 0},
        {"at the guard's half", kTimeoutMs + kGuardMs / 2, 0},
        {"at the horizon", kHorizonMs, 0},
        {"at the end of the margin", kHorizonMs + 3, 0},
        {"a microsecond later", kHorizonMs + 3 + 0.001, 2},
        {"a guard later", kHorizonMs + kGuardMs, 2},
        {"never", -1, 2},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        fake::ReplyToNextWrite("");
        fake::ReplyToNextWrite("");
        if (c.d >= 0) {
            fake::ReplyToNextWrite(AnswerTo(Sealed("%01#RDD0010000100")), c.d);
        }
        TestChannel channel;
        channel.Tag('D', 100);
        EXPECT_EQ(ReadValue(&channel.request), c.status) << c.what;
        EXPECT_NEAR(fake::NowMs(), kEndMs, 0.001) << c.what;
        if (c.status == 0) {
            EXPECT_EQ(static_cast<uint16_t>(channel.data[1]), ValueOf(100)) << c.what;
        } else if (c.d >= 0) {
            // The answer has not been touched: it is still to come, whole.
            PlatformSleep(static_cast<uint32_t>(ceil(kLastSentMs + c.d - fake::NowMs())));
            EXPECT_EQ(fake::Unread(), AnswerTo(Sealed("%01#RDD0010000100")).size()) << c.what;
        }
        EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, kTimeoutMs) << c.what;
    }
}

TEST_F(AnswerMatchingTest, OnlyAGoodAnswerAnswersTheRequestLate) {
    // Three attempts unanswered in their time; then, before the horizon,
    // something of the station's that is not a good answer: the request
    // stays unanswered, and the host's buffer is not filled from it.
    const std::string frame = Sealed("%01#RDD0010000100");
    const struct {
        const char *what;
        std::string late;
    } cases[] = {
        {"an answer with a wrong block check", "%01$RD3412FF\r"},
        {"an error answer", Sealed("%01!61")},
        {"an answer one word too long", Sealed("%01$RD34127856")},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        fake::ReplyToNextWrite("");
        fake::ReplyToNextWrite("");
        fake::ReplyToNextWrite(c.late, kTimeoutMs + kGuardMs / 2);
        TestChannel channel;
        channel.Tag('D', 100);
        EXPECT_EQ(ReadValue(&channel.request), 2) << c.what;
        EXPECT_EQ(channel.data[1], 0) << c.what;
        EXPECT_EQ(fake::Written(), frame + frame + frame) << c.what;
    }
}

TEST_F(AnswerMatchingTest, AnswersAfterTheRequestsOwnAreOnlyWaitedOut) {
    // The first attempt's answer comes after its time-out, while the second
    // listens, and answers the request; the second's own comes after it. It
    // is read and thrown away: the value and the frame the host is given are
    // those of the answer that answered, and the line monitor is told that
    // the later one was discarded, not read.
    const std::string first = Sealed("%01$RD1100");
    const std::string second = Sealed("%01$RD2200");
    fake::ReplyToNextWrite(first, kTimeoutMs + 5);
    fake::ReplyToNextWrite(second, 10);
    SeenLine seen;
    QivSetLineMonitor(&SeenLine::Record, &seen);
    TestChannel channel;
    channel.Tag('D', 100);
    EXPECT_EQ(ReadValue(&channel.request), 0);
    QivSetLineMonitor(nullptr, nullptr);
    EXPECT_EQ(channel.data[1], 0x0011);
    EXPECT_EQ(std::string(channel.instance.rxFrame, first.size()), first);
    EXPECT_EQ(fake::Unread(), 0u) << "nothing left for the next request";
    ASSERT_FALSE(seen.kinds.empty());
    EXPECT_EQ(seen.kinds.back(), QIV_LINE_DISCARDED);
    EXPECT_EQ(seen.discarded, second);
}

TEST_F(AnswerMatchingTest, GoodAnswersBetweenNoiseAreTaken) {
    for (const double gapMs : {5.0, 40.0}) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        fake::Chatter(0, gapMs, 2000);
        Station([](int) { return 15.0; });
        const Outcome outcome = ReadInTurn(6);
        EXPECT_EQ(outcome.good, 6) << gapMs;
        EXPECT_EQ(outcome.wrong, 0) << gapMs;
    }
}

TEST_F(AnswerMatchingTest, AnErrorAnswerEndsItsAttemptAtItsCarriageReturn) {
    // A refused read costs three exchanges and no time-out: each attempt
    // ends once the error answer's carriage return has arrived, no later
    // than the data answer it stands for could have (a paced read sleeps
    // until then), and nothing is waited out after the last.
    const struct {
        double delayMs;  // after each frame
        double charMs;   // between its characters
    } cases[] = {{2, 0}, {0.5, 0}, {5, 0.5}, {kTimeoutMs - 1, 0}};
    const std::string refusal = Sealed("%01!61");
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        fake::AnswerEveryWrite([&](const std::string &, int) {
            return fake::Reply{refusal, c.delayMs, c.charMs};
        });
        TestChannel channel;
        channel.Tag('D', 100);
        EXPECT_EQ(ReadValue(&channel.request), 1) << c.delayMs;
        EXPECT_EQ(fake::Written(), Sealed("%01#RDD0010000100") + Sealed("%01#RDD0010000100") +
                                       Sealed("%01#RDD0010000100"))
            << "still three attempts";
        const double exchangeMs =
            kRtsLeadMs + c.delayMs + c.charMs * static_cast<double>(wire::AnswerLength(1) - 1);
        EXPECT_NEAR(fake::NowMs(), kAttempts * exchangeMs, 0.001) << c.delayMs;
    }
}

TEST_F(AnswerMatchingTest, AnAnswerThatComesWholeWakesItsListenerAtMostThreeTimes) {
    // An answer read in reads that each wait for all they ask: the listener
    // wakes once for a run of characters, not at each, and still looks at
    // the frame the moment its last character is there, an error answer's
    // carriage return included.
    constexpr double kPacedMs = 0.573;  // a character at 19200 bit/s, 11 bits
    const struct {
        const char *what;
        int words;
        bool refused;
        double charMs;
    } cases[] = {
        {"one word, paced", 1, false, kPacedMs},
        {"one word, at once", 1, false, 0},
        {"27 words, paced", 27, false, kPacedMs},
        {"27 words, at once", 27, false, 0},
        {"an error answer to a one-word read, paced", 1, true, kPacedMs},
        {"an error answer to a 27-word read, paced", 27, true, kPacedMs},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        std::string data;
        for (int i = 0; i < c.words; ++i)
            data += SwappedHex(ValueOf(100 + i));
        const std::string answer = c.refused ? Sealed("%01!61") : Sealed("%01$RD" + data);
        const double charMs = c.charMs;
        fake::AnswerEveryWrite([&answer, charMs](const std::string &, int) {
            return fake::Reply{answer, 2, charMs};
        });
        TestChannel channel;
        channel.instance.openParams.lineSettings = kLine19200;
        channel.Tag('D', 100, 16, 0, c.words);
        const int32_t status =
            c.words == 1 ? ReadValue(&channel.request) : ReadBlock(&channel.request);
        EXPECT_EQ(status, c.refused ? 1 : 0) << c.what;
        // The reads after the last frame went out.
        const std::vector<std::string> calls = fake::CallLog();
        const auto lastSent =
            std::find(calls.rbegin(), calls.rend(), "EscapeCommFunction CLRRTS").base();
        const long reads = std::count_if(lastSent, calls.end(), [](const std::string &call) {
            return call.rfind("ReadFile", 0) == 0;
        });
        EXPECT_GE(reads, 1) << c.what;
        EXPECT_LE(reads, 3) << c.what;
        // An error answer is looked at once the data answer could have
        // come, or at the deadline of the first character if that is sooner.
        const double lastMs =
            c.refused ? std::min(charMs * (wire::AnswerLength(c.words) - 1), kTimeoutMs - 2.0)
                      : charMs * static_cast<double>(answer.size() - 1);
        const double exchangeMs = kRtsLeadMs + 2 + lastMs;
        EXPECT_NEAR(fake::NowMs(), (c.refused ? kAttempts : 1) * exchangeMs, 0.001) << c.what;
        if (!c.refused) {
            // A single value is word 1 of the host's buffer, a block's last word its last.
            const int last = c.words == 1 ? 1 : c.words - 1;
            EXPECT_EQ(static_cast<uint16_t>(channel.data[last]), ValueOf(100 + c.words - 1))
                << c.what;
        }
    }
}

TEST_F(AnswerMatchingTest, ATimeOutOfZeroStaysZero) {
    // 0 asks every read to wait for all its bytes; no wait of the driver's
    // own may leave another in its place.
    fake::Timeouts() = {0, 0, 0, 0, 0};
    fake::ReplyToNextWrite("%01$RD3412FF\r");  // a wrong block check: one more attempt
    fake::ReplyToNextWrite(Sealed("%01$RD1234") + "junk");
    TestChannel channel;
    channel.Tag('D', 100);
    EXPECT_EQ(ReadValue(&channel.request), 0);
    EXPECT_EQ(channel.data[1], 0x3412);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 0u);

    // Nor does "without end" become a short wait: an answer 300 ms late is
    // the first attempt's, and it is waited for, not looked for again and
    // again.
    fake::Reset();
    fake::Timeouts() = {0, 0, 0, 0, 0};
    fake::ReplyToNextWrite(Sealed("%01$RD7856"), 300);
    TestChannel inStep;
    inStep.Tag('D', 100);
    EXPECT_EQ(ReadValue(&inStep.request), 0);
    EXPECT_EQ(inStep.data[1], 0x5678);
    EXPECT_EQ(fake::Written(), Sealed("%01#RDD0010000100")) << "one attempt";
    const std::vector<std::string> calls = fake::CallLog();
    EXPECT_LE(std::count_if(calls.begin(), calls.end(),
                            [](const std::string &call) { return call.rfind("ReadFile", 0) == 0; }),
              3);
}

TEST_F(AnswerMatchingTest, TheGlobalStationIsWrittenOnceAndNeverRead) {
    TestChannel channel;
    channel.tag.station = 0xFF;
    channel.Tag('D', 100);
    channel.data[1] = 5;
    EXPECT_EQ(WriteValue(&channel.request), 0);
    EXPECT_EQ(fake::Written(), Sealed("%FF#WDD00100001000500"));
    for (const std::string &call : fake::CallLog())
        EXPECT_NE(call.rfind("ReadFile", 0), 0u) << "nobody answers: nothing is read";
    EXPECT_LT(fake::NowMs(), 2);

    fake::Reset();
    fake::FailNext("WriteFile");
    EXPECT_EQ(WriteValue(&channel.request), 2) << "a frame that did not go out";

    // A read of it is refused unsent, its frame composed as for any station:
    // the channel's fields show what was asked, not the previous operation.
    fake::Reset();
    EXPECT_EQ(ReadValue(&channel.request), 1);
    EXPECT_TRUE(fake::CallLog().empty()) << "a read of it is refused unsent";
    EXPECT_EQ(channel.TxFrame(), Sealed("%FF#RDD0010000100"));
    EXPECT_EQ(channel.instance.txLength, 20);
    EXPECT_EQ(channel.instance.rxLength, 13);
    channel.Tag('D', 200, 16, 0, 3);
    EXPECT_EQ(ReadBlock(&channel.request), 1);
    EXPECT_TRUE(fake::CallLog().empty());
    EXPECT_EQ(channel.TxFrame(), Sealed("%FF#RDD0020000202"));
    EXPECT_EQ(channel.instance.rxLength, 21);
    // An unknown device is logged as for any station.
    channel.Tag('Z', 1);
    EXPECT_EQ(ReadValue(&channel.request), 1);
    EXPECT_EQ(log_.formats().back(), "QIVMA: SetMewtocolCmd() Cmd not found %c");
}

TEST_F(AnswerMatchingTest, APortThatCannotBeReadCostsOnlyTheRtsLeads) {
    // A line gone (a device unplugged, the far side of a pseudo-terminal
    // closed) fails its calls at once: no wait of the driver's own may turn
    // that into time-outs, nor into a wait for late answers.
    // A closed port cannot raise RTS either, and so waits for no lead.
    const struct {
        const char *what;
        const char *failing;  // every call of it fails; "" for a closed port
        double leadsMs;
    } cases[] = {
        {"a closed port", "", 0},
        {"no count of what waits", "ClearCommError", kAttempts * kRtsLeadMs},
        {"reads that fail", "ReadFile", kAttempts * kRtsLeadMs},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        fake::AnswerEveryWrite([](const std::string &frame, int) {
            return fake::Reply{AnswerTo(frame), 2};
        });
        TestChannel channel;
        channel.Tag('D', 100);
        if (*c.failing == 0)
            channel.instance.port = nullptr;
        else
            fake::FailAlways(c.failing);
        EXPECT_EQ(ReadValue(&channel.request), 2) << c.what;
        EXPECT_DOUBLE_EQ(fake::NowMs(), c.leadsMs) << c.what;
    }
}

TEST_F(AnswerMatchingTest, AFailedAttemptLogsOnlyTheExchangesOwnMessages) {
    // Line errors are cleared before each frame goes out, and again after
    // each attempt that went unanswered: the host's log shows both.
    const std::string clear = "ClearCommError (Rx) failed %08lx";
    const struct {
        const char *what;
        const char *failing;  // every call of it fails; "" for a closed port
        std::vector<std::string> once;
    } cases[] = {
        {"a closed port",
         "",
         {"EscapeCommFunction fail (RTS)", clear,
          "SG: WaitTxEmpty() WaitCommEvent() EV_TXEMPTY fail", "EscapeCommFunction fail (RTS)",
          clear}},
        {"a port that cannot say what waits", "ClearCommError", {clear, clear}},
    };
    for (const auto &c : cases) {
        fake::Reset();
        log_.Clear();
        TestChannel channel;
        if (*c.failing == 0)
            channel.instance.port = nullptr;
        else
            fake::FailAlways(c.failing);
        channel.Tag('D', 100);
        EXPECT_EQ(ReadValue(&channel.request), 2) << c.what;
        std::vector<std::string> expected;
        for (int attempt = 0; attempt < 3; ++attempt)
            expected.insert(expected.end(), c.once.begin(), c.once.end());
        EXPECT_EQ(log_.formats(), expected) << c.what;
    }
}

// The time an answer of `words` words has on the line to complete once its
// deadline to begin has come: its characters and one more at 11 bits each,
// rounded up, and 5 ms for the driver's thread to wake. The status answer
// has 25 characters.
double AnswerLineMs(int words) {
    const double characters = 4.0 * words + 9 + 1;
    return std::ceil(characters * 11 * 1000 / 19200) + 5;
}
const double kStatusAnswerLineMs = std::ceil(26.0 * 11 * 1000 / 19200) + 5;

TEST_F(AnswerMatchingTest, AnEchoingAdapterReadsRightAndAsFastAsAnyLine) {
    // A two-wire adapter hears its own request: every frame comes back at
    // once, and the station's answer d later.
    const struct {
        uint32_t timeoutMs;
        double answerMs;
    } cases[] = {{40, 2}, {40, 10}, {40, 20}, {100, 2}, {100, 20}};
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, c.timeoutMs, 0, 0};
        const double answerMs = c.answerMs;
        fake::AnswerEveryWrite([answerMs](const std::string &frame, int) {
            fake::ArriveAt(fake::NowMs(), frame);
            return fake::Reply{AnswerTo(frame), answerMs};
        });
        const Outcome outcome = ReadInTurn(30, 100, kLine19200);
        EXPECT_EQ(outcome.good, 30) << c.timeoutMs << " " << c.answerMs;
        EXPECT_EQ(outcome.wrong, 0) << c.timeoutMs << " " << c.answerMs;
        EXPECT_LE(outcome.longestMs, c.answerMs + 3) << c.timeoutMs << " " << c.answerMs;
    }
}

TEST_F(AnswerMatchingTest, NoiseOrAnotherStationsAnswerShiftsNoLaterRead) {
    // Once in every cycle of 20 back-to-back reads, 1 ms after a request,
    // something that is not the station's answer; the station answers every
    // request in 10 ms.
    const struct {
        const char *what;
        std::string noise;
    } cases[] = {
        {"% and as many hex digits as an answer", "%0123456789AB"},
        {"another station's error answer", Sealed("%02!42")},
        {"another station's data answer", Sealed("%02$RD1234")},
        {"% and a carriage return", "%\r"},
        {"a cut answer", "%01$RD12"},
        {"our own request's echo", Sealed("%01#RDD0010300103")},
        {"a corrupted answer", "%01$RD1234ZZ\r"},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        const std::string noise = c.noise;
        fake::AnswerEveryWrite([noise](const std::string &frame, int write) {
            if (write % 20 == 3)
                fake::ArriveAt(fake::NowMs() + 1, noise);
            return fake::Reply{AnswerTo(frame), 10};
        });
        const Outcome outcome = ReadInTurn(60, 100, kLine19200);
        EXPECT_EQ(outcome.wrong, 0) << c.what;
        EXPECT_EQ(outcome.good, 60) << c.what;
    }
}

TEST_F(AnswerMatchingTest, AWriteIsDoneOnlyOnItsOwnAcknowledgement) {
    // Noise 1 ms into a write whose acknowledgement comes in 10 ms; then a
    // write that the station never receives: it must not be reported done.
    for (const std::string &noise : {std::string("%\r"), Sealed("%02$WD"), Sealed("%02!40")}) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        fake::AnswerEveryWrite([noise](const std::string &frame, int write) {
            if (frame.find("#WDD03001") != std::string::npos)
                return fake::Reply{"", 0};  // never received
            if (write == 1)
                fake::ArriveAt(fake::NowMs() + 1, noise);
            return fake::Reply{Sealed("%01$WD"), 10};
        });
        TestChannel first;
        first.instance.openParams.lineSettings = kLine19200;
        first.Tag('D', 3000);
        first.data[1] = 7;
        EXPECT_EQ(WriteValue(&first.request), 0) << fake::CallLog().size();
        TestChannel second;
        second.instance.openParams.lineSettings = kLine19200;
        second.Tag('D', 3001);
        second.data[1] = 8;
        EXPECT_EQ(WriteValue(&second.request), 2) << "a write nobody acknowledged";
    }
}

TEST_F(AnswerMatchingTest, EveryOperationEndsByItsDeadlinesWhateverArrives) {
    const struct {
        const char *what;
        uint32_t timeoutMs;
        int words;
        std::function<void()> line;
    } cases[] = {
        {"% every 5 ms", 40, 1, [] { fake::Chatter(0, 5, 4000, '%'); }},
        {"% every 10 ms", 40, 1, [] { fake::Chatter(0, 10, 2000, '%'); }},
        {"a flood of %", 40, 1, [] { fake::ArriveAt(0, std::string(400000, '%'), 0.05); }},
        {"a flood of frames", 40, 1,
         [] { fake::ArriveAt(0, std::string(400000 / 7, ' ') + "%01$RD", 0.05); }},
        {"random bytes every 5 ms, 27 words", 10, 27,
         [] {
             srand(7);
             for (int i = 0; i < 4000; ++i)
                 fake::ArriveAt(5.0 * i, std::string(1, static_cast<char>(rand() % 256)));
         }},
        {"another station answering every 5 ms", 40, 1,
         [] {
             for (int i = 0; i < 2000; ++i)
                 fake::ArriveAt(5.0 * i, Sealed("%02$RD1234"));
         }},
        {"its own requests echoed, never answered", 40, 1,
         [] {
             fake::AnswerEveryWrite([](const std::string &frame, int) {
                 fake::ArriveAt(fake::NowMs(), frame);
                 return fake::Reply{"", 0};
             });
         }},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, c.timeoutMs, 0, 0};
        c.line();
        // The first read finds the station in step; the later ones find it
        // doubtful, and are sent the marker first.
        TestChannel channel;
        channel.instance.openParams.lineSettings = kLine19200;
        channel.Tag('D', 100, 16, 0, c.words);
        for (int read = 0; read < 3; ++read) {
            const double start = fake::NowMs();
            const int32_t status =
                c.words == 1 ? ReadValue(&channel.request) : ReadBlock(&channel.request);
            EXPECT_NE(status, 0) << c.what;
            // A station that never answers: three frames, then the horizon.
            const double boundMs = read == 0
                                       ? BoundMs(0, 3, 1, c.timeoutMs, 0, AnswerLineMs(c.words))
                                       : BoundMs(3, 0, 1, c.timeoutMs, kStatusAnswerLineMs);
            EXPECT_LE(fake::NowMs() - start, boundMs) << c.what;
        }
        EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, c.timeoutMs) << c.what;
    }
}

TEST_F(AnswerMatchingTest, APortThatFailsIsToldApartFromASilentStation) {
    const struct {
        const char *what;
        const char *failing;  // the primitive that the port refuses; null: a silent station
        size_t failures;      // reported to the monitor
    } cases[] = {
        {"a silent station", nullptr, 0},
        {"a port whose reads fail", "ReadFile", 3},
        {"a port that cannot say what waits", "ClearCommError", 3},
        {"a port whose writes fail", "WriteFile", 3},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        fake::SetLastError(5);
        if (c.failing != nullptr)
            fake::FailAlways(c.failing);
        SeenLine seen;
        QivSetLineMonitor(&SeenLine::Record, &seen);
        TestChannel channel;
        channel.Tag('D', 100);
        EXPECT_EQ(ReadValue(&channel.request), 2) << c.what;
        QivSetLineMonitor(nullptr, nullptr);
        EXPECT_GE(seen.errors.size(), c.failures) << c.what;
        if (c.failures == 0) {
            EXPECT_TRUE(seen.errors.empty()) << c.what;
        }
        for (const uint32_t error : seen.errors)
            EXPECT_EQ(error, 5u) << c.what << ": the system's own code";
    }
}

// A station that answers one request after another, as a controller does:
// `script` gives each request's answer ("" for none) and how long after its
// request it leaves; no answer leaves before the one before it has.
void InOrderStation(std::function<fake::Reply(const std::string &frame, int write)> script) {
    auto lastLeavesMs = std::make_shared<double>(0);
    fake::AnswerEveryWrite([script, lastLeavesMs](const std::string &frame, int write) {
        fake::Reply reply = script(frame, write);
        if (!reply.bytes.empty()) {
            reply.delayMs = std::max(reply.delayMs, *lastLeavesMs + 0.5 - fake::NowMs());
            *lastLeavesMs = fake::NowMs() + reply.delayMs;
        }
        return reply;
    });
}

TEST_F(AnswerMatchingTest, AnAnswerLaterThanTheHorizonShiftsNoLaterRead) {
    // The first read's three attempts: two unanswered, the third answered
    // H + x after its frame, when the read has given up; every other request
    // answered 5 ms after it. Then 30 reads of other registers back to back.
    const struct {
        const char *what;
        uint32_t timeoutMs;
        double pastHorizonMs;
        bool errorAnswer;
    } cases[] = {
        {"5 ms past", 40, 5, false},
        {"20 ms past", 40, 20, false},
        {"30 ms past", 40, 30, false},
        {"3 ms past, T 100", 100, 3, false},
        {"5 ms past, T 100", 100, 5, false},
        {"30 ms past, T 100", 100, 30, false},
        {"an error answer 150 ms after its request", 40, 7, true},
        {"an error answer 210 ms after its request, T 100", 100, 7, true},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, c.timeoutMs, 0, 0};
        const double lateMs = c.timeoutMs + std::max(100u, c.timeoutMs) + 3 + c.pastHorizonMs;
        const bool errorAnswer = c.errorAnswer;
        InOrderStation([lateMs, errorAnswer](const std::string &frame, int write) {
            if (write <= 2)
                return fake::Reply{"", 0};
            if (write == 3)
                return fake::Reply{errorAnswer ? Sealed("%01!61") : AnswerTo(frame), lateMs};
            return fake::Reply{AnswerTo(frame), 5};
        });
        const Outcome outcome = ReadInTurn(31, 100, kLine19200);
        EXPECT_EQ(outcome.wrong, 0) << c.what;
        EXPECT_GE(outcome.good, 28) << c.what;
    }
}

TEST_F(AnswerMatchingTest, AStationThatAnswersEverythingBeyondTheHorizonGivesNoWrongValue) {
    // Every answer, the markers' too, comes d after its request, in order:
    // while the markers of several operations are on their way, each still
    // counted, none of their answers may let a read out before the answers
    // owed ahead of it have come.
    for (const double lateMs : {1.5 * kHorizonMs, 2 * kHorizonMs, 3 * kHorizonMs}) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        InOrderStation([lateMs](const std::string &frame, int) {
            return fake::Reply{AnswerTo(frame), lateMs};
        });
        const Outcome outcome = ReadInTurn(40, 100, kLine19200);
        EXPECT_EQ(outcome.wrong, 0) << lateMs;
        EXPECT_LE(outcome.longestMs, kDoubtfulBoundMs + 3 * 40) << lateMs;
    }
}

TEST_F(AnswerMatchingTest, ALateAcknowledgementAnswersNoLaterWrite) {
    // A write to D3000 acknowledged H + 10 ms after its last attempt, then a
    // write to D3001 that the station never receives.
    for (const uint32_t timeoutMs : {40u, 100u}) {
        fake::Reset();
        fake::Timeouts() = {0, 0, timeoutMs, 0, 0};
        const double lateMs = timeoutMs + std::max(100u, timeoutMs) + 3 + 10;
        InOrderStation([lateMs](const std::string &frame, int write) {
            if (frame.find("#WDD03000") != std::string::npos)
                return fake::Reply{write == 3 ? Sealed("%01$WD") : "", lateMs};
            if (frame.find("#RT") != std::string::npos)
                return fake::Reply{kStatusAnswer, 5};
            return fake::Reply{"", 0};  // D3001's write never arrives
        });
        TestChannel channel;
        channel.instance.openParams.lineSettings = kLine19200;
        channel.Tag('D', 3000);
        channel.data[1] = 7;
        EXPECT_EQ(WriteValue(&channel.request), 2) << timeoutMs;
        channel.Tag('D', 3001);
        channel.data[1] = 8;
        EXPECT_EQ(WriteValue(&channel.request), 2) << timeoutMs << ": a write nobody acknowledged";
    }
}

TEST_F(AnswerMatchingTest, ADoubledAnswerCostsAtMostTheReadThatItsCopyReaches) {
    // The station answers each request 5 ms after it, and its first answer a
    // second time, `gapMs` after the first. On a line that keeps to its rate,
    // 19200 bit/s, a 20-character request takes 11.5 ms; a pseudo-terminal
    // takes it at once, and only its 1 ms RTS lead comes before the write.
    constexpr double kCharMs = 11 * 1000.0 / 19200;
    const struct {
        const char *what;
        bool paced;
        double gapMs;
        int mostWrong;
        double wakeLateMs = 0;  // how long after its frame has left the driver's thread wakes
    } cases[] = {
        {"the copy while the next request goes out", true, 2, 0},
        {"the copy late in the next request", true, 10, 0},
        {"the copy while the next request goes out, the thread woken 5 ms late", true, 2, 0, 5},
        // The copy comes once the next request has gone out and before its
        // own answer: nothing tells it from that answer.
        {"the copy between the next request and its answer", true, 14, 1},
        {"the copy long after", true, 300, 0},
        // The answers, in whole or in part, arrive before the thread wakes:
        // no more of them than the line carries since the frame left.
        {"the thread woken 12 ms late", true, 300, 0, 12},
        {"at once: the copy before the next request is written", false, 0.5, 0},
        {"at once: the copy after it is written", false, 2, 1},
        {"at once: the copy long after", false, 300, 0},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        fake::TransmitAt(c.paced ? kCharMs : 0, c.wakeLateMs);
        const double gapMs = c.gapMs;
        // Where the thread wakes late, what has arrived by then is judged by
        // the line's rate, so the answers take their line time there.
        const double charMs = c.wakeLateMs > 0 ? kCharMs : 0;
        fake::AnswerEveryWrite([gapMs, charMs](const std::string &frame, int write) {
            const std::string answer = AnswerTo(frame);
            if (write == 1)
                fake::ArriveAt(fake::NowMs() + 5 + gapMs, answer, charMs);
            return fake::Reply{answer, 5, charMs};
        });
        const Outcome outcome = ReadInTurn(20, 100, kLine19200);
        EXPECT_LE(outcome.wrong, c.mostWrong) << c.what;
        EXPECT_EQ(outcome.good + outcome.wrong, 20) << c.what;
    }
}

TEST_F(AnswerMatchingTest, ADoubtfulStationIsAskedOnlyOnceItAnsweredTheMarker) {
    // The first read goes unanswered; the second finds the station doubtful,
    // and each of its attempts sends the marker until one is answered.
    // `markers` are the station's answers to the first markers, in order
    // (later ones get the status answer in 5 ms); a marker costs an attempt
    // whatever becomes of its answer, never the operation.
    const double kAttemptMs = 1 + kTimeoutMs;
    const double kMarkerEndMs = 1 + kHorizonMs + 3;
    const std::string kStatusCut = kStatusAnswer.substr(0, 6);
    std::string spoiled = kStatusAnswer;
    spoiled[spoiled.size() - 2] ^= 1;
    const fake::Reply kLost = {"", 0};
    const struct {
        const char *what;
        std::vector<fake::Reply> markers;
        int32_t status;
        double tookMs;      // the second read, on the virtual clock
        int readsLost = 0;  // of the second read's frames, the first ones unanswered
    } cases[] = {
        // In step at once: the marker and the read each cost their answer.
        {"the status answer", {}, 0, 2 * (kRtsLeadMs + 5)},
        // An error answer may be a late answer to an earlier request: taken
        // only once nothing more came until the marker's horizon.
        {"an error answer", {{Sealed("%01!42"), 5}}, 0, kMarkerEndMs + kRtsLeadMs + 5},
        {"lost once", {kLost}, 0, kAttemptMs + 2 * (kRtsLeadMs + 5)},
        {"lost twice", {kLost, kLost}, 0, 2 * kAttemptMs + 2 * (kRtsLeadMs + 5)},
        {"a wrong block check once", {{spoiled, 5}}, 0, kAttemptMs + 2 * (kRtsLeadMs + 5)},
        {"another station's once",
         {{Sealed("%02$RT9A25600100000000"), 5}},
         0,
         kAttemptMs + 2 * (kRtsLeadMs + 5)},
        // A frame begun has its line time to end (5 ms with no rate).
        {"cut after 6 characters once",
         {{kStatusCut, 5}},
         0,
         kAttemptMs + 5 + 2 * (kRtsLeadMs + 5)},
        // Taken while the second marker waits for its answer; the second
        // marker's answer, owed, follows, and the read's after it.
        {"past the time-out, within the horizon",
         {{kStatusAnswer, kTimeoutMs + 30}},
         0,
         kRtsLeadMs + kTimeoutMs + 30 + kRtsLeadMs + 5},
        // A marker answered in its time spends no attempt: the read still
        // has two, and listens on until its last one's horizon.
        {"lost once, and the read's answer once",
         {kLost},
         0,
         kAttemptMs + (kRtsLeadMs + 5) + kAttemptMs + kRtsLeadMs + kHorizonMs + 3,
         1},
        // Never in step: the read is not sent, and the last attempt's answer
        // tells the status.
        {"lost three times", {kLost, kLost, kLost}, 2, kSilentEndMs},
        {"a read's answer every time",
         {{AnswerTo("%01#RDD00101"), 5},
          {AnswerTo("%01#RDD00101"), 5},
          {AnswerTo("%01#RDD00101"), 5}},
         1,
         kSilentEndMs},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        const std::vector<fake::Reply> markers = c.markers;
        auto markersSent = std::make_shared<size_t>(0);
        auto readsLost = std::make_shared<int>(c.readsLost);
        InOrderStation([markers, markersSent, readsLost, kLost](const std::string &frame,
                                                                int write) {
            if (write <= 3 || (frame.find("#RDD00101") != std::string::npos && (*readsLost)-- > 0))
                return kLost;
            if (frame.find("#RT") == std::string::npos)
                return fake::Reply{AnswerTo(frame), 5};
            const size_t marker = (*markersSent)++;
            return marker < markers.size() ? markers[marker] : fake::Reply{kStatusAnswer, 5};
        });
        TestChannel channel;
        channel.Tag('D', 100);
        EXPECT_EQ(ReadValue(&channel.request), 2) << c.what;
        const std::string before = fake::Written();
        channel.Tag('D', 101);
        const double start = fake::NowMs();
        EXPECT_EQ(ReadValue(&channel.request), c.status) << c.what;
        EXPECT_DOUBLE_EQ(fake::NowMs() - start, c.tookMs) << c.what;
        EXPECT_LE(fake::NowMs() - start, kDoubtfulBoundMs) << c.what;
        const std::string sent = fake::Written().substr(before.size());
        EXPECT_EQ(sent.rfind("%01#RT01\r", 0), 0u) << c.what << ": the marker first";
        EXPECT_EQ(sent.find("#RDD00101") != std::string::npos, c.status == 0) << c.what;
        if (c.status != 0)
            continue;
        EXPECT_EQ(static_cast<uint16_t>(channel.data[1]), ValueOf(101)) << c.what;
        if (c.readsLost > 0)
            continue;
        // In step: the next read goes out alone, whatever of the markers'
        // answers is still to come, and is answered with its own value.
        PlatformSleep(100);
        const size_t after = fake::Written().size();
        channel.Tag('D', 102);
        EXPECT_EQ(ReadValue(&channel.request), 0) << c.what;
        EXPECT_EQ(static_cast<uint16_t>(channel.data[1]), ValueOf(102)) << c.what;
        EXPECT_EQ(fake::Written().find("#RT", after), std::string::npos) << c.what;
    }
}

TEST_F(AnswerMatchingTest, AMarkerThatWasNeverAnsweredCostsNothingOnceTheStationAnswers) {
    // The station hears nothing of the first read nor of the first marker of
    // the second; from then on it answers every request T + 20 ms after it,
    // later than the time-out and within the horizon, so that every read
    // leaves it doubtful and the next one resynchronises it first. Each
    // marker's answer comes while the next marker waits for its own.
    fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
    InOrderStation([](const std::string &frame, int write) {
        return write <= 4 ? fake::Reply{"", 0} : fake::Reply{AnswerTo(frame), kTimeoutMs + 20.0};
    });
    const Outcome outcome = ReadInTurn(12, 100, kLine19200);
    EXPECT_EQ(outcome.wrong, 0);
    EXPECT_EQ(outcome.failed, 1) << "only the read that went unanswered";
}

TEST_F(AnswerMatchingTest, AHostThatClearsTheFrameFieldLeavesNoStationInStep) {
    // What the channel knows of its stations lies beyond the frame in
    // txFrame; a host that clears the whole field clears it, and the next
    // request to any station is preceded by the marker, once.
    Station([](int) { return 5.0; });
    TestChannel channel;
    memset(channel.instance.txFrame, 0, sizeof channel.instance.txFrame);
    channel.Tag('D', 100);
    EXPECT_EQ(ReadValue(&channel.request), 0);
    EXPECT_EQ(fake::Written().rfind("%01#RT01\r", 0), 0u);
    const size_t before = fake::Written().size();
    channel.Tag('D', 101);
    EXPECT_EQ(ReadValue(&channel.request), 0);
    EXPECT_EQ(fake::Written().find("#RT", before), std::string::npos);
    EXPECT_EQ(static_cast<uint16_t>(channel.data[1]), ValueOf(101));
}

}  // namespace
