#include "tools/fpsim/simulator.h"

#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "fpsim/test_frames.h"
#include "fpsim/test_port.h"
#include "tools/fpsim/frame.h"
#include "tools/fpsim/pseudo_terminal.h"

namespace fpsim {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::string UniqueLink() {
    static int counter = 0;
    return ::testing::TempDir() + "fpsim-test-" + std::to_string(getpid()) + "-" +
           std::to_string(++counter);
}

bool Exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

class SimulatorTest : public ::testing::Test {
  protected:
    void Begin(Options options = Options()) {
        options.linkPath = UniqueLink();
        options.zeroMemory = true;
        simulator_ = std::make_unique<Simulator>(options);
        std::string error;
        ASSERT_TRUE(simulator_->Start(&error)) << error;
        port_ = std::make_unique<TestPort>(simulator_->PortPath(), options.line.baud);
        ASSERT_TRUE(port_->IsOpen());
    }
    std::string Exchange(const std::string &request, milliseconds timeout = milliseconds(2000)) {
        port_->Write(request);
        return port_->ReadFrame(timeout);
    }

    std::unique_ptr<Simulator> simulator_;
    std::unique_ptr<TestPort> port_;
};

TEST_F(SimulatorTest, AnswersOnItsLinkLogsFramesAndCleansUp) {
    const Clock::time_point beforeStart = Clock::now();
    Begin();
    const std::string link = simulator_->PortPath();
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), simulator_->DevicePath());

    simulator_->WriteWord("01", Area::kData, 0, 5);
    simulator_->WriteWord("01", Area::kData, 1, 10);
    EXPECT_EQ(Exchange("%01#RDD0000000001**\r"), "%01$RD05000A0062\r");
    EXPECT_EQ(Exchange(Request("01",
                               "WDD0000200002"
                               "3412")),
              Answer("01", "WD"));
    EXPECT_EQ(simulator_->ReadWord("01", Area::kData, 2), 0x1234);

    ASSERT_TRUE(simulator_->WaitForFrames(4, milliseconds(1000)));
    const std::vector<FrameRecord> frames = simulator_->Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].direction, Direction::kReceived);
    EXPECT_EQ(frames[0].bytes, "%01#RDD0000000001**\r");
    EXPECT_EQ(frames[1].direction, Direction::kSent);
    EXPECT_EQ(frames[1].bytes, "%01$RD05000A0062\r");
    EXPECT_LE(frames[0].ms, frames[1].ms);
    // The log's times count from its start, on the steady clock: each record
    // lies between the start and now.
    const Clock::time_point start = simulator_->LogStart();
    EXPECT_LE(beforeStart, start);
    for (const FrameRecord &frame : frames) {
        const auto at = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double, std::milli>(frame.ms));
        EXPECT_LE(start, at);
        EXPECT_LE(at, Clock::now());
    }
    // Taken whole, and the log is empty after it.
    const std::vector<FrameRecord> taken = simulator_->TakeFrames();
    ASSERT_EQ(taken.size(), frames.size());
    for (size_t i = 0; i < taken.size(); ++i)
        EXPECT_EQ(taken[i].bytes, frames[i].bytes) << i;
    EXPECT_TRUE(simulator_->Frames().empty());
    EXPECT_EQ(Exchange(Request("01", "RDD0000000000")), Answer("01", "RD0500"));
    ASSERT_TRUE(simulator_->WaitForFrames(2, milliseconds(1000)));
    EXPECT_EQ(simulator_->TakeFrames().size(), 2u) << "only what came after";

    simulator_->Stop();
    EXPECT_FALSE(Exists(link));
}

TEST_F(SimulatorTest, NoiseBeforeAFrameIsIgnoredAndOtherStationsAreSilent) {
    Begin();
    EXPECT_EQ(Exchange("\x01\xFFjunk" + Request("01", "RDD0000000000")), Answer("01", "RD0000"));
    EXPECT_EQ(Exchange(Request("07", "RDD0000000000"), milliseconds(150)), "");
    // A frame broken off by a new header: the new one is answered.
    EXPECT_EQ(Exchange("%01#RDD00" + Request("01", "RDD0000000000")), Answer("01", "RD0000"));
    // "<" heads a frame too: an extended one, answered in kind.
    EXPECT_EQ(Exchange("%01#RDD00" + Request("01", "RDD0000000000", '<')),
              Answer("01", "RD0000", '<'));
}

