#include "serial/serial_port.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fake/platform_fake.h"

namespace {

using Log = std::vector<std::string>;
namespace fake = fake_platform;

constexpr SerialLineSettings kDefaultLine = {19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(SerialPortTest, OpenConfiguresTheLineInItsOrder) {
    // Fields that the open does not own keep what the platform reported.
    CommState &before = fake::State();
    before.xonLim = 77;
    before.xoffChar = 0x13;
    before.evtChar = 'E';
    before.fTXContinueOnXoff = 1;
    before.fNull = 1;
    before.fOutX = 1;
    before.errorChar = 'x';

    QivPortHandle port = nullptr;
    EXPECT_EQ(OpenSerialPort("COM1", &kDefaultLine, QIV_OPEN_DTR_ENABLE, &port), kSerialOk);
    EXPECT_EQ(port, fake::kHandle);
    EXPECT_EQ(fake::CallLog(),
              (Log{"CreateFile COM1", "GetCommState 28", "SetCommTimeouts 0/0/1000/0/0",
                   "SetCommState", "SetupComm 1200/1200"}));
    const CommState &s = fake::State();
    EXPECT_EQ(s.baudRate, 19200u);
    EXPECT_EQ(s.byteSize, 8);
    EXPECT_EQ(s.parity, QIV_PARITY_ODD);
    EXPECT_EQ(s.stopBits, QIV_STOPBITS_ONE);
    EXPECT_EQ(s.fBinary, 1);
    EXPECT_EQ(s.fParity, 1);
    EXPECT_EQ(s.fNull, 0);
    EXPECT_EQ(s.fOutX, 0);
    EXPECT_EQ(s.fErrorChar, 0);
    EXPECT_EQ(s.errorChar, static_cast<char>(0xFC));
    EXPECT_EQ(s.fDtrControl, kDtrControlEnable);
    EXPECT_EQ(s.fRtsControl, kRtsControlDisable);
    EXPECT_EQ(s.xonLim, 77);
    EXPECT_EQ(s.xoffChar, 0x13);
    EXPECT_EQ(s.evtChar, 'E');
    EXPECT_EQ(s.fTXContinueOnXoff, 1);
}

TEST_F(SerialPortTest, OnlyTheLowBytesOfTheCharacterFormatCount) {
    const SerialLineSettings line = {9600, 0x0107, 0x0102, 0x0302};
    QivPortHandle port = nullptr;
    EXPECT_EQ(OpenSerialPort("COM2", &line, 0, &port), kSerialOk);
    EXPECT_EQ(fake::State().baudRate, 9600u);
    EXPECT_EQ(fake::State().byteSize, 7);
    EXPECT_EQ(fake::State().stopBits, 2);
    EXPECT_EQ(fake::State().parity, 2);
}

TEST_F(SerialPortTest, TheNullDeviceIsOpenedUnconfigured) {
    QivPortHandle port = nullptr;
    EXPECT_EQ(OpenSerialPort("NUL", &kDefaultLine, QIV_OPEN_DTR_ENABLE, &port), kSerialOk);
    EXPECT_EQ(fake::CallLog(), (Log{"CreateFile NUL"}));
    // Only the exact name: other spellings are configured like any device.
    for (const char *name : {"nul", "Nul"}) {
        fake::Reset();
        EXPECT_EQ(OpenSerialPort(name, &kDefaultLine, QIV_OPEN_DTR_ENABLE, &port), kSerialOk);
        EXPECT_EQ(fake::CallLog().size(), 5u) << name;
    }
}

TEST_F(SerialPortTest, AFailedStepClosesWhatWasOpened) {
    const struct {
        const char *failing;
        int32_t result;
        Log calls;
    } cases[] = {
        {"CreateFile", kSerialOpenFailed, {"CreateFile COM1"}},
        {"GetCommState",
         kSerialStateUnreadable,
         {"CreateFile COM1", "GetCommState 28", "CloseHandle"}},
        {"SetCommTimeouts",
         kSerialOpenFailed,
         {"CreateFile COM1", "GetCommState 28", "SetCommTimeouts 0/0/1000/0/0", "CloseHandle"}},
        {"SetCommState",
         kSerialStateRefused,
         {"CreateFile COM1", "GetCommState 28", "SetCommTimeouts 0/0/1000/0/0", "SetCommState",
          "CloseHandle"}},
        {"SetupComm",
         kSerialOk,
         {"CreateFile COM1", "GetCommState 28", "SetCommTimeouts 0/0/1000/0/0", "SetCommState",
          "SetupComm 1200/1200"}},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::FailNext(c.failing);
        QivPortHandle port = nullptr;
        EXPECT_EQ(OpenSerialPort("COM1", &kDefaultLine, QIV_OPEN_DTR_ENABLE, &port), c.result)
            << c.failing;
        EXPECT_EQ(fake::CallLog(), c.calls) << c.failing;
    }
}

TEST_F(SerialPortTest, OpenFlagsDecideTheModemLinesByTheFirstTestThatMatches) {
    const struct {
        uint16_t flags;
        uint8_t dtr;
        uint8_t rts;
    } cases[] = {
        {0x0101, kDtrControlEnable, kRtsControlDisable},
        {0x0100, kDtrControlEnable, kRtsControlDisable},
        {0x0001, kDtrControlEnable, kRtsControlDisable},
        {0x8001, kDtrControlEnable, kRtsControlDisable},
        {0x8000, kDtrControlHandshake, kRtsControlDisable},
        {0x0000, kDtrControlDisable, kRtsControlDisable},
        {0x0202, kDtrControlDisable, kRtsControlEnable},
        {0x0002, kDtrControlDisable, kRtsControlEnable},
        {0x1200, kDtrControlDisable, kRtsControlEnable},
        {0x3000, kDtrControlDisable, kRtsControlHandshake},
        {0x1000, kDtrControlDisable, kRtsControlHandshake},
        {0x2000, kDtrControlDisable, kRtsControlToggle},
        {0xFFFF, kDtrControlEnable, kRtsControlEnable},
    };
    for (const auto &c : cases) {
        fake::Reset();
        QivPortHandle port = nullptr;
        ASSERT_EQ(OpenSerialPort("COM1", &kDefaultLine, c.flags, &port), kSerialOk);
        EXPECT_EQ(fake::State().fDtrControl, c.dtr) << std::hex << c.flags;
        EXPECT_EQ(fake::State().fRtsControl, c.rts) << std::hex << c.flags;
    }
}

TEST_F(SerialPortTest, SetReadTimeoutWritesTenTimesAndReturnsTheOldTenth) {
    QivPortHandle port = nullptr;
    ASSERT_EQ(OpenSerialPort("COM1", &kDefaultLine, QIV_OPEN_DTR_ENABLE, &port), kSerialOk);
    fake::Reset();
    fake::Timeouts() = {0, 0, 1000, 0, 0};

    EXPECT_EQ(SetReadTimeout(port, 4), 100);
    EXPECT_EQ(fake::CallLog(), (Log{"GetCommTimeouts", "SetCommTimeouts 0/0/40/0/0"}));
    fake::Reset();
    fake::Timeouts() = {0, 0, 40, 0, 0};
    EXPECT_EQ(SetReadTimeout(port, 4), 4);
    EXPECT_EQ(fake::CallLog(), (Log{"GetCommTimeouts"})) << "an equal time-out writes nothing";

    // The other four values stay as they were.
    fake::Timeouts() = {7, 8, 40, 9, 10};
    EXPECT_EQ(SetReadTimeout(port, 0), 4);
    EXPECT_EQ(fake::CallLog().back(), "SetCommTimeouts 7/8/0/9/10");

    // A previous time-out under 10 ms reads as 0, like a failure.
    fake::Timeouts() = {0, 0, 5, 0, 0};
    EXPECT_EQ(SetReadTimeout(port, 3), 0);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 30u);

    fake::FailNext("GetCommTimeouts");
    EXPECT_EQ(SetReadTimeout(port, 9), 0);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 30u);
    fake::FailNext("SetCommTimeouts");
    EXPECT_EQ(SetReadTimeout(port, 9), 0);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 30u);
}

