// The whole driver as a host drives it, only through QivMain, against the
// controller simulator on a pseudo-terminal.
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "qivma.h"
#include "support/host_channel.h"
#include "support/simulator_line.h"
#include "tools/fpsim/simulator.h"
#include "unit/log_capture.h"

namespace {

using std::chrono::milliseconds;

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        simulator_ = StartSimulator({"01", "05", "1F"});
        ASSERT_EQ(host_.Start(PortNameOf(*simulator_)), 0);
    }
    void TearDown() override { host_.Call(QIV_CMD_END); }

    std::unique_ptr<fpsim::Simulator> simulator_;
    Host host_;
    LogCapture log_;  // keeps the driver's messages off stderr
};

// Write then read back, for every device that takes writes; every value
// comes back as it went, at the edges of the 16- and 32-bit ranges.
TEST_F(EndToEnd, RoundTripsOnEveryWritableDevice) {
    const struct {
        const char *address;
        int32_t type;
        fpsim::Area area;
        size_t index;  // the controller word of the first data word
    } tags[] = {
        {"01Y0003", 0, fpsim::Area::kY, 3},           {"01R0100", 0, fpsim::Area::kR, 100},
        {"01L0639", 0, fpsim::Area::kL, 639},         {"01V0005", 0, fpsim::Area::kElapsedValue, 5},
        {"01S3071", 0, fpsim::Area::kSetValue, 3071}, {"01D10239", 0, fpsim::Area::kData, 10239},
        {"01F32764", 0, fpsim::Area::kFile, 32764},   {"01E00100", 3, fpsim::Area::kData, 100},
        {"01G00200", 4, fpsim::Area::kFile, 200},     {"01Y0010", 5, fpsim::Area::kY, 10},
        {"01S0008", 3, fpsim::Area::kSetValue, 8},
    };
    const Words values16[] = {{0, 0}, {0, 0x7FFF}, {0, -32768}, {0, -1}};
    const Words values32[] = {{0, 0}, {-1, 0x7FFF}, {0, -32768}, {-1, -1}, {0x5678, 0x1234}};
    for (const auto &tag : tags) {
        ASSERT_EQ(host_.Parse(tag.address, tag.type), 0) << tag.address;
        const bool wide = tag.type != 0;
        for (const Words &value : wide ? std::vector<Words>(values32, values32 + 5)
                                       : std::vector<Words>(values16, values16 + 4)) {
            ASSERT_EQ(host_.Write(value), 0) << tag.address;
            Words back;
            ASSERT_EQ(host_.Read(back, 2), 0) << tag.address;
            if (wide) {
                EXPECT_EQ(back, value) << tag.address;
                EXPECT_EQ(simulator_->ReadWord("01", tag.area, tag.index + 1),
                          static_cast<uint16_t>(value[1]));
            } else {
                EXPECT_EQ(back[1], value[1]) << tag.address;
                EXPECT_EQ(back[0], 0) << tag.address;
            }
            EXPECT_EQ(simulator_->ReadWord("01", tag.area, tag.index),
                      static_cast<uint16_t>(value[wide ? 0 : 1]))
                << tag.address;
        }
    }
}

TEST_F(EndToEnd, BitsRoundTripAndInputsAreRefused) {
    const struct {
        const char *address;
        fpsim::Area area;
        size_t word;
        int bit;
        bool writable;
    } bits[] = {
        {"01Y0002F", fpsim::Area::kY, 2, 15, true},
        {"01R00120", fpsim::Area::kR, 12, 0, true},
        {"01L0063A", fpsim::Area::kL, 63, 10, true},
        {"01X00017", fpsim::Area::kX, 1, 7, false},
        {"01T0010B", fpsim::Area::kTimerCounter, 10, 11, false},
        {"01C01870", fpsim::Area::kTimerCounter, 187, 0, false},
    };
    for (const auto &b : bits) {
        ASSERT_EQ(host_.Parse(b.address, QIV_TYPE_BIT), 0) << b.address;
        for (const int16_t value : {1, 0}) {
            simulator_->WriteWord("01", b.area, b.word,
                                  static_cast<uint16_t>(value ? 1u << b.bit : 0));
            Words back;
            ASSERT_EQ(host_.Read(back, 2), 0) << b.address;
            EXPECT_EQ(back, (Words{0, value})) << b.address;
            // Write the other value: through on outputs, refused on inputs and contacts.
            const int16_t other = static_cast<int16_t>(1 - value);
            EXPECT_EQ(host_.Write({0, other}), b.writable ? 0 : 1) << b.address;
            const bool on = (simulator_->ReadWord("01", b.area, b.word) >> b.bit & 1) != 0;
            EXPECT_EQ(on, b.writable ? other != 0 : value != 0) << b.address;
        }
    }
}

