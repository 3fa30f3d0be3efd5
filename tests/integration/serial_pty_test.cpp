// The serial layer on the POSIX platform, over real pseudo-terminals.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "integration/pty_line.h"
#include "serial/comm_platform.h"
#include "serial/exchange.h"
#include "serial/posix_line.h"
#include "serial/serial_port.h"
#include "unit/log_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr SerialLineSettings kDefaultLine = {19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Whether the device keeps CMSPAR when it is set through the C library.
bool KeepsStickParity(int fd) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return false;
    const termios saved = settings;
    settings.c_cflag |= CMSPAR;
    tcsetattr(fd, TCSANOW, &settings);
    termios applied;
    const bool kept = tcgetattr(fd, &applied) == 0 && (applied.c_cflag & CMSPAR) != 0;
    tcsetattr(fd, TCSANOW, &saved);
    return kept;
}

class SerialPtyTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(line_.path().empty()); }
    void TearDown() override {
        if (port_ != nullptr)
            CloseSerialPort(port_);
    }
    void Open(const SerialLineSettings &settings = kDefaultLine) {
        ASSERT_EQ(OpenSerialPort(line_.path().c_str(), &settings, QIV_OPEN_DTR_ENABLE, &port_),
                  kSerialOk);
    }
    uint32_t Waiting() {
        uint32_t errors = 0;
        CommStat stat = {};
        PlatformClearCommError(port_, &errors, &stat);
        return stat.cbInQue;
    }
    // Waits until `count` bytes sent from the far end are readable: they
    // cross the pseudo-terminal in a kernel worker, on a busy machine some
    // milliseconds later.
    void AwaitQueued(uint32_t count) {
        const auto deadline = Clock::now() + milliseconds(10000);
        while (Waiting() < count && Clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        ASSERT_EQ(Waiting(), count);
    }

    PtyLine line_;
    QivPortHandle port_ = nullptr;
    LogCapture log_;
};

TEST_F(SerialPtyTest, ASecondOpenOfTheSameDeviceFails) {
    Open();
    EXPECT_NE(port_, nullptr);
    EXPECT_NE(port_, QIV_INVALID_PORT_HANDLE);
    QivPortHandle second = nullptr;
    // Also for root, and within this one process.
    EXPECT_EQ(OpenSerialPort(line_.path().c_str(), &kDefaultLine, QIV_OPEN_DTR_ENABLE, &second),
              kSerialOpenFailed);
    EXPECT_EQ(CloseSerialPort(port_), kSerialOk);
    port_ = nullptr;
    EXPECT_EQ(OpenSerialPort(line_.path().c_str(), &kDefaultLine, QIV_OPEN_DTR_ENABLE, &second),
              kSerialOk)
        << "closing releases the device";
    EXPECT_EQ(CloseSerialPort(second), kSerialOk);
}

TEST_F(SerialPtyTest, LineSettingsReachTheDevice) {
    // termios2 is the only way to a rate without a constant. Where it is
    // refused (qemu-user does not carry it), such a rate refuses the open,
    // and every standard rate still opens through the classic calls.
    KernelLine probe;
    const bool exactPath = ReadExactLine(line_.observer(), &probe);
    // Mark and space parity need CMSPAR, which qemu-user drops on its way
    // to the kernel: there the read-back sees plain parity and refuses them.
    const bool stickParity = KeepsStickParity(line_.observer());
    const struct {
        SerialLineSettings line;
        speed_t speed;  // B0: a rate without a constant, read through termios2
        tcflag_t flags;
    } cases[] = {
        {{19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD}, B19200, PARODD},
        {{9600, 7, QIV_STOPBITS_TWO, QIV_PARITY_EVEN}, B9600, CSTOPB},
        {{1200, 8, QIV_STOPBITS_ONE, QIV_PARITY_MARK}, B1200, PARODD | CMSPAR},
        {{4800, 6, QIV_STOPBITS_TWO, QIV_PARITY_SPACE}, B4800, CSTOPB | CMSPAR},
        {{300, 5, QIV_STOPBITS_ONE_AND_HALF, QIV_PARITY_NONE}, B300, CSTOPB},
        {{12345, 8, QIV_STOPBITS_ONE, QIV_PARITY_NONE}, B0, 0},
        {{65535, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD}, B0, PARODD},
        {{50, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD}, B50, PARODD},
        // After a rate in bit/s, a standard one again: the input rate follows.
        {{38400, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD}, B38400, PARODD},
    };
    for (const auto &c : cases) {
        QivPortHandle port = nullptr;
        const int32_t opened =
            OpenSerialPort(line_.path().c_str(), &c.line, QIV_OPEN_DTR_ENABLE, &port);
        const bool sticky = c.line.parity == QIV_PARITY_MARK || c.line.parity == QIV_PARITY_SPACE;
        if ((c.speed == B0 && !exactPath) || (sticky && !stickParity)) {
            EXPECT_EQ(opened, kSerialStateRefused) << c.line.baudRate;
            continue;
        }
        ASSERT_EQ(opened, kSerialOk) << c.line.baudRate;
        termios applied;
        ASSERT_EQ(tcgetattr(line_.observer(), &applied), 0);
        if (c.speed != B0) {
            EXPECT_EQ(cfgetospeed(&applied), c.speed) << c.line.baudRate;
            EXPECT_EQ(cfgetispeed(&applied), c.speed) << c.line.baudRate;
        }
        KernelLine kernel;
        ASSERT_TRUE(ReadLineSettings(kSystemLineCalls, line_.observer(), &kernel));
        EXPECT_EQ(kernel.rate, c.line.baudRate);
        EXPECT_EQ(applied.c_cflag & (PARODD | CMSPAR | CSTOPB), c.flags) << c.line.baudRate;
        EXPECT_EQ(applied.c_iflag & INPCK, c.line.parity == QIV_PARITY_NONE ? 0u : tcflag_t{INPCK});
        EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw bytes";
        EXPECT_EQ(applied.c_oflag & OPOST, 0u);
        EXPECT_NE(applied.c_cflag & CLOCAL, 0u);
        EXPECT_EQ(applied.c_cflag & HUPCL, 0u);
        EXPECT_EQ(CloseSerialPort(port), kSerialOk);
    }
}