TEST_F(SerialPortTest, DiscardInputReadsTheQueueAwayAndRestoresTheTimeout) {
    fake::Timeouts() = {0, 0, 400, 0, 0};
    EXPECT_EQ(DiscardInput(fake::kHandle), kSerialOk);
    EXPECT_EQ(fake::CallLog(), (Log{"ClearCommError"})) << "nothing waiting: nothing read";

    fake::Reset();
    fake::Timeouts() = {0, 0, 400, 0, 0};
    fake::Arrive(std::string(1100, 'x'));
    EXPECT_EQ(DiscardInput(fake::kHandle), kSerialOk);
    EXPECT_EQ(fake::CallLog(),
              (Log{"ClearCommError", "GetCommTimeouts", "SetCommTimeouts 0/0/50/0/0",
                   "ReadFile 512", "ReadFile 512", "ReadFile 512", "SetCommTimeouts 0/0/400/0/0"}));
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 400u);

    // Exactly one chunk: the second read brings nothing after 50 ms.
    fake::Reset();
    fake::Timeouts() = {0, 0, 400, 0, 0};
    fake::Arrive(std::string(512, 'x'));
    EXPECT_EQ(DiscardInput(fake::kHandle), kSerialOk);
    EXPECT_EQ(fake::CallLog()[4], "ReadFile 512");
    EXPECT_EQ(fake::CallLog().size(), 6u);
    EXPECT_NEAR(fake::NowMs(), 50, 0.01);
}