TEST_F(SimulatorTest, FaultsReachTheLine) {
    Begin();
    const std::string request = Request("01", "RDD0000000000");
    const std::string answer = Answer("01", "RD0000");

    Fault silent;
    silent.kind = FaultKind::kNoAnswer;
    simulator_->FaultOnce(silent);
    EXPECT_EQ(Exchange(request, milliseconds(150)), "");
    EXPECT_EQ(Exchange(request), answer) << "a fault lasts one answer";

    Fault late;
    late.kind = FaultKind::kLate;
    late.lateMs = 120;
    simulator_->FaultOnce(late);
    const auto before = Clock::now();
    EXPECT_EQ(Exchange(request), answer);
    EXPECT_GE(Clock::now() - before, milliseconds(120));

    Fault stray;
    stray.kind = FaultKind::kStrayBytes;
    stray.stray = "??";
    simulator_->FaultOnce(stray);
    EXPECT_EQ(Exchange(request), "??" + answer);

    Fault error;
    error.kind = FaultKind::kErrorResponse;
    error.errorCode = 41;
    simulator_->FaultEvery(2, error);
    EXPECT_EQ(Exchange(request), answer);
    EXPECT_EQ(Exchange(request), Refusal("01", "41"));
    simulator_->ClearFaults();
    EXPECT_EQ(Exchange(request), answer);

    bool noted = false;
    for (const FrameRecord &frame : simulator_->Frames()) {
        noted = noted || frame.note == "fault: no-answer";
    }
    EXPECT_TRUE(noted) << "the log says which fault was applied";
}

TEST_F(SimulatorTest, AScriptedAnswerReplacesTheNextOne) {
    Begin();
    simulator_->ScriptNextAnswer("%01$WD13\r");
    EXPECT_EQ(Exchange(Request("01",
                               "WDD0000000000"
                               "FFFF")),
              "%01$WD13\r");
    EXPECT_EQ(simulator_->ReadWord("01", Area::kData, 0), 0)
        << "the scripted request is not executed";
    simulator_->ScriptNextAnswer("");
    EXPECT_EQ(Exchange(Request("01", "RDD0000000000"), milliseconds(150)), "");
    EXPECT_EQ(Exchange(Request("01", "RDD0000000000")), Answer("01", "RD0000"));
}

TEST_F(SimulatorTest, TheDriverMayCloseAndReopenItsSide) {
    Begin();
    port_.reset();
    port_ = std::make_unique<TestPort>(simulator_->PortPath());
    ASSERT_TRUE(port_->IsOpen());
    EXPECT_EQ(Exchange(Request("01", "RDD0000000000")), Answer("01", "RD0000"));
}