TEST_F(SerialPtyTest, ClosingLeavesTheLineAsTheOpenFoundIt) {
    // The next program on the port finds the settings it had before the
    // driver opened it: rate, character format, canonical mode and echo,
    // VMIN and VTIME (which the driver's reads change as they wait), and the
    // device open to others again.
    KernelLine probe;
    const bool exactPath = ReadExactLine(line_.observer(), &probe);
    const struct {
        const char *what;
        uint32_t rate;
        tcflag_t lflag;
        uint8_t vmin, vtime;
    } cases[] = {
        {"a canonical, echoing terminal at 9600 bit/s", 9600, ICANON | ECHO | ISIG, 1, 0},
        {"raw, with VMIN 5 and VTIME 2, at 115200 bit/s", 115200, 0, 5, 2},
        {"raw, at a rate without a constant", 12345, 0, 0, 0},
    };
    for (const auto &c : cases) {
        if (!HasRateConstant(c.rate) && !exactPath)
            continue;  // such a rate cannot be set here (qemu-user)
        KernelLine found;
        ASSERT_TRUE(ReadLineSettings(kSystemLineCalls, line_.observer(), &found));
        found.rate = c.rate;
        found.lflag = c.lflag;
        found.cc[VMIN] = c.vmin;
        found.cc[VTIME] = c.vtime;
        ASSERT_TRUE(WriteLineSettings(kSystemLineCalls, line_.observer(), found) || errno == EINVAL)
            << c.what;
        ASSERT_TRUE(ReadLineSettings(kSystemLineCalls, line_.observer(), &found)) << c.what;
        ASSERT_EQ(found.rate, c.rate) << c.what;

        Open();
        // A read that waits for thirteen bytes, of which none comes.
        SetReadTimeout(port_, 1);
        char buffer[13];
        uint32_t got = 0;
        EXPECT_TRUE(PlatformReadFile(port_, buffer, sizeof buffer, &got)) << c.what;
        EXPECT_EQ(got, 0u) << c.what;
        int exclusive = 0;
        const bool exclusiveKnown = ioctl(line_.observer(), TIOCGEXCL, &exclusive) == 0;
        if (exclusiveKnown) {
            EXPECT_EQ(exclusive, 1) << c.what;
        }
        ASSERT_EQ(CloseSerialPort(port_), kSerialOk);
        port_ = nullptr;

        KernelLine left;
        ASSERT_TRUE(ReadLineSettings(kSystemLineCalls, line_.observer(), &left)) << c.what;
        EXPECT_EQ(left.rate, found.rate) << c.what;
        EXPECT_EQ(left.iflag, found.iflag) << c.what;
        EXPECT_EQ(left.oflag, found.oflag) << c.what;
        EXPECT_EQ(left.cflag, found.cflag) << c.what;
        EXPECT_EQ(left.lflag, found.lflag) << c.what;
        EXPECT_EQ(left.cc[VMIN], c.vmin) << c.what;
        EXPECT_EQ(left.cc[VTIME], c.vtime) << c.what;
        EXPECT_EQ(memcmp(left.cc, found.cc, sizeof left.cc), 0) << c.what;
        if (exclusiveKnown && ioctl(line_.observer(), TIOCGEXCL, &exclusive) == 0) {
            EXPECT_EQ(exclusive, 0) << c.what << ": open to others again";
        }
    }
}

