// The host program inside the emulated PC: the core of the end-to-end suite,
// run through QivMain exactly as a host runs the driver, over the PC's 16550
// UART and its kernel's 8250 driver. The controller simulator sits on the
// lane's side of the UART; what a test in process would do to it directly
// (set or look at memory, fault its answers) goes over the control line,
// and so do the moments at which the lane is to judge the UART's state and
// every message that the driver gave the host's log.
//
// usage: qivma_uart_session CONTROL-DEVICE PORT [GoogleTest options]
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "qivma.h"
#include "support/host_channel.h"
#include "unit/log_capture.h"

namespace {

constexpr char kDefaultUartState[] = "rate=19200 parity=O data=8 stop=1";

// The guest's end of the control line (see lane_service.h): one request,
// one answer.
class ControlLine {
  public:
    bool Open(const char *path) {
        fd_ = open(path, O_RDWR | O_CLOEXEC);
        return fd_ >= 0;
    }
    // The answer without its line end; "" when the line failed.
    std::string Ask(const std::string &request) {
        const std::string line = request + "\n";
        size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t n = write(fd_, line.data() + sent, line.size() - sent);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return "";
            sent += static_cast<size_t>(n);
        }
        std::string answer;
        char c = 0;
        for (;;) {
            const ssize_t n = read(fd_, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return "";
            if (c == '\n')
                return answer;
            answer += c;
        }
    }

  private:
    int fd_ = -1;
};

ControlLine g_control;
std::string g_port;
LogCapture *g_log = nullptr;

// Asks and expects "ok"; the text after it.
std::string Request(const std::string &request) {
    const std::string answer = g_control.Ask(request);
    EXPECT_EQ(answer.compare(0, 2, "ok"), 0) << request << " -> " << answer;
    return answer.size() > 3 ? answer.substr(3) : "";
}

// The simulator on the far side of the UART, as the lane lets the guest
// reach it. Areas are fpsim's names (DT, FL, X, Y, R, L, T, SV, EV).
struct Controller {
    static void WriteWord(const char *station, const char *area, int index, uint16_t value) {
        Request(std::string("poke ") + station + " " + area + " " + std::to_string(index) + " " +
                std::to_string(value));
    }
    static uint16_t ReadWord(const char *station, const char *area, int index) {
        return static_cast<uint16_t>(std::stoul("0" + Request(std::string("peek ") + station + " " +
                                                              area + " " + std::to_string(index))));
    }
    static void FaultOnce(const char *kind) { Request(std::string("fault-once ") + kind); }
    static void FaultAlways(const char *kind) { Request(std::string("fault-every 1 ") + kind); }
    static void ClearFaults() { Request("clear-faults"); }
};

// Tells the lane what the UART's settings and modem lines are from now on.
void ExpectUart(const std::string &state) {
    Request("expect " + state);
}

// A channel started on the UART with the driver's defaults, as a host starts it.
class OnTheUart : public ::testing::Test {
  protected:
    void SetUp() override {
        Controller::ClearFaults();
        ASSERT_EQ(host_.Start(g_port), 0);
        ExpectUart(std::string(kDefaultUartState) + " rts=0 dtr=1");
    }
    void TearDown() override { host_.Call(QIV_CMD_END); }

    // A write of `value` to D`index` and a read of it, checked on both sides.
    void RoundTrip(int index, int16_t value, const std::string &what) {
        char text[16];
        snprintf(text, sizeof text, "01D%05d", index);
        ASSERT_EQ(host_.Parse(text, 0), 0) << what;
        EXPECT_EQ(host_.Write({0, value}), 0) << what;
        EXPECT_EQ(Controller::ReadWord("01", "DT", index), static_cast<uint16_t>(value)) << what;
        Words back;
        EXPECT_EQ(host_.Read(back, 2), 0) << what;
        EXPECT_EQ(back[1], value) << what;
    }