TEST_F(SimulatorTest, StartFailsOnAFileInTheWayOfTheLink) {
    Options options;
    options.linkPath = UniqueLink();
    FILE *file = fopen(options.linkPath.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    Simulator simulator(options);
    std::string error;
    EXPECT_FALSE(simulator.Start(&error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    unlink(options.linkPath.c_str());
}

// A controller at other line settings than its master's hears garbage: it
// executes nothing and answers nothing, until the master's settings agree.
// Judged is what shows on a pseudo-terminal: the rate where both have one,
// the parity as far as its flags show it.
TEST_F(SimulatorTest, AMasterAtOtherLineSettingsIsNotHeard) {
    const struct {
        unsigned baud;
        char parity;
        bool judge;
        unsigned masterBaud;
        char masterParity;
        const char *unheard;  // the log's note, after "not heard: "; null: answered
        // The note where the stick flag does not show (qemu-user), if another.
        const char *withoutStick;
    } cases[] = {
        {19200, 'O', true, 19200, 'O', nullptr, nullptr},
        {19200, 'O', true, 9600, 'O',
         "the master's line is at 9600 bit/s, this controller's at 19200 bit/s", nullptr},
        {19200, 'O', true, 19200, 'E',
         "the master sends even or no parity, this controller expects odd parity",
         "the master sends even, space or no parity, this controller expects odd parity"},
        {19200, 'O', true, 19200, 'N',
         "the master sends even or no parity, this controller expects odd parity",
         "the master sends even, space or no parity, this controller expects odd parity"},
        {9600, 'E', true, 19200, 'O',
         "the master's line is at 19200 bit/s, this controller's at 9600 bit/s; the master sends "
         "odd parity, this controller expects even parity",
         "the master's line is at 19200 bit/s, this controller's at 9600 bit/s; the master sends "
         "odd or mark parity, this controller expects even parity"},
        {0, 'O', true, 1200, 'O', nullptr, nullptr},  // without pacing any rate is heard
        {0, 'N', true, 0, 'E', nullptr, nullptr},     // even and none look alike
        {0, 'N', true, 0, 'O', "the master sends odd parity, this controller expects no parity",
         "the master sends odd or mark parity, this controller expects no parity"},
        {0, 'M', true, 0, 'S', "the master sends space parity, this controller expects mark parity",
         "the master sends even, space or no parity, this controller expects mark parity"},
        {19200, 'O', false, 9600, 'E', nullptr, nullptr},  // not judged
    };
    const bool stickShows = StickFlagKept();
    for (const auto &c : cases) {
        Options options;
        options.line.baud = c.baud;
        options.line.parity = c.parity;
        options.judgeLine = c.judge;
        Begin(options);
        port_.reset();
        port_ = std::make_unique<TestPort>(simulator_->PortPath(), c.masterBaud, c.masterParity);
        const std::string write = Request("01",
                                          "WDD0000000000"
                                          "3412");
        if (c.unheard == nullptr) {
            EXPECT_EQ(Exchange(write), Answer("01", "WD")) << c.masterBaud << c.masterParity;
            EXPECT_EQ(simulator_->ReadWord("01", Area::kData, 0), 0x1234);
            simulator_->Stop();
            continue;
        }
        port_->Write(write);
        ASSERT_TRUE(simulator_->WaitForFrames(1, milliseconds(2000)));
        const std::vector<FrameRecord> frames = simulator_->TakeFrames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].bytes, write);
        EXPECT_EQ(frames[0].note,
                  std::string("not heard: ") +
                      (stickShows || c.withoutStick == nullptr ? c.unheard : c.withoutStick));
        EXPECT_EQ(simulator_->ReadWord("01", Area::kData, 0), 0) << "nothing was executed";
        // The master set right: heard from then on, and the write above was
        // never executed, not even late.
        port_.reset();
        port_ = std::make_unique<TestPort>(simulator_->PortPath(), c.baud, c.parity);
        EXPECT_EQ(Exchange(Request("01", "RDD0000000000")), Answer("01", "RD0000")) << c.unheard;
        simulator_->Stop();
    }
}

TEST_F(SimulatorTest, ALinkServedHereIsNotTakenOverAndIsFreeOnceStopped) {
    Begin();
    Options options;
    options.linkPath = simulator_->PortPath();
    Simulator second(options);
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_NE(error.find(" is served by another fpsim in this process"), std::string::npos)
        << error;
    EXPECT_EQ(Exchange(Request("01", "RDD0000000000")), Answer("01", "RD0000"));
    simulator_->Stop();
    ASSERT_TRUE(second.Start(&error)) << error;
    EXPECT_TRUE(Exists(options.linkPath));
}

TEST(SimulatorDevice, ALinkIsNeverMadeForADevice) {
    PseudoTerminal line;
    std::string error;
    ASSERT_TRUE(OpenPseudoTerminal(line, &error)) << error;
    Options options;
    options.devicePath = line.driverPath;
    options.linkPath = UniqueLink();
    Simulator simulator(options);
    EXPECT_FALSE(simulator.Start(&error));
    EXPECT_NE(error.find("pseudo-terminal only"), std::string::npos) << error;
    EXPECT_FALSE(Exists(options.linkPath));
    ClosePseudoTerminal(line);
}

TEST(SimulatorDevice, ServesAnExistingDevice) {
    // A pseudo-terminal stands in for a serial device: the simulator serves its
    // one side and the test talks through the other.
    PseudoTerminal line;
    std::string error;
    ASSERT_TRUE(OpenPseudoTerminal(line, &error)) << error;
    Options options;
    options.devicePath = line.driverPath;
    options.zeroMemory = true;
    Simulator simulator(options);
    ASSERT_TRUE(simulator.Start(&error)) << error;
    EXPECT_EQ(simulator.PortPath(), line.driverPath);
    const std::string request = Request("01", "RDD0000000000");
    ASSERT_EQ(write(line.controllerFd, request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(simulator.WaitForFrames(2, milliseconds(2000)));
    std::string answer;
    char c;
    while (answer.size() < 13 && read(line.controllerFd, &c, 1) == 1)
        answer += c;
    EXPECT_EQ(answer, Answer("01", "RD0000"));
    simulator.Stop();
    ClosePseudoTerminal(line);
}

// As an Ethernet unit: the master's connection is the line; a second master
// is closed at once while the first is served, and may connect once the
// first has gone.
TEST(SimulatorTcp, OneMasterAtATime) {
    Options options;
    options.tcpPort = 0;
    options.zeroMemory = true;
    Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;
    ASSERT_NE(simulator.TcpPort(), 0);
    EXPECT_EQ(simulator.PortPath(), "tcp://127.0.0.1:" + std::to_string(simulator.TcpPort()));
    const auto connectTo = [&] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(simulator.TcpPort()));
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        return fd;
    };
    // What the connection brings within 2 s: an answer, or "" for its end.
    const auto exchange = [](int fd, const std::string &request) {
        // A connection already closed may refuse it: what comes tells.
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0)
            return std::string();
        std::string got;
        char c;
        pollfd ready = {fd, POLLIN, 0};
        while (got.find('\r') == std::string::npos && poll(&ready, 1, 2000) == 1 &&
               recv(fd, &c, 1, 0) == 1)
            got += c;
        return got;
    };
    const std::string request = Request("01", "RDD0000000000");
    const int first = connectTo();
    EXPECT_EQ(exchange(first, request), Answer("01", "RD0000"));
    const int second = connectTo();
    EXPECT_EQ(exchange(second, request), "");
    EXPECT_EQ(exchange(first, request), Answer("01", "RD0000"));
    close(first);
    close(second);
    const int third = connectTo();
    EXPECT_EQ(exchange(third, request), Answer("01", "RD0000"));
    close(third);
}

