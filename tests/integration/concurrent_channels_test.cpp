// Channels driven from different threads at once, each through QivMain on
// its own pseudo-terminal, while the line monitor is set and reset: what a
// host with one thread per line does. Run under ThreadSanitizer by the tsan
// lane, where a race on the driver's process-wide tables fails the run.
#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/kelpra.h"
#include "qivma.h"
#include "support/host_channel.h"
#include "support/simulator_line.h"
#include "tools/fpsim/simulator.h"

namespace {

// The channel's time-out, in 10 ms units.
constexpr int32_t kTimeout = 10;

// Writes `value` to, or reads it from, the word at `address`.
int32_t Access(Host &channel, int32_t command, const char *address, int16_t *value) {
    if (channel.Parse(address, QIV_TYPE_WORD) != QIV_STATUS_OK)
        return QIV_STATUS_REFUSED;
    Words words = {0, *value};
    const int32_t status =
        command == QIV_CMD_WRITE_VALUE ? channel.Write(words) : channel.Read(words, 2);
    *value = words[1];
    return status;
}

// Two monitors, each with a context of its own: a monitor called with the
// other's context shows a registration torn between two threads.
struct Seen {
    int tag;
    std::atomic<uint64_t> bytes{0};
    std::atomic<int> mismatched{0};
};

template <int kTag>
void QIVMA_CALL Monitor(void *context, const QivLineEvent *event) {
    Seen *seen = static_cast<Seen *>(context);
    if (seen->tag != kTag)
        seen->mismatched++;
    seen->bytes += event->count;
}

class ConcurrentChannels : public ::testing::Test {
  protected:
    void SetUp() override { kelpra_set_echo(0); }
    void TearDown() override {
        QivSetLineMonitor(nullptr, nullptr);
        kelpra_set_echo(1);
    }
};

TEST_F(ConcurrentChannels, EachLineKeepsItsOwnValuesWhileTheMonitorChanges) {
    std::unique_ptr<fpsim::Simulator> simulators[2] = {StartSimulator(), StartSimulator()};
    Seen seenA, seenB;
    seenA.tag = 1;
    seenB.tag = 2;
    std::atomic<int> linesDone{0};
    std::atomic<int> failures[2] = {{0}, {0}};

    auto scan = [&](int line) {
        Host channel;
        if (channel.Start(PortNameOf(*simulators[line]), kTimeout) != QIV_STATUS_OK) {
            failures[line]++;
            linesDone++;
            return;
        }
        for (int i = 0; i < 150; ++i) {
            // Each line writes values of its own, so that an answer taken by
            // the other line's channel shows as a wrong value.
            int16_t value = static_cast<int16_t>(line * 10000 + i);
            int16_t back = 0;
            if (Access(channel, QIV_CMD_WRITE_VALUE, "01D00100", &value) != QIV_STATUS_OK ||
                Access(channel, QIV_CMD_READ_VALUE, "01D00100", &back) != QIV_STATUS_OK ||
                back != value)
                failures[line]++;
            // The port given up and taken again: the tables of open ports and
            // of their owners change while the other line reads.
            if (i % 30 == 29 && (channel.Call(QIV_CMD_CLOSE_PORT) != QIV_STATUS_OK ||
                                 channel.Call(QIV_CMD_OPEN_PORT) != QIV_STATUS_OK))
                failures[line]++;
        }
        channel.Call(QIV_CMD_END);
        linesDone++;
    };
    std::thread lines[2] = {std::thread(scan, 0), std::thread(scan, 1)};
    for (int turn = 0; linesDone < 2; ++turn) {
        if (turn % 2 == 0)
            QivSetLineMonitor(&Monitor<1>, &seenA);
        else
            QivSetLineMonitor(&Monitor<2>, &seenB);
        std::this_thread::yield();
    }
    for (std::thread &line : lines)
        line.join();

    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    EXPECT_EQ(seenA.mismatched + seenB.mismatched, 0);
    EXPECT_GT(seenA.bytes + seenB.bytes, 0u);
    EXPECT_EQ(simulators[0]->ReadWord("01", fpsim::Area::kData, 100), 149);
    EXPECT_EQ(simulators[1]->ReadWord("01", fpsim::Area::kData, 100), 10149);
}

TEST_F(ConcurrentChannels, OneDeviceOpenedByTwoThreadsAtOnceGoesToOne) {
    std::unique_ptr<fpsim::Simulator> simulator = StartSimulator();
    const std::string port = PortNameOf(*simulator);
    for (int round = 0; round < 20; ++round) {
        Host channels[2];
        int32_t status[2] = {};
        std::thread first([&] { status[0] = channels[0].Start(port, kTimeout); });
        std::thread second([&] { status[1] = channels[1].Start(port, kTimeout); });
        first.join();
        second.join();
        EXPECT_EQ((status[0] == QIV_STATUS_OK) + (status[1] == QIV_STATUS_OK), 1)
            << "round " << round << ": " << status[0] << ", " << status[1];
        for (int i = 0; i < 2; ++i) {
            int16_t value = 0;
            if (status[i] == QIV_STATUS_OK) {
                EXPECT_EQ(Access(channels[i], QIV_CMD_READ_VALUE, "01D00100", &value),
                          QIV_STATUS_OK);
            }
            channels[i].Call(QIV_CMD_END);
        }
    }
}

}  // namespace