    Host host_;
};

TEST_F(OnTheUart, LineSettingsReachTheUart) {
    RoundTrip(1, 0x55AA, "the defaults");
    const struct {
        SerialLineSettings line;
        const char *uart;
    } formats[] = {
        {{9600, 7, QIV_STOPBITS_TWO, QIV_PARITY_EVEN}, "rate=9600 parity=E data=7 stop=2"},
        {{19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_MARK}, "rate=19200 parity=M data=8 stop=1"},
        {{19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_SPACE}, "rate=19200 parity=S data=8 stop=1"},
        {{38400, 8, QIV_STOPBITS_ONE, QIV_PARITY_NONE}, "rate=38400 parity=N data=8 stop=1"},
        {kDefaultLine, kDefaultUartState},
    };
    int16_t value = 100;
    for (const auto &format : formats) {
        // An open port keeps its settings: the new ones apply as it reopens.
        ASSERT_EQ(host_.Call(QIV_CMD_CLOSE_PORT), 0) << format.uart;
        ASSERT_EQ(host_.Reconfigure(g_port, format.line), 0) << format.uart;
        ExpectUart(std::string(format.uart) + " rts=0 dtr=1");
        RoundTrip(2, ++value, format.uart);
    }
}

TEST_F(OnTheUart, WordsOfEveryWritableDeviceRoundTrip) {
    const struct {
        const char *address;
        int32_t type;
        const char *area;
        int index;
    } tags[] = {
        {"01Y0003", 0, "Y", 3},       {"01R0100", 0, "R", 100},   {"01L0639", 0, "L", 639},
        {"01V0005", 0, "EV", 5},      {"01S3071", 0, "SV", 3071}, {"01D10239", 0, "DT", 10239},
        {"01F32764", 0, "FL", 32764}, {"01E00100", 3, "DT", 100}, {"01G00200", 4, "FL", 200},
        {"01Y0010", 5, "Y", 10},      {"01S0008", 3, "SV", 8},
    };
    const Words values16[] = {{0, 0x7FFF}, {0, -32768}, {0, -1}};
    const Words values32[] = {{-1, 0x7FFF}, {0, -32768}, {0x5678, 0x1234}};
    for (const auto &tag : tags) {
        ASSERT_EQ(host_.Parse(tag.address, tag.type), 0) << tag.address;
        const bool wide = tag.type != 0;
        for (const Words &value : wide ? std::vector<Words>(values32, values32 + 3)
                                       : std::vector<Words>(values16, values16 + 3)) {
            ASSERT_EQ(host_.Write(value), 0) << tag.address;
            EXPECT_EQ(Controller::ReadWord("01", tag.area, tag.index),
                      static_cast<uint16_t>(value[wide ? 0 : 1]))
                << tag.address;
            if (wide) {
                EXPECT_EQ(Controller::ReadWord("01", tag.area, tag.index + 1),
                          static_cast<uint16_t>(value[1]))
                    << tag.address;
            }
            Words back;
            ASSERT_EQ(host_.Read(back, 2), 0) << tag.address;
            EXPECT_EQ(back, wide ? value : (Words{0, value[1]})) << tag.address;
        }
    }
}

TEST_F(OnTheUart, BitsRoundTripAndInputsAreRefused) {
    const struct {
        const char *address;
        const char *area;
        int word;
        int bit;
        bool writable;
    } bits[] = {
        {"01Y0002F", "Y", 2, 15, true},   {"01R00120", "R", 12, 0, true},
        {"01L0063A", "L", 63, 10, true},  {"01X00017", "X", 1, 7, false},
        {"01T0010B", "T", 10, 11, false}, {"01C01870", "C", 187, 0, false},
    };
    for (const auto &b : bits) {
        ASSERT_EQ(host_.Parse(b.address, QIV_TYPE_BIT), 0) << b.address;
        for (const int16_t value : {1, 0}) {
            Controller::WriteWord("01", b.area, b.word, static_cast<uint16_t>(value << b.bit));
            Words back;
            ASSERT_EQ(host_.Read(back, 2), 0) << b.address;
            EXPECT_EQ(back, (Words{0, value})) << b.address;
            const int16_t other = static_cast<int16_t>(1 - value);
            EXPECT_EQ(host_.Write({0, other}), b.writable ? 0 : 1) << b.address;
            const bool on = (Controller::ReadWord("01", b.area, b.word) >> b.bit & 1) != 0;
            EXPECT_EQ(on, b.writable ? other != 0 : value != 0) << b.address;
        }
    }
}

TEST_F(OnTheUart, ReadOnlyWordsAndWhatTheControllerRefuses) {
    Controller::WriteWord("01", "X", 5, 0xBEEF);
    Words words;
    ASSERT_EQ(host_.Parse("01X0005", 0), 0);
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(static_cast<uint16_t>(words[1]), 0xBEEF);
    EXPECT_EQ(host_.Write({0, 1}), 1) << "inputs are the controller's to set";
    Controller::WriteWord("01", "T", 3, 0x0102);
    ASSERT_EQ(host_.Parse("01T0003", 0), 0);
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words[1], 0x0102);
    EXPECT_EQ(host_.Write({0, 1}), 1) << "contacts of timers take no writes";
    ASSERT_EQ(host_.Parse("01D65000", 0), 0);
    EXPECT_EQ(host_.Read(words, 2), 1);
    EXPECT_EQ(std::string(host_.instance().rxFrame, 9), "%01!6102\r");
    EXPECT_EQ(words, (Words{0, 0}));
}