TEST_F(SerialPortTest, DiscardInputIsBoundedOnAFloodedLine) {
    // A byte every 20 us for a minute: reads of 512 would always come back
    // full. What waited and one read's worth more are read, no more.
    fake::Timeouts() = {0, 0, 40, 0, 0};
    fake::ArriveAt(0, std::string(3000000, 'x'), 0.02);
    PlatformSleep(10);  // 501 bytes waiting
    EXPECT_EQ(DiscardInput(fake::kHandle), kSerialOk);
    EXPECT_LT(fake::NowMs(), 10 + 50 + 1);
    int reads = 0;
    for (const std::string &call : fake::CallLog())
        reads += call.rfind("ReadFile", 0) == 0;
    EXPECT_LE(reads, 3);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 40u);
}

TEST_F(SerialPortTest, DiscardInputDrainsWhenTheQueryFailsAndReportsAFailedRead) {
    fake::Timeouts() = {0, 0, 400, 0, 0};
    fake::FailNext("ClearCommError");
    EXPECT_EQ(DiscardInput(fake::kHandle), kSerialOk);
    EXPECT_EQ(fake::CallLog()[3], "ReadFile 512");

    fake::Reset();
    fake::Timeouts() = {0, 0, 400, 0, 0};
    fake::Arrive("abc");
    fake::FailNext("ReadFile");
    EXPECT_EQ(DiscardInput(fake::kHandle), kSerialDiscardFailed);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 400u) << "restored after a failed read";

    // The time-out comes back exactly, also one of a few milliseconds and
    // one of 0 (wait for every byte), which a count of 10 ms cannot carry.
    for (const uint32_t previous : {5u, 0u, 1234u}) {
        fake::Reset();
        fake::Timeouts() = {0, 0, previous, 0, 0};
        fake::Arrive("abc");
        EXPECT_EQ(DiscardInput(fake::kHandle), kSerialOk);
        EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, previous);
    }
}

TEST_F(SerialPortTest, WriteSerialReportsTheCountWritten) {
    const struct {
        bool fails;
        int64_t reported;  // -1: all of it
        int32_t result;
        uint32_t written;  // 99: left untouched
    } cases[] = {
        {false, -1, kSerialOk, 20},
        {false, 5, kSerialShortWrite, 5},
        {false, 0, kSerialShortWrite, 0},
        {true, -1, kSerialCallFailed, 99},
    };
    for (const auto &c : cases) {
        for (const bool withCount : {true, false}) {
            fake::Reset();
            if (c.fails)
                fake::FailNext("WriteFile");
            if (c.reported >= 0)
                fake::NextWriteCount(static_cast<uint32_t>(c.reported));
            uint32_t written = 99;
            EXPECT_EQ(WriteSerial(fake::kHandle,
                                  "%01#RDD0010000100"
                                  "55\r",
                                  20, withCount ? &written : nullptr),
                      c.result);
            if (withCount) {
                EXPECT_EQ(written, c.written);
            }
        }
    }
}

TEST_F(SerialPortTest, ReadSerialExactJoinsPassesUntilAPassBringsNothing) {
    char buffer[32] = {};
    uint32_t received = 99;

    fake::Arrive("%01$RD3412");
    fake::Arrive("6B\r");
    EXPECT_EQ(ReadSerialExact(fake::kHandle, buffer, 13, &received), kSerialOk);
    EXPECT_EQ(received, 13u);
    EXPECT_EQ(std::string(buffer, 13), "%01$RD34126B\r");
    EXPECT_EQ(fake::CallLog(), (Log{"ReadFile 13", "ReadFile 3"}));

    fake::Reset();
    fake::Arrive("%01$RD341");
    EXPECT_EQ(ReadSerialExact(fake::kHandle, buffer, 13, &received), kSerialCallFailed);
    EXPECT_EQ(received, 9u);
    EXPECT_EQ(fake::CallLog(), (Log{"ReadFile 13", "ReadFile 4"}));

    fake::Reset();
    EXPECT_EQ(ReadSerialExact(fake::kHandle, buffer, 0, &received), kSerialCallFailed);
    EXPECT_EQ(fake::CallLog(), (Log{"ReadFile 0"})) << "one pass even for nothing";

    fake::Reset();
    fake::Arrive("%01");
    fake::FailNext("ReadFile", 2);
    EXPECT_EQ(ReadSerialExact(fake::kHandle, buffer, 13, nullptr), kSerialCallFailed);
    EXPECT_EQ(fake::CallLog(), (Log{"ReadFile 13"}));
}

TEST_F(SerialPortTest, CloseReportsThePlatformsAnswer) {
    EXPECT_EQ(CloseSerialPort(fake::kHandle), kSerialOk);
    fake::FailNext("CloseHandle");
    EXPECT_EQ(CloseSerialPort(fake::kHandle), kSerialCallFailed);
    EXPECT_EQ(CloseSerialPort(QIV_INVALID_PORT_HANDLE), kSerialCallFailed);
}

}  // namespace