TEST_F(SerialPtyTest, SettingsThePlatformCannotTakeRefuseTheOpen) {
    const SerialLineSettings refused[] = {
        {19200, 9, QIV_STOPBITS_ONE, QIV_PARITY_ODD},
        {19200, 4, QIV_STOPBITS_ONE, QIV_PARITY_ODD},
        {19200, 8, 3, QIV_PARITY_ODD},
        {19200, 8, QIV_STOPBITS_ONE, 5},
        {19200, 8, QIV_STOPBITS_ONE_AND_HALF, QIV_PARITY_ODD},  // one and a half: five bits only
        {19200, 5, QIV_STOPBITS_TWO, QIV_PARITY_ODD},           // two: not with five bits
        {0, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD},
        {49, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD},
    };
    for (const SerialLineSettings &settings : refused) {
        QivPortHandle port = nullptr;
        EXPECT_EQ(OpenSerialPort(line_.path().c_str(), &settings, QIV_OPEN_DTR_ENABLE, &port),
                  kSerialStateRefused)
            << settings.baudRate << " " << settings.dataBits << " " << settings.stopBits << " "
            << settings.parity;
    }
    // Nothing was left open by the refusals.
    Open();
}

TEST_F(SerialPtyTest, OpenFailuresByKind) {
    QivPortHandle port = nullptr;
    EXPECT_EQ(OpenSerialPort("/nonexistent/tty", &kDefaultLine, 0, &port), kSerialOpenFailed);
    EXPECT_EQ(OpenSerialPort("/dev/null", &kDefaultLine, 0, &port), kSerialStateUnreadable)
        << "a device without a line state";
    // "NUL" is the null device: it takes every write and delivers nothing.
    ASSERT_EQ(OpenSerialPort("NUL", &kDefaultLine, 0, &port), kSerialOk);
    uint32_t count = 0;
    EXPECT_EQ(WriteSerial(port, "abc", 3, &count), kSerialOk);
    EXPECT_EQ(count, 3u);
    char buffer[4];
    EXPECT_EQ(ReadSerialExact(port, buffer, 4, &count), kSerialCallFailed);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(CloseSerialPort(port), kSerialOk);
    // A name without a leading "/" is a device in /dev.
    ASSERT_EQ(line_.path().rfind("/dev/", 0), 0u);
    const std::string shortName = line_.path().substr(5);
    ASSERT_EQ(OpenSerialPort(shortName.c_str(), &kDefaultLine, 0, &port), kSerialOk) << shortName;
    EXPECT_EQ(CloseSerialPort(port), kSerialOk);
}

// A read returns when all that it asks for has come, or once its time-out
// has passed with what came; with no time-out it waits for every byte. What
// the read brings is asserted; of its time only what the waiting itself
// guarantees whatever the machine does, that it did not end before its
// time-out, and a time-out that a read must not reach is ten seconds.
TEST_F(SerialPtyTest, ReadsFollowTheReadTimeout) {
    Open();
    char buffer[32] = {};
    uint32_t got = 0;
    const std::string answer = "%01$RD34126B\r";

    // Everything there: back with it, not after the time-out.
    SetReadTimeout(port_, 1000);  // 10 s
    line_.Send(answer);
    AwaitQueued(13);
    auto start = Clock::now();
    ASSERT_TRUE(PlatformReadFile(port_, buffer, 13, &got));
    EXPECT_EQ(got, 13u);
    EXPECT_LT(MsSince(start), 5000.0) << "it waited for the time-out";

    // Part of it, then silence: what came, once the time-out has passed.
    SetReadTimeout(port_, 10);  // 100 ms
    line_.Send("%01$R");
    AwaitQueued(5);
    start = Clock::now();
    ASSERT_TRUE(PlatformReadFile(port_, buffer, 13, &got));
    const double partialMs = MsSince(start);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(buffer, 5), "%01$R");
    EXPECT_GE(partialMs, 100.0);

    // Bytes that come in two bursts are one read's, however far apart the
    // machine lets them come within the time-out.
    SetReadTimeout(port_, 1000);
    std::thread writer([&] {
        line_.Send("%01$R");
        std::this_thread::sleep_for(milliseconds(30));
        line_.Send("D34126B\r");
    });
    ASSERT_TRUE(PlatformReadFile(port_, buffer, 13, &got));
    writer.join();
    EXPECT_EQ(got, 13u);
    EXPECT_EQ(std::string(buffer, got), answer);

    // No time-out: the read waits for every byte, however late.
    SetReadTimeout(port_, 0);
    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(150));
        line_.Send("%01$WD13\r");
    });
    ASSERT_TRUE(PlatformReadFile(port_, buffer, 9, &got));
    late.join();
    EXPECT_EQ(got, 9u);
    EXPECT_EQ(std::string(buffer, got), "%01$WD13\r");

    // A silent line: nothing, once the time-out has passed. How long after
    // it the read came back is printed.
    for (const int32_t units : {4, 10}) {
        SetReadTimeout(port_, units);
        start = Clock::now();
        EXPECT_EQ(ReadSerialExact(port_, buffer, 13, &got), kSerialCallFailed);
        const double silentMs = MsSince(start);
        EXPECT_EQ(got, 0u);
        EXPECT_GE(silentMs, units * 10.0);
        printf("silent read with a %d ms time-out returned after %.2f ms (+%.2f ms)\n", units * 10,
               silentMs, silentMs - units * 10.0);
    }
}