TEST_F(EndToEnd, ReadOnlyWordsAndWhatTheControllerRefuses) {
    simulator_->WriteWord("01", fpsim::Area::kX, 5, 0xBEEF);
    simulator_->WriteWord("01", fpsim::Area::kTimerCounter, 3, 0x0102);
    Words words;
    ASSERT_EQ(host_.Parse("01X0005", 0), 0);
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(static_cast<uint16_t>(words[1]), 0xBEEF);
    EXPECT_EQ(host_.Write({0, 1}), 1) << "inputs are the controller's to set";
    ASSERT_EQ(host_.Parse("01T0003", 0), 0);
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words[1], 0x0102);
    EXPECT_EQ(host_.Write({0, 1}), 1) << "contacts of timers take no writes";
    // An address the controller does not have: its error response.
    ASSERT_EQ(host_.Parse("01D65000", 0), 0);
    EXPECT_EQ(host_.Read(words, 2), 1);
    EXPECT_EQ(std::string(host_.instance().rxFrame, 9), "%01!6102\r");
    EXPECT_EQ(words, (Words{0, 0}));
}

TEST_F(EndToEnd, BlocksAtTheirLimits) {
    const struct {
        const char *address;
        int32_t type, count;
        bool write;
        int32_t status;
        size_t words;
    } blocks[] = {
        {"01D00000", 0, 27, false, 0, 27}, {"01F00100", 0, 27, false, 0, 27},
        {"01X0000", 0, 27, false, 0, 27},  {"01V0000", 0, 27, false, 0, 27},
        {"01E00000", 3, 13, false, 0, 26}, {"01G00010", 3, 13, false, 0, 26},
        {"01D00000", 0, 24, true, 0, 24},  {"01D00000", 0, 25, true, 1, 25},
        {"01Y0000", 0, 25, true, 0, 25},   {"01Y0000", 0, 26, true, 1, 26},
        {"01E00000", 3, 12, true, 0, 24},  {"01E00000", 3, 13, true, 1, 26},
    };
    for (const auto &b : blocks) {
        ASSERT_EQ(host_.Parse(b.address, b.type, b.count), 0) << b.address;
        Words pattern(b.words);
        for (size_t i = 0; i < pattern.size(); ++i)
            pattern[i] = static_cast<int16_t>(0x100 * b.count + i);
        if (b.write) {
            EXPECT_EQ(host_.Write(pattern), b.status) << b.address << " " << b.count;
            if (b.status != 0)
                continue;
        }
        Words back;
        EXPECT_EQ(host_.Read(back, b.words), 0) << b.address << " " << b.count;
        if (b.write) {
            EXPECT_EQ(back, pattern) << b.address;
        }
    }
}

TEST_F(EndToEnd, StationsOnOneLine) {
    for (const char *station : {"01", "05", "1F"}) {
        simulator_->WriteWord(station, fpsim::Area::kData, 100,
                              static_cast<uint16_t>(strtol(station, nullptr, 16)));
    }
    const struct {
        const char *address;
        int16_t value;
    } reads[] = {{"01D00100", 1}, {"05D00100", 5}, {"1FD00100", 31}, {"EED00100", 1}};
    for (const auto &r : reads) {
        Words words;
        ASSERT_EQ(host_.Parse(r.address, 0), 0);
        EXPECT_EQ(host_.Read(words, 2), 0) << r.address;
        EXPECT_EQ(words[1], r.value) << r.address;
    }
    // A station that is not there: three attempts, each unanswered, and
    // status 2 (what they cost is held exactly by the unit tests, on the
    // virtual clock; here it is printed).
    ASSERT_EQ(host_.Parse("03D00100", 0), 0);
    const size_t before = simulator_->Frames().size();
    const auto start = std::chrono::steady_clock::now();
    Words words;
    EXPECT_EQ(host_.Read(words, 2), 2);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(words, (Words{0, 0}));
    // The log may still take the answer to the read before this one: the
    // simulator records a frame once it has sent it, and a busy machine can
    // let the driver return in between. Only the frames to station 03 count.
    ASSERT_TRUE(simulator_->WaitForFrames(before + 3, milliseconds(10000)));
    const std::vector<fpsim::FrameRecord> frames = simulator_->Frames();
    int toStation03 = 0;
    for (size_t i = before; i < frames.size(); ++i) {
        if (frames[i].bytes.substr(0, 4) != "%03#")
            continue;
        ++toStation03;
        EXPECT_EQ(frames[i].direction, fpsim::Direction::kReceived);
        EXPECT_EQ(frames[i].note, "not answered (station 03)") << i;
    }
    EXPECT_EQ(toStation03, 3);
    printf(
        "no answer from station 03: status 2 after %.0f ms (3 x 40 ms time-out + 100 ms guard)\n",
        ms);
}