// Pacing: an answer takes the line time of the request and of itself. The
// figures are printed; only the lower bound, which sleeping guarantees, is
// asserted.
TEST_F(SimulatorTest, PacingFollowsTheLineRate) {
    for (const unsigned baud : {9600u, 19200u}) {
        Options options;
        options.line.baud = baud;
        options.scanDelayMs = 0;
        Begin(options);
        const std::string request = Request("01", "RDD0000000026");  // 20 characters
        const size_t answerChars = 4 * 27 + 9;
        const double lineMs =
            1000.0 * options.line.CharSeconds() * static_cast<double>(request.size() + answerChars);
        const auto before = Clock::now();
        const std::string answer = Exchange(request);
        const double tookMs =
            std::chrono::duration<double, std::milli>(Clock::now() - before).count();
        EXPECT_EQ(answer.size(), answerChars);
        EXPECT_GE(tookMs, lineMs * 0.99);
        printf(
            "pacing at %u bit/s 8O1: %zu + %zu characters, line time %.1f ms, took %.1f ms "
            "(%.3f)\n",
            baud, request.size(), answerChars, lineMs, tookMs, tookMs / lineMs);
        simulator_->Stop();
    }
}

// Late answers: each request is executed when it comes and answered the
// delay later, in turn. Only lower bounds, which waiting guarantees, are
// asserted on the test's side of the line.
TEST_F(SimulatorTest, EveryAnswerWaitsTheDelayAfterItsRequest) {
    Begin();
    const std::string request = Request("01", "RDD0000000000");
    for (const int delayMs : {150, 0, 60}) {
        simulator_->SetAnswerDelay(delayMs);
        const auto before = Clock::now();
        EXPECT_EQ(Exchange(request), Answer("01", "RD0000"));
        EXPECT_GE(Clock::now() - before, milliseconds(delayMs)) << delayMs;
    }
    Fault late;
    late.kind = FaultKind::kLate;
    late.lateMs = 80;
    simulator_->FaultOnce(late);
    const auto before = Clock::now();
    EXPECT_EQ(Exchange(request), Answer("01", "RD0000"));
    EXPECT_GE(Clock::now() - before, milliseconds(60 + 80)) << "a late fault adds to the delay";
}

