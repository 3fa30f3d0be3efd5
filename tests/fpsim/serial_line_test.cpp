// The simulator's line on POSIX, as the serve loop relies on it: every wait
// ends by input, by a wake-up or by its deadline; a full line makes a write
// take nothing instead of blocking; a line whose far side has gone reads as
// failed. A pseudo-terminal stands in for a serial device and its cable.
#include "tools/fpsim/serial_line.h"

#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "fpsim/test_port.h"
#include "tools/fpsim/pseudo_terminal.h"

namespace fpsim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class SerialLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(OpenPseudoTerminal(cable_, &error)) << error;
        LineFormat format;
        format.parity = 'N';
        ASSERT_TRUE(line_.OpenDevice(cable_.driverPath, format, &error)) << error;
    }
    void TearDown() override {
        line_.Close();
        ClosePseudoTerminal(cable_);
    }

    PseudoTerminal cable_;  // its controller side is the far end of the cable
    SerialLine line_;
};

TEST_F(SerialLineTest, AWaitEndsByInputWakeUpOrDeadline) {
    const struct {
        const char *what;
        bool write;     // the far end sends a byte first
        bool wake;      // Wake is called from another thread meanwhile
        int untilMs;    // -1: no limit
        bool input;     // what the wait reports
        int atLeastMs;  // it lasted at least this long
        int atMostMs;   // and no longer than this
    } cases[] = {
        {"input already there", true, false, 5000, true, 0, 1000},
        {"a wake-up without a limit", false, true, -1, false, 0, 1000},
        {"a wake-up before the deadline", false, true, 5000, false, 0, 1000},
        {"the deadline", false, false, 50, false, 50, 1000},
    };
    for (const auto &c : cases) {
        if (c.write) {
            ASSERT_EQ(write(cable_.controllerFd, "%", 1), 1);
        }
        // From another thread, as Stop wakes the serve thread: before the
        // wait or during it, the wait ends.
        std::thread waker;
        if (c.wake) {
            waker = std::thread([&] { line_.Wake(); });
        }
        const auto start = Clock::now();
        const auto until =
            c.untilMs < 0 ? SerialLine::TimePoint::max() : start + milliseconds(c.untilMs);
        const SerialLine::Readiness ready = line_.Wait(true, false, until);
        const auto took = Clock::now() - start;
        if (waker.joinable())
            waker.join();
        EXPECT_EQ(ready.input, c.input) << c.what;
        EXPECT_GE(took, milliseconds(c.atLeastMs)) << c.what;
        EXPECT_LT(took, milliseconds(c.atMostMs)) << c.what;
        char drained[16];
        if (c.input) {
            EXPECT_EQ(line_.Read(drained, sizeof drained), 1) << c.what;
        }
        EXPECT_EQ(line_.Read(drained, sizeof drained), 0) << c.what << ": nothing more";
    }
}

TEST_F(SerialLineTest, AFullLineTakesNothingUntilTheFarEndReads) {
    // The kernel moves what a pseudo-terminal holds on to its other side's
    // buffers after a while, so it is full only once every buffer is: fill
    // until a wait for room finds none.
    const std::string chunk(4096, 'x');
    size_t taken = 0;
    bool full = false;
    for (int round = 0; round < 100 && !full; ++round) {
        long n;
        while ((n = line_.Write(chunk.data(), chunk.size())) > 0)
            taken += static_cast<size_t>(n);
        ASSERT_EQ(n, 0) << "a full line is no failure";
        full = !line_.Wait(false, true, Clock::now() + milliseconds(50)).room;
    }
    ASSERT_TRUE(full) << taken << " bytes taken";
    // The far end reads everything; the line has room again.
    size_t heard = 0;
    char buffer[4096];
    while (heard < taken) {
        const ssize_t got = read(cable_.controllerFd, buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        heard += static_cast<size_t>(got);
    }
    EXPECT_TRUE(line_.Wait(false, true, Clock::now() + milliseconds(2000)).room);
    EXPECT_GT(line_.Write("%", 1), 0);
}

// A device's far end is on the other side of a cable: nothing of the
// master's settings shows here.
TEST_F(SerialLineTest, ADeviceShowsNothingOfTheMastersSettings) {
    MasterLine seen;
    EXPECT_FALSE(line_.ReadMasterLine(&seen));
}

// On a pseudo-terminal the master's rate shows, and of its parity the odd and
// stick flags; whether parity is on does not (the kernel clears it).
TEST(SerialLinePseudoTerminal, ShowsTheMastersRateAndParityFlags) {
    const bool stickKept = StickFlagKept();  // not under qemu-user
    SerialLine line;
    std::string error;
    ASSERT_TRUE(line.OpenPseudoTerminal("", &error)) << error;
    const struct {
        unsigned baud;
        char parity;
        bool odd, stick;
    } cases[] = {
        {19200, 'O', true, false}, {9600, 'E', false, false}, {1200, 'N', false, false},
        {115200, 'M', true, true}, {38400, 'S', false, true},
    };
    for (const auto &c : cases) {
        TestPort master(line.PseudoTerminalPath(), c.baud, c.parity);
        ASSERT_TRUE(master.IsOpen());
        MasterLine seen;
        ASSERT_TRUE(line.ReadMasterLine(&seen));
        EXPECT_EQ(seen.baud, c.baud) << c.parity;
        EXPECT_EQ(seen.oddFlag, c.odd) << c.baud << c.parity;
        EXPECT_EQ(seen.stickShows, stickKept);
        EXPECT_EQ(seen.stickFlag, c.stick && stickKept) << c.baud << c.parity;
    }
}

TEST_F(SerialLineTest, ALineWhoseFarSideHasGoneReadsAsFailed) {
    ClosePseudoTerminal(cable_);  // the cable pulled out
    EXPECT_TRUE(line_.Wait(true, false, Clock::now() + milliseconds(2000)).input);
    char buffer[16];
    EXPECT_EQ(line_.Read(buffer, sizeof buffer), -1);
}

}  // namespace
}  // namespace fpsim
