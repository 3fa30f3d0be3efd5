// The driver through QivMain, as a host calls it, over a pseudo-terminal with
// a scripted responder at the far end.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "integration/pty_line.h"
#include "qivma.h"
#include "support/host_channel.h"
#include "unit/log_capture.h"

namespace {

std::string Sealed(const std::string &body) {
    unsigned check = 0;
    for (const char c : body)
        check ^= static_cast<unsigned char>(c);
    char digits[3];
    snprintf(digits, sizeof digits, "%02X", check);
    return body + digits + "\r";
}

// A port name that fits the host's 12-byte field: the device itself, or a
// short link to it.
class ShortName {
  public:
    explicit ShortName(const std::string &device) {
        if (device.size() < QIV_PORT_NAME_SIZE) {
            name_ = device;
            return;
        }
        for (int i = 0; i < 1000 && name_.empty(); ++i) {
            const std::string link =
                "/tmp/qv" + std::to_string(getpid() % 1000) + "_" + std::to_string(i);
            if (link.size() < QIV_PORT_NAME_SIZE && symlink(device.c_str(), link.c_str()) == 0) {
                name_ = link;
                link_ = link;
            }
        }
    }
    ~ShortName() {
        if (!link_.empty())
            unlink(link_.c_str());
    }
    const std::string &name() const { return name_; }

  private:
    std::string name_, link_;
};

// The channel's time-out, in 10 ms units, where the responder's answers are
// to be taken: it answers as soon as it is woken, and a busy machine may wake
// it late; a time-out that it misses would send another frame, which takes
// the next scripted answer.
constexpr int32_t kAnsweredTimeout = 100;  // 1 s
// Where an attempt is to go unanswered, or nobody answers at all.
constexpr int32_t kSilentTimeout = 10;  // 100 ms

class DriverPtyTest : public ::testing::Test {
  protected:
    DriverPtyTest() { host_.SetUnit(3); }
    int32_t Call(int32_t command, void *params = nullptr) { return host_.Call(command, params); }
    int32_t Start(const std::string &name, int32_t timeout = kSilentTimeout) {
        return host_.Start(name, timeout);
    }
    TagAccess Tag(char device, int32_t address, int32_t width, int32_t dataType, int32_t count,
                  int32_t bit = 255) {
        TagAccess tag = {};
        tag.station = 1;
        tag.device = device;
        tag.wordAddress = address;
        tag.width = width;
        tag.dataType = dataType;
        tag.count = count;
        tag.bitNumber = bit;
        tag.data = data_;
        return tag;
    }