// Each fault of the line: once, the next attempt mends it; on every answer,
// the host sees the failure, and never a wrong value as a success. An answer
// late by less than the horizon, and one behind stray bytes, an echo, noise or
// another station's answer, are still the answers to their request.
TEST_F(EndToEnd, EveryFaultOfTheLine) {
    simulator_->WriteWord("01", fpsim::Area::kData, 7, 0x1234);
    // A time-out of 100 ms: the status tells what came within the attempts'
    // time, and a busy machine must not push a prompt answer past them.
    ASSERT_EQ(host_.Call(QIV_CMD_END), 0);
    ASSERT_EQ(host_.Start(PortNameOf(*simulator_), 10), 0);
    ASSERT_EQ(host_.Parse("01D00007", 0), 0);
    // A fault once leaves an attempt unanswered, so the station is doubtful
    // at the next read, and its attempts send the status request until it
    // is answered: where that answer is spoiled too, the read is never sent,
    // and the last attempt's answer gives the status.
    const struct {
        fpsim::FaultKind kind;
        int32_t status;  // when every answer has it
    } faults[] = {
        {fpsim::FaultKind::kNoAnswer, 2},
        {fpsim::FaultKind::kLate, 0},
        {fpsim::FaultKind::kTruncated, 1},
        {fpsim::FaultKind::kCorruptChar, 1},
        {fpsim::FaultKind::kWrongBlockCheck, 1},
        {fpsim::FaultKind::kWrongStation, 1},
        {fpsim::FaultKind::kErrorResponse, 1},
        {fpsim::FaultKind::kStrayBytes, 0},
        // What comes ahead of the answer answers nothing, so the answer is
        // still taken: the request's echo, noise, another station's answer.
        {fpsim::FaultKind::kEcho, 0},
        {fpsim::FaultKind::kNoise, 0},
        {fpsim::FaultKind::kForeign, 0},
    };
    for (const auto &f : faults) {
        const char *name = fpsim::FaultKindName(f.kind);
        fpsim::Fault fault;
        fault.kind = f.kind;
        Words words;
        simulator_->FaultOnce(fault);
        EXPECT_EQ(host_.Read(words, 2), 0) << name << " once";
        EXPECT_EQ(words, (Words{0, 0x1234})) << name << " once";

        simulator_->FaultEvery(1, fault);
        EXPECT_EQ(host_.Read(words, 2), f.status) << name << " always";
        EXPECT_EQ(words, f.status == 0 ? (Words{0, 0x1234}) : (Words{0, 0})) << name << " always";
        simulator_->ClearFaults();
        EXPECT_EQ(host_.Read(words, 2), 0) << name << ": the channel recovers";
        EXPECT_EQ(words, (Words{0, 0x1234})) << name;
    }
}

// A purge throws away what waits on the line, itself: here the second copy
// of an answer, which comes after its read has returned.
TEST_F(EndToEnd, APurgeThrowsAwayWhatWaits) {
    simulator_->WriteWord("01", fpsim::Area::kData, 1, 0x0102);
    ASSERT_EQ(host_.Parse("01D00001", 0), 0);
    fpsim::Fault twice;
    twice.kind = fpsim::FaultKind::kDouble;
    twice.repeatGapMs = 50;
    simulator_->FaultOnce(twice);
    simulator_->ClearFrames();
    Words words;
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words, (Words{0, 0x0102}));
    // The request and both copies in the simulator's log: the second is on
    // its way to the driver's port.
    ASSERT_TRUE(simulator_->WaitForFrames(3, milliseconds(10000)));
    const std::string copy = simulator_->Frames().back().bytes;
    ASSERT_EQ(copy.substr(0, 6), "%01$RD");

    // It crosses the pseudo-terminal in a kernel worker: purge until a
    // purge has thrown it away.
    SeenOnTheLine seen;
    {
        Monitored monitored(&seen);
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen.All(QIV_LINE_DISCARDED).size() < copy.size() &&
               std::chrono::steady_clock::now() < giveUp) {
            EXPECT_EQ(host_.Call(QIV_CMD_PURGE_INPUT), 0);
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    EXPECT_EQ(seen.All(QIV_LINE_DISCARDED), copy);
    EXPECT_EQ(seen.All(QIV_LINE_READ), "") << "a purge reads nothing as an answer";
    EXPECT_EQ(seen.All(QIV_LINE_WRITTEN), "") << "nor sends anything";

    // The next read finds nothing waiting and gets its own answer.
    SeenOnTheLine next;
    {
        Monitored monitored(&next);
        simulator_->WriteWord("01", fpsim::Area::kData, 1, 0x0304);
        EXPECT_EQ(host_.Read(words, 2), 0);
    }
    EXPECT_EQ(words, (Words{0, 0x0304}));
    EXPECT_EQ(next.All(QIV_LINE_DISCARDED), "");
    ASSERT_FALSE(next.events.empty());
    EXPECT_EQ(next.events.front().first, QIV_LINE_WRITTEN);
}