std::vector<FrameRecord> SentFrames(const Simulator &simulator) {
    std::vector<FrameRecord> sent;
    for (const FrameRecord &frame : simulator.Frames()) {
        if (frame.direction == Direction::kSent)
            sent.push_back(frame);
    }
    return sent;
}

TEST_F(SimulatorTest, RequestsThatComeWhileAnAnswerWaitsAreAnsweredInTurn) {
    Options options;
    options.line.baud = 9600;
    options.answerDelayMs = 100;
    Begin(options);
    for (size_t i = 0; i < 3; ++i)
        simulator_->WriteWord("01", Area::kData, i, static_cast<uint16_t>(0x1111 * (i + 1)));
    const auto first = Clock::now();
    port_->Write(Request("01", "RDD0000000000"));
    std::this_thread::sleep_for(milliseconds(40));
    const auto second = Clock::now();
    port_->Write(Request("01", "RDD0000100001") + Request("01", "RDD0000200002"));

    const std::string answers[] = {Answer("01", "RD1111"), Answer("01", "RD2222"),
                                   Answer("01", "RD3333")};
    const Clock::time_point asked[] = {first, second, second};
    for (size_t i = 0; i < 3; ++i) {
        // Whole, in order: one answer's bytes never mixed into another's.
        EXPECT_EQ(port_->ReadFrame(milliseconds(2000)), answers[i]) << i;
        EXPECT_GE(Clock::now() - asked[i], milliseconds(100)) << i;
    }
    ASSERT_TRUE(simulator_->WaitForFrames(6, milliseconds(1000)));
    const std::vector<FrameRecord> sent = SentFrames(*simulator_);
    ASSERT_EQ(sent.size(), 3u);
    const double answerMs = 1000.0 * options.line.CharSeconds() * answers[1].size();
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(sent[i].bytes, answers[i]);
        EXPECT_GE(sent[i].ms - sent[i - 1].ms, answerMs * 0.99) << "starts after the one before";
    }
}

TEST_F(SimulatorTest, QueuedRequestsAreExecutedOnArrival) {
    Options options;
    options.answerDelayMs = 500;
    Begin(options);
    simulator_->WriteWord("01", Area::kData, 5, 7);
    port_->Write(Request("01", "RDD0000500005") +
                 Request("01",
                         "WDD0000500005"
                         "3412") +
                 Request("01", "RDD0000500005"));
    ASSERT_TRUE(simulator_->WaitForFrames(3, milliseconds(2000)));
    const uint16_t written = simulator_->ReadWord("01", Area::kData, 5);
    ASSERT_TRUE(SentFrames(*simulator_).empty()) << "the machine stalled past the delay";
    EXPECT_EQ(written, 0x1234) << "the write took effect before any answer went out";
    EXPECT_EQ(port_->ReadFrame(milliseconds(2000)), Answer("01", "RD0700"));
    EXPECT_EQ(port_->ReadFrame(milliseconds(2000)), Answer("01", "WD"));
    EXPECT_EQ(port_->ReadFrame(milliseconds(2000)), Answer("01", "RD3412"));
}

