// The scan engine in this process against the simulator: a dead station
// beside a live one, taken off scan so that it costs the live one nothing;
// a line whose controller goes and comes back; several lines at once; the
// line's scan time beside the controller's log (the tsan lane runs these).
#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/kelpra.h"
#include "tools/fpsim/simulator.h"
#include "tools/gateway/config.h"
#include "tools/gateway/engine.h"
#include "tools/gateway/tag_table.h"

namespace {

using namespace gateway;
using std::chrono::seconds;

std::unique_ptr<fpsim::Simulator> StartSimulator(const std::vector<std::string> &stations,
                                                 int scanDelayMs = 2) {
    fpsim::Options options;
    options.stations = stations;
    options.scanDelayMs = scanDelayMs;
    auto sim = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    EXPECT_TRUE(sim->Start(&error)) << error;
    return sim;
}

std::string Lines(int count, int reopenMs = 50) {
    std::string text =
        "defaults: {rate_ms: 0, timeout_ms: 100, demote_after: 2, demote_for_s: 600, "
        "reopen_ms: " +
        std::to_string(reopenMs) + ", reopen_max_ms: " + std::to_string(2 * reopenMs) +
        "}\nlines:\n";
    for (int line = 0; line < count; ++line) {
        const std::string unit = std::to_string(10 * line + 1),
                          next = std::to_string(10 * line + 2);
        text +=
            "  - port: /dev/null\n"
            "    stations: [{station: 01, unit: " +
            unit + "}, {station: 02, unit: " + next +
            "}]\n"
            "    tags:\n"
            "      - {address: 01D00100, count: 30, register: 0}\n"
            "      - {address: 01R00000, count: 20, type: bit, register: 0}\n"
            "      - {address: 02D00100, count: 5, register: 0}\n";
    }
    return text;
}

// Waits for the table's tags to come to a state, on its change events.
class Watch {
  public:
    explicit Watch(TagTable &table) : table_(table) {
        table.Listen([this](const std::vector<size_t> &) {
            std::lock_guard<std::mutex> hold(mutex_);
            changed_.notify_all();
        });
    }
    bool Until(const std::function<bool(const TagTable &)> &ready) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, seconds(60), [&] { return ready(table_); });
    }

  private:
    TagTable &table_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

bool AllOf(const TagTable &table, size_t from, size_t to, Quality quality) {
    for (size_t tag = from; tag < to; ++tag) {
        if (table.Get(tag).quality != quality)
            return false;
    }
    return true;
}

class GatewayEngine : public ::testing::Test {
  protected:
    void SetUp() override { kelpra_set_echo(0); }
    void TearDown() override { kelpra_set_echo(1); }
};

TEST_F(GatewayEngine, ADeadStationIsTakenOffScanAndCostsTheLiveOneNothing) {
    auto sim = StartSimulator({"01"});  // station 02 does not answer
    Config config;
    std::vector<std::string> errors;
    ASSERT_TRUE(ParseConfig(Lines(1), "test", config, errors)) << errors[0];
    TagTable table(config);
    Watch watch(table);
    Engine engine(config, table);
    std::string error;
    ASSERT_TRUE(engine.Plan(&error)) << error;
    engine.Start({sim->DevicePath()});

    // Tags 0-49 are station 01's, 50-54 station 02's.
    ASSERT_TRUE(watch.Until([](const TagTable &t) {
        return AllOf(t, 0, 50, Quality::kGood) && AllOf(t, 50, 55, Quality::kDemoted);
    }));
    EXPECT_EQ(table.Get(0).words,
              std::vector<uint16_t>{sim->ReadWord("01", fpsim::Area::kData, 100)});
    const StationStatus dead = table.Stations()[1];
    EXPECT_EQ(dead.state, StationState::kDemoted);
    EXPECT_EQ(dead.counters.demotions, 1u);
    EXPECT_GE(dead.counters.failures, 2u);

    // From now on every frame on the line is the live station's.
    sim->TakeFrames();
    ASSERT_TRUE(sim->WaitForFrames(60, seconds(60)));
    engine.Stop();
    for (const fpsim::FrameRecord &frame : sim->Frames())
        EXPECT_EQ(frame.bytes.compare(0, 3, "%01"), 0) << frame.bytes;
    EXPECT_GT(table.Stations()[0].counters.reads, 30u);
    EXPECT_EQ(table.Stations()[0].counters.failures, 0u);
}