TEST_F(EndToEnd, AChannelsLife) {
    Words words;
    ASSERT_EQ(host_.Parse("01D00001", 0), 0);
    EXPECT_EQ(host_.Call(QIV_CMD_PURGE_INPUT), 0) << "on a quiet line too";
    EXPECT_EQ(host_.Call(QIV_CMD_CLOSE_PORT), 0);
    EXPECT_EQ(host_.Read(words, 2), 2) << "no port";
    EXPECT_EQ(host_.Call(QIV_CMD_OPEN_PORT), 0);
    EXPECT_EQ(host_.Read(words, 2), 0);

    // To another controller and back.
    auto other = StartSimulator();
    other->WriteWord("01", fpsim::Area::kData, 1, 77);
    ASSERT_EQ(host_.Reconfigure(PortNameOf(*other)), 0);
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words[1], 77);
    ASSERT_EQ(host_.Reconfigure(PortNameOf(*simulator_)), 0);
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words[1], 0);

    // Two channels on two controllers at once.
    Host second;
    ASSERT_EQ(second.Start(PortNameOf(*other)), 0);
    ASSERT_EQ(second.Parse("01D00001", 0), 0);
    EXPECT_EQ(second.Read(words, 2), 0);
    EXPECT_EQ(words[1], 77);
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words[1], 0);
    EXPECT_EQ(second.Call(QIV_CMD_END), 0);

    // The null device: nothing reaches a line and the read fails (at once,
    // with no wait but the RTS leads, as the unit tests hold on the virtual
    // clock).
    Host null;
    ASSERT_EQ(null.Start("NULLDEV"), 0);
    ASSERT_EQ(null.Parse("01D00001", 0), 0);
    SeenOnTheLine seen;
    {
        Monitored monitored(&seen);
        EXPECT_EQ(null.Read(words, 2), 2);
    }
    EXPECT_TRUE(seen.events.empty()) << seen.events.size() << " events";
    EXPECT_EQ(null.Call(QIV_CMD_END), 0);
}

// The controller's line goes away in the middle of a run and comes back on
// the same path: the driver reports failures, neither crashing nor hanging,
// and a close and a reopen bring the channel back.
TEST(LostLine, TheChannelComesBackWithTheLine) {
    LogCapture log;
    const std::string link = "/tmp/qvl" + std::to_string(getpid() % 1000);
    const auto startOnLink = [&] {
        fpsim::Options options;
        options.linkPath = link;
        options.zeroMemory = true;
        options.assignments = {"DT1=42"};
        auto simulator = std::make_unique<fpsim::Simulator>(options);
        std::string error;
        EXPECT_TRUE(simulator->Start(&error)) << error;
        return simulator;
    };
    auto simulator = startOnLink();
    Host host;
    ASSERT_EQ(host.Start(link), 0);
    ASSERT_EQ(host.Parse("01D00001", 0), 0);
    Words words;
    EXPECT_EQ(host.Read(words, 2), 0);

    for (const bool reconfigure : {false, true}) {
        simulator->Stop();
        for (int i = 0; i < 3; ++i) {
            EXPECT_NE(host.Read(words, 2), 0) << "the line is gone";
            EXPECT_EQ(words, (Words{0, 0}));
            EXPECT_NE(host.Write({0, 1}), 0);
        }
        simulator = startOnLink();
        EXPECT_NE(host.Read(words, 2), 0) << "still the old device until reopened";
        EXPECT_EQ(host.Call(QIV_CMD_CLOSE_PORT), 0);
        EXPECT_EQ(reconfigure ? host.Reconfigure(link) : host.Call(QIV_CMD_OPEN_PORT), 0);
        EXPECT_EQ(host.Read(words, 2), 0);
        EXPECT_EQ(words, (Words{0, 42}));
    }
    EXPECT_EQ(host.Call(QIV_CMD_END), 0);
}

}  // namespace