    Host host_;
    int16_t data_[32] = {};
    LogCapture log_;
};

TEST_F(DriverPtyTest, AChannelsWholeLife) {
    PtyLine line;
    ASSERT_FALSE(line.path().empty());
    ShortName port(line.path());
    ASSERT_FALSE(port.name().empty());

    line.Respond({
        Sealed("%01$RD3412"),              // D100, 16 bits
        Sealed("%01$RD78563412"),          // E100, 32 bits
        Sealed("%01$RC0400"),              // R0012, bit 2
        Sealed("%01$RD0100020003000400"),  // D0 to D3
        Sealed("%01$WD"),                  // write D100
        Sealed("%01$WD"),                  // write E100
        Sealed("%01$WC"),                  // write R0012
        Sealed("%01$WD"),                  // block write D0 to D2
    });
    ASSERT_EQ(Start(port.name(), kAnsweredTimeout), 0);
    EXPECT_NE(host_.instance().port, nullptr);
    EXPECT_EQ(host_.instance().unit, 3);

    TagAccess d100 = Tag('D', 100, 16, 0, 0);
    EXPECT_EQ(Call(QIV_CMD_READ_VALUE, &d100), 0);
    EXPECT_EQ(data_[1], 0x1234);
    EXPECT_EQ(data_[0], 0);

    TagAccess e100 = Tag('E', 100, 32, 3, 0);
    EXPECT_EQ(Call(QIV_CMD_READ_VALUE, &e100), 0);
    EXPECT_EQ(data_[0], 0x5678);
    EXPECT_EQ(data_[1], 0x1234);

    TagAccess r12 = Tag('R', 1, 1, 6, 0, 2);
    EXPECT_EQ(Call(QIV_CMD_READ_VALUE, &r12), 0);
    EXPECT_EQ(data_[1], 1);

    TagAccess block = Tag('D', 0, 16, 0, 4);
    EXPECT_EQ(Call(QIV_CMD_READ_BLOCK, &block), 0);
    EXPECT_EQ(std::vector<int16_t>(data_, data_ + 4), (std::vector<int16_t>{1, 2, 3, 4}));

    data_[1] = 4660;
    EXPECT_EQ(Call(QIV_CMD_WRITE_VALUE, &d100), 0);
    data_[0] = 0x5678;
    data_[1] = 0x1234;
    EXPECT_EQ(Call(QIV_CMD_WRITE_VALUE, &e100), 0);
    data_[1] = 1;
    EXPECT_EQ(Call(QIV_CMD_WRITE_VALUE, &r12), 0);
    data_[0] = 7;
    data_[1] = 8;
    data_[2] = -1;
    TagAccess blockWrite = Tag('D', 0, 16, 0, 3);
    EXPECT_EQ(Call(QIV_CMD_WRITE_BLOCK, &blockWrite), 0);

    line.StopResponder();
    const std::deque<std::string> frames = line.Received();
    const std::vector<std::string> expected = {
        "%01#RDD001000010055\r",
        Sealed("%01#RDD0010000101"),
        Sealed("%01#RCCR00010001"),
        Sealed("%01#RDD0000000003"),
        "%01#WDD0010000100341254\r",
        "%01#WDD00100001017856341259\r",
        "%01#WCSR0012120\r",
        Sealed("%01#WDD0000000002"
               "07000800FFFF"),
    };
    EXPECT_EQ(std::vector<std::string>(frames.begin(), frames.end()), expected);

    // Purge: what waits is gone from the port once the purge returns, and
    // the next read gets its own answer.
    const std::string stale = Sealed("%01$RD9999");
    line.Send(stale);
    ASSERT_TRUE(line.AwaitWaiting(stale.size()));
    EXPECT_EQ(Call(QIV_CMD_PURGE_INPUT), 0);
    EXPECT_EQ(line.Waiting(), 0u) << "the purge itself read it away";
    line.Respond({Sealed("%01$RD0500")});
    EXPECT_EQ(Call(QIV_CMD_READ_VALUE, &d100), 0);
    EXPECT_EQ(data_[1], 5);
    line.StopResponder();

    // Reconfigure onto another line, then end.
    PtyLine other;
    ShortName otherPort(other.path());
    EXPECT_EQ(host_.Reconfigure(otherPort.name(), {9600, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD}), 0);
    other.Respond({Sealed("%01$RD0600")});
    EXPECT_EQ(Call(QIV_CMD_READ_VALUE, &d100), 0);
    EXPECT_EQ(data_[1], 6);
    other.StopResponder();
    EXPECT_EQ(Call(QIV_CMD_END), 0);
    EXPECT_EQ(host_.instance().port, nullptr);
    EXPECT_EQ(host_.instance().instanceNumber, -1);

    // The modem-line calls fail on a pseudo-terminal, and only they are logged
    // besides the channel's own messages.
    for (const LogCapture::Entry &entry : log_.entries()) {
        const bool lifecycle = entry.format.find("ColdStart()") != std::string::npos ||
                               entry.format.find("EndQiv()") != std::string::npos ||
                               entry.format.find("Instances left") != std::string::npos;
        const bool modemLine = entry.format.rfind("EscapeCommFunction fail", 0) == 0;
        EXPECT_TRUE(lifecycle || modemLine) << entry.message;
    }
}

TEST_F(DriverPtyTest, SilenceCostsThreeAttemptsAndClearsBothWords) {
    PtyLine line;
    ShortName port(line.path());
    ASSERT_EQ(Start(port.name()), 0);
    line.Respond({"", "", ""});
    TagAccess d100 = Tag('D', 100, 16, 0, 0);
    data_[0] = data_[1] = 9;
    EXPECT_EQ(Call(QIV_CMD_READ_VALUE, &d100), 2);
    EXPECT_EQ(data_[0], 0);
    EXPECT_EQ(data_[1], 0);
    line.StopResponder();
    const std::deque<std::string> frames = line.Received();
    EXPECT_EQ(std::vector<std::string>(frames.begin(), frames.end()),
              std::vector<std::string>(3, "%01#RDD001000010055\r"))
        << "the same frame three times";
    EXPECT_EQ(Call(QIV_CMD_END), 0);
}

TEST_F(DriverPtyTest, ASecondOpenOfTheSamePortFails) {
    PtyLine line;
    ShortName port(line.path());
    ASSERT_EQ(Start(port.name()), 0);
    EXPECT_EQ(Call(QIV_CMD_OPEN_PORT), 2) << "the channel's own port is still open";
    const QivPortHandle before = host_.instance().port;
    EXPECT_EQ(host_.Reconfigure(port.name(), {9600, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD}), 2);
    EXPECT_EQ(host_.instance().port, before) << "the old port stays open";
    EXPECT_EQ(Call(QIV_CMD_CLOSE_PORT), 0);
    EXPECT_EQ(Call(QIV_CMD_OPEN_PORT), 0) << "with the settings recorded by the reconfigure";
    EXPECT_EQ(host_.instance().openParams.lineSettings.baudRate, 9600);
    EXPECT_EQ(Call(QIV_CMD_END), 0);
}

// The descriptors this process has open.
int OpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += fcntl(fd, F_GETFD) != -1;
    return count;
}