TEST_F(SimulatorTest, ADoubledAnswerComesTwiceWhole) {
    Begin();
    const std::string request = Request("01", "RDD0000000000");
    const std::string answer = Answer("01", "RD0000");
    for (const int gapMs : {0, 80}) {
        Fault twice;
        twice.kind = FaultKind::kDouble;
        twice.repeatGapMs = gapMs;
        simulator_->FaultOnce(twice);
        simulator_->ClearFrames();
        EXPECT_EQ(Exchange(request), answer) << gapMs;
        EXPECT_EQ(port_->ReadFrame(milliseconds(2000)), answer) << gapMs;
        ASSERT_TRUE(simulator_->WaitForFrames(3, milliseconds(1000)));
        const std::vector<FrameRecord> sent = SentFrames(*simulator_);
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_GE(sent[1].ms - sent[0].ms, gapMs) << "the gap from the end of the first copy";
        EXPECT_EQ(Exchange(request), answer) << "a fault lasts one answer";
        EXPECT_EQ(port_->ReadFrame(milliseconds(100)), "");
    }
}

// A chattering line.
bool AllNoise(const std::string &bytes) {
    return bytes.find_first_not_of(kNoiseByte) == std::string::npos;
}

TEST_F(SimulatorTest, AChatteringLineSendsNoiseAtItsGap) {
    Begin();
    simulator_->SetChatter(20, true);
    // About 50 bytes; the bounds allow for a loaded machine.
    const std::string noise = port_->ReadFor(milliseconds(1000));
    EXPECT_TRUE(AllNoise(noise)) << Printable(noise);
    EXPECT_GE(noise.size(), 10u);
    EXPECT_LE(noise.size(), 60u);
    EXPECT_GE(simulator_->NoiseBytesSent(), noise.size());
    simulator_->SetChatter(0, true);
    port_->ReadFor(milliseconds(50));
    EXPECT_EQ(port_->ReadFor(milliseconds(200)), "") << "quiet again";
    EXPECT_TRUE(simulator_->Frames().empty()) << "noise is counted, not logged";
}

TEST_F(SimulatorTest, ASilentChatteringLineAnswersNothing) {
    Options options;
    options.chatterGapMs = 20;
    options.chatterAnswers = false;
    Begin(options);
    const std::string write = Request("01",
                                      "WDD0000000000"
                                      "3412");
    port_->Write(write);
    const std::string heard = port_->ReadFor(milliseconds(300));
    EXPECT_FALSE(heard.empty()) << "the noise goes on";
    EXPECT_TRUE(AllNoise(heard)) << Printable(heard);
    EXPECT_EQ(simulator_->ReadWord("01", Area::kData, 0), 0) << "no controller heard it";
    ASSERT_TRUE(simulator_->WaitForFrames(1, milliseconds(1000)));
    EXPECT_EQ(simulator_->Frames()[0].bytes, write) << "but the log has it";

    simulator_->SetChatter(20, true);
    const std::string answered = Exchange(write);
    const size_t start = answered.find('%');
    ASSERT_NE(start, std::string::npos) << Printable(answered);
    EXPECT_EQ(answered.substr(start), Answer("01", "WD"));
}

TEST_F(SimulatorTest, NoiseNeverBreaksIntoAnAnswer) {
    Options options;
    options.line.baud = 9600;
    options.chatterGapMs = 1;  // faster than the line: noise whenever no answer goes out
    Begin(options);
    const std::string answer = Answer("01", "RD" + std::string(4 * 27, '0'));
    for (int i = 0; i < 3; ++i) {
        port_->Write(Request("01", "RDD0000000026"));
        const std::string heard = port_->ReadFrame(milliseconds(2000));
        const size_t start = heard.find('%');
        ASSERT_NE(start, std::string::npos) << Printable(heard);
        EXPECT_TRUE(AllNoise(heard.substr(0, start))) << Printable(heard);
        EXPECT_EQ(heard.substr(start), answer) << Printable(heard);
    }
    EXPECT_GT(simulator_->NoiseBytesSent(), 0u);
    for (const FrameRecord &frame : simulator_->Frames())
        EXPECT_EQ(frame.bytes.find(kNoiseByte), std::string::npos) << Printable(frame.bytes);
}

}  // namespace
}  // namespace fpsim