TEST_F(OnTheUart, BlocksAtTheirLimits) {
    const struct {
        const char *address;
        int32_t type, count;
        bool write;
        int32_t status;
        size_t words;
    } blocks[] = {
        {"01D00000", 0, 27, false, 0, 27}, {"01F00100", 0, 27, false, 0, 27},
        {"01X0000", 0, 27, false, 0, 27},  {"01V0000", 0, 27, false, 0, 27},
        {"01G00010", 3, 13, false, 0, 26}, {"01D00000", 0, 24, true, 0, 24},
        {"01D00000", 0, 25, true, 1, 25},  {"01Y0000", 0, 25, true, 0, 25},
        {"01E00000", 3, 12, true, 0, 24},
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

TEST_F(OnTheUart, StationsOnOneLine) {
    const struct {
        const char *address;
        const char *station;
        int16_t value;
    } reads[] = {{"01D00100", "01", 1},
                 {"05D00100", "05", 5},
                 {"1FD00100", "1F", 31},
                 {"EED00100", "01", 1}};
    for (const auto &r : reads) {
        Controller::WriteWord(r.station, "DT", 100, static_cast<uint16_t>(r.value));
    }
    for (const auto &r : reads) {
        Words words;
        ASSERT_EQ(host_.Parse(r.address, 0), 0);
        EXPECT_EQ(host_.Read(words, 2), 0) << r.address;
        EXPECT_EQ(words[1], r.value) << r.address;
    }
    ASSERT_EQ(host_.Parse("03D00100", 0), 0);
    Words words;
    EXPECT_EQ(host_.Read(words, 2), 2) << "no station 03 on the line";
    EXPECT_EQ(words, (Words{0, 0}));
}

// Each fault of the line: once, the next attempt mends it; on every answer,
// the host sees the failure with its status, and never a wrong value.
TEST_F(OnTheUart, EveryFaultOfTheLine) {
    Controller::WriteWord("01", "DT", 7, 0x1234);
    ASSERT_EQ(host_.Parse("01D00007", 0), 0);
    // A fault once leaves an attempt unanswered, so the station is doubtful
    // at the next read, and its attempts send the status request until it
    // is answered: where that answer is spoiled too, the read is never sent,
    // and the last attempt's answer gives the status.
    const struct {
        const char *kind;
        int32_t status;  // when every answer has it
    } faults[] = {
        {"no-answer", 2}, {"late", 0},          {"truncated", 1}, {"corrupt", 1},
        {"bad-bcc", 1},   {"wrong-station", 1}, {"error", 1},     {"stray", 0},
    };
    for (const auto &f : faults) {
        Words words;
        Controller::FaultOnce(f.kind);
        EXPECT_EQ(host_.Read(words, 2), 0) << f.kind << " once";
        EXPECT_EQ(words, (Words{0, 0x1234})) << f.kind << " once";

        Controller::FaultAlways(f.kind);
        EXPECT_EQ(host_.Read(words, 2), f.status) << f.kind << " always";
        EXPECT_EQ(words, f.status == 0 ? (Words{0, 0x1234}) : (Words{0, 0})) << f.kind;
        Controller::ClearFaults();
        EXPECT_EQ(host_.Read(words, 2), 0) << f.kind << ": the channel recovers";
        EXPECT_EQ(words, (Words{0, 0x1234})) << f.kind;
    }
}

// A purge throws away what waits in the UART's input, itself: here the
// second copy of an answer, which comes after its read has returned.
TEST_F(OnTheUart, APurgeThrowsAwayWhatWaits) {
    Controller::WriteWord("01", "DT", 1, 0x0102);
    Words words;
    ASSERT_EQ(host_.Parse("01D00001", 0), 0);
    Controller::FaultOnce("double:50");
    SeenOnTheLine read;
    {
        Monitored monitored(&read);
        EXPECT_EQ(host_.Read(words, 2), 0);
    }
    EXPECT_EQ(words, (Words{0, 0x0102}));
    const std::string answer = read.All(QIV_LINE_READ);
    ASSERT_EQ(answer.substr(0, 10), "%01$RD0201") << answer;

    // The copy crosses the line after 50 ms and its own line time: purge
    // until a purge has thrown it away.
    SeenOnTheLine seen;
    {
        Monitored monitored(&seen);
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen.All(QIV_LINE_DISCARDED).size() < answer.size() &&
               std::chrono::steady_clock::now() < giveUp) {
            EXPECT_EQ(host_.Call(QIV_CMD_PURGE_INPUT), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_EQ(seen.All(QIV_LINE_DISCARDED), answer);
    EXPECT_EQ(seen.All(QIV_LINE_READ), "") << "a purge reads nothing as an answer";
    EXPECT_EQ(seen.All(QIV_LINE_WRITTEN), "") << "nor sends anything";

    // The next read finds nothing waiting and gets its own answer.
    Controller::WriteWord("01", "DT", 1, 0x0304);
    SeenOnTheLine next;
    {
        Monitored monitored(&next);
        EXPECT_EQ(host_.Read(words, 2), 0);
    }
    EXPECT_EQ(words, (Words{0, 0x0304}));
    EXPECT_EQ(next.All(QIV_LINE_DISCARDED), "");
}

TEST_F(OnTheUart, AChannelsLife) {
    Controller::WriteWord("01", "DT", 1, 77);
    Words words;
    ASSERT_EQ(host_.Parse("01D00001", 0), 0);
    EXPECT_EQ(host_.Call(QIV_CMD_PURGE_INPUT), 0) << "on a quiet line too";
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words[1], 77);

    EXPECT_EQ(host_.Call(QIV_CMD_CLOSE_PORT), 0);
    EXPECT_EQ(host_.Call(QIV_CMD_OPEN_PORT), 0);
    // OpenPort keeps the time-out of the open (1000 ms): a read still works.
    ExpectUart(std::string(kDefaultUartState) + " rts=0 dtr=1");
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words[1], 77);

    // The same name while the port is open: the reopen is refused, and the
    // open port goes on as it was, its RTS down.
    EXPECT_EQ(host_.Reconfigure(g_port, {9600, 8, QIV_STOPBITS_ONE, QIV_PARITY_EVEN}), 2);
    ExpectUart(std::string(kDefaultUartState) + " rts=0 dtr=1");
    EXPECT_EQ(host_.Read(words, 2), 0);
    EXPECT_EQ(words[1], 77);
}

TEST_F(OnTheUart, TheTtyIsOpenedExclusively) {
    Host second;
    EXPECT_EQ(second.Start(g_port), 2) << "the first channel holds " << g_port;
    EXPECT_EQ(second.Call(QIV_CMD_END), 0);
    ExpectUart(std::string(kDefaultUartState) + " rts=0 dtr=1");
    Controller::WriteWord("01", "DT", 3, 3);
    Words words;
    ASSERT_EQ(host_.Parse("01D00003", 0), 0);
    EXPECT_EQ(host_.Read(words, 2), 0) << "the first channel goes on";
    EXPECT_EQ(words[1], 3);
}

TEST(AMissingDevice, FailsToOpen) {
    for (const char *name : {"ttyS9", "ttyUSB0"}) {
        Host host;
        EXPECT_EQ(host.Start(name), 2) << name;
        bool reported = false;
        for (const LogCapture::Entry &entry : g_log->entries()) {
            reported = reported ||
                       entry.message.find(std::string("Fail to open ") + name) != std::string::npos;
        }
        EXPECT_TRUE(reported) << name;
        EXPECT_EQ(host.Call(QIV_CMD_END), 0);
    }
}

// Hands the lane every message of the driver after each test, outside the
// driver's calls, so that none of its waits is stretched by the control line.
class LogForwarder : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &test) override {
        g_control.Ask(std::string("log --- ") + test.test_suite_name() + "." + test.name());
        for (const LogCapture::Entry &entry : g_log->entries()) {
            std::string message = entry.message;
            for (char &c : message) {
                if (c == '\n' || c == '\r')
                    c = ' ';
            }
            g_control.Ask("log " + message);
        }
        g_log->Clear();
    }
};

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: %s CONTROL-DEVICE PORT [GoogleTest options]\n", argv[0]);
        return 2;
    }
    if (!g_control.Open(argv[1])) {
        fprintf(stderr, "cannot open the control line %s: %s\n", argv[1], strerror(errno));
        return 2;
    }
    g_port = argv[2];
    if (g_control.Ask("hello") != "ok") {
        fprintf(stderr, "the lane did not answer on %s\n", argv[1]);
        return 2;
    }
    LogCapture log;
    g_log = &log;
    ::testing::UnitTest::GetInstance()->listeners().Append(new LogForwarder);
    const int status = RUN_ALL_TESTS();
    g_control.Ask("done " + std::to_string(status));
    return status;
}