TEST_F(DriverPtyTest, AReplacedPortIsClosedAndItsDeviceFreed) {
    PtyLine first, second, third;
    ShortName firstName(first.path()), secondName(second.path());
    ASSERT_EQ(Start(firstName.name()), 0);
    const int held = OpenDescriptors();

    // A restart of a running channel on another port.
    ASSERT_EQ(Start(secondName.name()), 0);
    EXPECT_EQ(OpenDescriptors(), held) << "the first port's descriptor was closed";
    DriverInstance other = {};
    std::swap(other, host_.instance());
    EXPECT_EQ(Start(firstName.name()), 0) << "and its lock is gone with it";
    EXPECT_EQ(Call(QIV_CMD_END), 0);
    std::swap(other, host_.instance());
    EXPECT_EQ(Call(QIV_CMD_END), 0);

    // The line lost and found again under the same name: the name now leads
    // to another device, and the reopen replaces the dead port.
    const std::string link = "/tmp/qvl" + std::to_string(getpid() % 1000);
    unlink(link.c_str());
    ASSERT_EQ(symlink(second.path().c_str(), link.c_str()), 0);
    ASSERT_EQ(Start(link), 0);
    const int before = OpenDescriptors();
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(third.path().c_str(), link.c_str()), 0);
    EXPECT_EQ(Call(QIV_CMD_OPEN_PORT), 0);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(Call(QIV_CMD_END), 0);
    unlink(link.c_str());
}

TEST_F(DriverPtyTest, TheLineMonitorSeesEveryByteInOrder) {
    PtyLine line;
    ShortName port(line.path());
    // The first attempt goes unanswered for its time-out; the second is
    // answered within the same time-out, which is long.
    constexpr int32_t kTimeout = 50;  // 500 ms
    ASSERT_EQ(Start(port.name(), kTimeout), 0);
    SeenOnTheLine seen;
    ASSERT_EQ(QivSetLineMonitor(&SeenOnTheLine::Record, &seen), 0);

    // Left from before: thrown away. The first attempt unanswered, the
    // second answered.
    line.Send("stale");
    ASSERT_TRUE(line.AwaitWaiting(5));
    line.Respond({"", Sealed("%01$RD3412")});
    TagAccess d100 = Tag('D', 100, 16, 0, 0);
    EXPECT_EQ(Call(QIV_CMD_READ_VALUE, &d100), 0);
    line.StopResponder();
    EXPECT_EQ(QivSetLineMonitor(nullptr, nullptr), 0);

    const std::string frame = Sealed("%01#RDD0010000100");
    EXPECT_EQ(seen.All(QIV_LINE_DISCARDED), "stale");
    EXPECT_EQ(seen.All(QIV_LINE_WRITTEN), frame + frame);
    EXPECT_EQ(seen.All(QIV_LINE_READ), Sealed("%01$RD3412"));
    ASSERT_GE(seen.events.size(), 4u);
    EXPECT_EQ(seen.events.front().first, QIV_LINE_DISCARDED);
    EXPECT_EQ(seen.events.back().first, QIV_LINE_READ);
    for (size_t i = 1; i < seen.times.size(); ++i)
        EXPECT_LE(seen.times[i - 1], seen.times[i]);
    // The second frame follows the first once its time-out has passed.
    std::vector<uint64_t> writes;
    for (size_t i = 0; i < seen.events.size(); ++i) {
        if (seen.events[i].first == QIV_LINE_WRITTEN)
            writes.push_back(seen.times[i]);
    }
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_GE(writes[1] - writes[0], kTimeout * 10000u);

    // A purge reports what it throws away, as it throws it away: nothing is
    // left for the next read to find.
    ASSERT_EQ(QivSetLineMonitor(&SeenOnTheLine::Record, &seen), 0);
    seen = SeenOnTheLine();
    line.Send("left over");
    ASSERT_TRUE(line.AwaitWaiting(9));
    EXPECT_EQ(Call(QIV_CMD_PURGE_INPUT), 0);
    EXPECT_EQ(seen.All(QIV_LINE_DISCARDED), "left over");
    EXPECT_EQ(seen.All(QIV_LINE_READ), "");
    EXPECT_EQ(line.Waiting(), 0u);
    EXPECT_EQ(QivSetLineMonitor(nullptr, nullptr), 0);

    // Without a monitor nothing is reported. The first read left its first
    // attempt unanswered, so the station is sent the status request first.
    const size_t before = seen.events.size();
    line.Respond({Sealed("%01$RT9A25600100000000"), Sealed("%01$RD3412")});
    EXPECT_EQ(Call(QIV_CMD_READ_VALUE, &d100), 0);
    line.StopResponder();
    EXPECT_EQ(seen.events.size(), before);
    EXPECT_EQ(Call(QIV_CMD_END), 0);
}

}  // namespace