TEST_F(GatewayEngine, EveryLineScansOnItsOwnThreadAndComesBackAfterItsPortFailed) {
    std::vector<std::unique_ptr<fpsim::Simulator>> sims;
    std::vector<std::string> ports;
    for (int line = 0; line < 3; ++line) {
        sims.push_back(StartSimulator({"01", "02"}));
        sims.back()->WriteWord("01", fpsim::Area::kData, 100, static_cast<uint16_t>(500 + line));
        ports.push_back(sims.back()->DevicePath());
    }
    // The failed port is opened again only after the checks: the number of a
    // pseudo-terminal that has gone may meanwhile be another program's.
    Config config;
    std::vector<std::string> errors;
    ASSERT_TRUE(ParseConfig(Lines(3, 10000), "test", config, errors)) << errors[0];
    TagTable table(config);
    Watch watch(table);
    Engine engine(config, table);
    std::string error;
    ASSERT_TRUE(engine.Plan(&error)) << error;
    engine.Start(ports);
    ASSERT_TRUE(watch.Until([](const TagTable &t) { return AllOf(t, 0, 165, Quality::kGood); }));
    for (size_t line = 0; line < 3; ++line)
        EXPECT_EQ(table.Get(55 * line).words[0], 500 + line);

    // The second line's controller goes: its tags go bad, the others' stay good.
    sims[1]->Stop();
    ASSERT_TRUE(
        watch.Until([](const TagTable &t) { return AllOf(t, 55, 110, Quality::kPortFailed); }));
    EXPECT_FALSE(table.Lines()[1].portOpen);
    EXPECT_TRUE(AllOf(table, 0, 55, Quality::kGood));
    EXPECT_TRUE(AllOf(table, 110, 165, Quality::kGood));

    // A write while the port is failed is answered at once as failed.
    EXPECT_EQ(engine.Write({{55, {1}}}).get(), WriteResult::kPortFailed);
    engine.Stop();
    EXPECT_EQ(engine.Write({{0, {1}}}).get(), WriteResult::kStopping);
}

// Two stations read at 300 and 450 ms fall 150 ms apart, and together every
// 900 ms. A pass is the reads that were due, back to back, as the
// controller's log shows them: never the wait between two stations' reads.
TEST_F(GatewayEngine, TheScanTimeIsThePassOverTheDueBlocksNotTheGapBetweenStations) {
    constexpr int kScanDelayMs = 20;  // no read is answered sooner
    auto sim = StartSimulator({"01", "02"}, kScanDelayMs);
    Config config;
    std::vector<std::string> errors;
    ASSERT_TRUE(
        ParseConfig("defaults: {timeout_ms: 200}\n"
                    "lines:\n"
                    "  - port: /dev/null\n"
                    "    stations: [{station: 01, unit: 1}, {station: 02, unit: 2}]\n"
                    "    tags:\n"
                    "      - {address: 01D00100, count: 10, register: 0, rate_ms: 300}\n"
                    "      - {address: 02D00100, count: 10, register: 0, rate_ms: 450}\n",
                    "test", config, errors))
        << errors[0];
    TagTable table(config);
    Watch watch(table);
    Engine engine(config, table);
    std::string error;
    ASSERT_TRUE(engine.Plan(&error)) << error;
    engine.Start({sim->DevicePath()});
    ASSERT_TRUE(watch.Until([](const TagTable &t) { return AllOf(t, 0, 20, Quality::kGood); }));

    // The scan time after each few frames; the log from the first of them.
    ASSERT_TRUE(sim->WaitForFrames(4, seconds(60)));
    sim->TakeFrames();
    std::vector<double> scans;
    for (size_t frames = 4; frames <= 40; frames += 4) {
        ASSERT_TRUE(sim->WaitForFrames(frames, seconds(60)));
        scans.push_back(table.Lines()[0].scanMs);
    }
    engine.Stop();

    // The passes in the controller's log: frames with less than 70 ms
    // between them (the scan delay is inside a pass, 100 ms of quiet or more
    // between two).
    double longest = 0, first = -1, last = -1;
    size_t reads = 0;
    for (const fpsim::FrameRecord &frame : sim->Frames()) {
        if (first < 0 || frame.ms - last >= 70)
            first = frame.ms;
        last = frame.ms;
        longest = std::max(longest, last - first);
        reads += frame.direction == fpsim::Direction::kReceived;
    }
    ASSERT_GE(reads, 15u);
    ASSERT_GE(longest, kScanDelayMs);
    for (const double ms : scans) {
        EXPECT_GE(ms, kScanDelayMs);
        // The gateway's side adds its request's way out and its handling of
        // the last answer.
        EXPECT_LE(ms, longest + 50) << "the longest pass in the log took " << longest << " ms";
    }
}

}  // namespace