TEST_F(SerialPtyTest, DiscardInputEmptiesTheQueue) {
    Open();
    SetReadTimeout(port_, 4);
    line_.Send(std::string(1100, 'x'));
    AwaitQueued(1100);
    EXPECT_EQ(DiscardInput(port_), kSerialOk);
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(SetReadTimeout(port_, 4), 4) << "the time-out is restored";
}

// The responder answers as soon as it is woken; the time-outs give it
// seconds where an answer is to be read whole, and wait out only silence.
TEST_F(SerialPtyTest, ExchangesAgainstAResponder) {
    Open();
    const std::string frame =
        "%01#RDD0010000100"
        "55\r";
    const std::string answer = "%01$RD34126B\r";
    line_.Respond({answer, "", "%01$RD341", answer + "%01$WD13\r"});
    char response[64] = {};
    const auto exchange = [&] {
        return ExchangeFrame(port_, 1000, frame.data(), static_cast<int32_t>(frame.size()),
                             response, static_cast<int32_t>(answer.size()));
    };

    SetReadTimeout(port_, 1000);  // 10 s
    EXPECT_EQ(exchange(), kExchangeComplete);
    EXPECT_EQ(std::string(response, 13), answer);
    SetReadTimeout(port_, 10);  // 100 ms: the time-out itself ends the exchange
    EXPECT_EQ(exchange(), kExchangeNothing) << "silence";
    // Nine characters come, then nothing: the read pass that brought them
    // and the one that brings nothing each wait out the time-out.
    SetReadTimeout(port_, 100);  // 1 s
    EXPECT_EQ(exchange(), kExchangePartial) << "9 of 13";
    EXPECT_EQ(std::string(response, 9), "%01$RD341");
    // A longer answer: this exchange is complete, the surplus waits.
    SetReadTimeout(port_, 1000);
    EXPECT_EQ(exchange(), kExchangeComplete);
    AwaitQueued(9);
    line_.StopResponder();
    EXPECT_EQ(line_.Received().size(), 4u);
    EXPECT_EQ(line_.Received().front(), frame);

    // A pseudo-terminal has no modem lines: RTS up and down fail and are
    // logged, and nothing else is.
    for (const LogCapture::Entry &entry : log_.entries()) {
        EXPECT_EQ(entry.format, "EscapeCommFunction fail (RTS)");
    }
    EXPECT_EQ(log_.entries().size(), 8u);
}

TEST_F(SerialPtyTest, HandlesThatAreNotOpenPortsFailEveryCall) {
    for (const QivPortHandle handle :
         {QIV_INVALID_PORT_HANDLE, static_cast<QivPortHandle>(nullptr)}) {
        CommState state = {};
        CommTimeouts timeouts = {};
        CommStat stat = {};
        uint32_t value = 0;
        char byte = 0;
        EXPECT_FALSE(PlatformGetCommState(handle, &state));
        EXPECT_FALSE(PlatformSetCommState(handle, &state));
        EXPECT_FALSE(PlatformGetCommTimeouts(handle, &timeouts));
        EXPECT_FALSE(PlatformSetCommTimeouts(handle, &timeouts));
        EXPECT_FALSE(PlatformSetupComm(handle, 1200, 1200));
        EXPECT_FALSE(PlatformReadFile(handle, &byte, 1, &value));
        EXPECT_FALSE(PlatformWriteFile(handle, &byte, 1, &value));
        EXPECT_FALSE(PlatformClearCommError(handle, &value, &stat));
        EXPECT_FALSE(PlatformEscapeCommFunction(handle, kSetRts));
        EXPECT_FALSE(PlatformGetCommModemStatus(handle, &value));
        EXPECT_FALSE(PlatformSetCommMask(handle, kEvTxEmpty));
        EXPECT_FALSE(PlatformWaitCommEvent(handle, &value));
        EXPECT_FALSE(PlatformCloseHandle(handle));
    }
}

}  // namespace
