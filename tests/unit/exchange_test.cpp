#include "serial/exchange.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fake/platform_fake.h"
#include "unit/log_capture.h"

namespace {

using Log = std::vector<std::string>;
namespace fake = fake_platform;

const std::string kFrame =
    "%01#RDD0010000100"
    "55\r";                                    // 20 characters
const std::string kAnswer = "%01$RD34126B\r";  // 13 characters

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }

    int32_t Exchange(QivPortHandle port = fake::kHandle) {
        return ExchangeFrame(port, 1000, kFrame.data(), static_cast<int32_t>(kFrame.size()),
                             response_, static_cast<int32_t>(kAnswer.size()));
    }

    char response_[64] = {};
    LogCapture log_;
};

TEST_F(ExchangeTest, OneExchangeKeysRtsAroundTheFrameAndReadsAfterIt) {
    fake::Arrive(kAnswer);
    EXPECT_EQ(Exchange(), kExchangeComplete);
    EXPECT_EQ(fake::CallLog(),
              (Log{"EscapeCommFunction SETRTS", "Sleep 1", "ClearCommError", "WriteFile 20",
                   "WaitCommEvent", "EscapeCommFunction CLRRTS", "ReadFile 13"}));
    EXPECT_EQ(fake::Written(), kFrame);
    EXPECT_EQ(std::string(response_, kAnswer.size()), kAnswer);
    EXPECT_TRUE(log_.entries().empty());
}

TEST_F(ExchangeTest, ResultsByWhatWentOutAndWhatCameBack) {
    const struct {
        const char *what;
        int64_t writeCount;  // -1: the whole frame
        bool writeRejected;
        std::vector<std::string> arrivals;
        int32_t result;
        Log tail;  // the calls after the empty-transmitter wait
    } cases[] = {
        {"silence",
         -1,
         false,
         {},
         kExchangeNothing,
         {"EscapeCommFunction CLRRTS", "ReadFile 13", "ClearCommError"}},
        {"9 of 13 bytes",
         -1,
         false,
         {"%01$RD341"},
         kExchangePartial,
         {"EscapeCommFunction CLRRTS", "ReadFile 13", "ReadFile 4", "ClearCommError"}},
        {"a response in two bursts",
         -1,
         false,
         {"%01$R", "D34126B\r"},
         kExchangeComplete,
         {"EscapeCommFunction CLRRTS", "ReadFile 13", "ReadFile 8"}},
        {"a longer response",
         -1,
         false,
         {kAnswer + "%01$WD"},
         kExchangeComplete,
         {"EscapeCommFunction CLRRTS", "ReadFile 13"}},
        {"part of the frame written",
         5,
         false,
         {kAnswer},
         kExchangePartial,
         {"EscapeCommFunction CLRRTS", "ClearCommError"}},
        {"none of the frame written",
         0,
         false,
         {kAnswer},
         kExchangeNothing,
         {"EscapeCommFunction CLRRTS", "ClearCommError"}},
        {"the write rejected",
         -1,
         true,
         {kAnswer},
         kExchangeNothing,
         {"EscapeCommFunction CLRRTS", "ClearCommError"}},
    };
    for (const auto &c : cases) {
        fake::Reset();
        for (const std::string &bytes : c.arrivals)
            fake::Arrive(bytes);
        if (c.writeCount >= 0)
            fake::NextWriteCount(static_cast<uint32_t>(c.writeCount));
        if (c.writeRejected)
            fake::FailNext("WriteFile");
        EXPECT_EQ(Exchange(), c.result) << c.what;
        const Log calls = fake::CallLog();
        ASSERT_GE(calls.size(), 5u) << c.what;
        EXPECT_EQ(calls[4], "WaitCommEvent") << c.what << ": the wait follows a failed write too";
        EXPECT_EQ(Log(calls.begin() + 5, calls.end()), c.tail) << c.what;
    }
}

TEST_F(ExchangeTest, APartialResponseStaysInTheBufferAndASurplusInTheQueue) {
    fake::Arrive("%01$RD341");
    EXPECT_EQ(Exchange(), kExchangePartial);
    EXPECT_EQ(std::string(response_, 9), "%01$RD341");

    fake::Reset();
    fake::Arrive(kAnswer + "%01$WD13\r");
    EXPECT_EQ(Exchange(), kExchangeComplete);
    uint32_t errors = 0;
    CommStat stat = {};
    PlatformClearCommError(fake::kHandle, &errors, &stat);
    EXPECT_EQ(stat.cbInQue, 9u) << "the surplus waits for the next read";
}

TEST_F(ExchangeTest, OnTheNullDeviceOnlyTheLeadAndTheWriteReachThePlatform) {
    EXPECT_EQ(Exchange(QIV_INVALID_PORT_HANDLE), kExchangeNothing);
    EXPECT_EQ(fake::CallLog(), (Log{"Sleep 1", "WriteFile 20"}));
    EXPECT_TRUE(log_.entries().empty());
}

TEST_F(ExchangeTest, OnAClosedPortEveryLineCallFailsAndIsLoggedInOrder) {
    fake::SetLastError(6);
    EXPECT_EQ(Exchange(nullptr), kExchangeNothing);
    EXPECT_EQ(log_.formats(),
              (Log{"EscapeCommFunction fail (RTS)", "ClearCommError (Rx) failed %08lx",
                   "SG: WaitTxEmpty() WaitCommEvent() EV_TXEMPTY fail",
                   "EscapeCommFunction fail (RTS)", "ClearCommError (Rx) failed %08lx"}));
    EXPECT_EQ(log_.entries()[1].message, "ClearCommError (Rx) failed 00000006");
    for (const LogCapture::Entry &entry : log_.entries()) {
        EXPECT_EQ(entry.category, 32);
    }
    for (const std::string &call : fake::CallLog()) {
        EXPECT_NE(call.rfind("ReadFile", 0), 0u) << "nothing is read";
    }
}

TEST_F(ExchangeTest, OnlyOneRaisesAModemLine) {
    const struct {
        bool (*operation)(QivPortHandle, uint8_t);
        uint8_t on;
        const char *call;
    } cases[] = {
        {SetRts, 1, "EscapeCommFunction SETRTS"}, {SetRts, 0, "EscapeCommFunction CLRRTS"},
        {SetRts, 2, "EscapeCommFunction CLRRTS"}, {SetRts, 255, "EscapeCommFunction CLRRTS"},
        {SetDtr, 1, "EscapeCommFunction SETDTR"}, {SetDtr, 0, "EscapeCommFunction CLRDTR"},
        {SetDtr, 2, "EscapeCommFunction CLRDTR"},
    };
    for (const auto &c : cases) {
        fake::Reset();
        c.operation(fake::kHandle, c.on);
        EXPECT_EQ(fake::CallLog(), (Log{c.call})) << c.call << " for " << int{c.on};
    }
    fake::FailAlways("EscapeCommFunction");
    EXPECT_FALSE(SetRts(fake::kHandle, 1));
    EXPECT_FALSE(SetDtr(fake::kHandle, 0));
    EXPECT_EQ(log_.formats(),
              (Log{"EscapeCommFunction fail (RTS)", "EscapeCommFunction fail (DTR)"}));
    // Where RTS cannot be raised nothing waits for it: the frame goes at once.
    fake::Reset();
    fake::FailAlways("EscapeCommFunction");
    EXPECT_EQ(TransmitFrame(fake::kHandle, "%01#RT01\r", 9, kRtsLeadMs, 0, 0), kExchangeComplete);
    for (const std::string &call : fake::CallLog())
        EXPECT_NE(call, "Sleep 1");
}

TEST_F(ExchangeTest, CtsIsPolledNineTimesWithoutAPause) {
    fake::SetModemStatus(0);
    EXPECT_EQ(WaitCtsOn(fake::kHandle), 0);
    EXPECT_EQ(fake::CallLog(), Log(9, "GetCommModemStatus"));

    fake::Reset();
    fake::SetModemStatus(kMsCtsOn);
    EXPECT_EQ(WaitCtsOn(fake::kHandle), 1);
    EXPECT_EQ(fake::CallLog().size(), 1u);

    fake::Reset();
    fake::FailAlways("GetCommModemStatus");
    fake::SetModemStatus(kMsCtsOn);
    EXPECT_EQ(WaitCtsOn(fake::kHandle), 0) << "a failed query counts as CTS off";
    EXPECT_EQ(log_.formats(), Log(9, "GetCommModemStatus fail (CTS)"));
}

TEST_F(ExchangeTest, TransmitOptions) {
    // CTS never seen: RTS falls, a pause, nothing written (nor the line
    // errors cleared for it).
    fake::SetModemStatus(0);
    EXPECT_EQ(TransmitFrame(fake::kHandle, kFrame.data(), 20, 1, 1, 0), kExchangePartial);
    Log expected = {"EscapeCommFunction SETRTS", "Sleep 1"};
    expected.insert(expected.end(), 9, "GetCommModemStatus");
    expected.push_back("EscapeCommFunction CLRRTS");
    expected.push_back("Sleep 1000");
    EXPECT_EQ(fake::CallLog(), expected);

    // A trail after the empty transmitter; no lead means no RTS at all.
    fake::Reset();
    EXPECT_EQ(TransmitFrame(fake::kHandle, kFrame.data(), 20, 3, 0, 5), kExchangeComplete);
    EXPECT_EQ(fake::CallLog(),
              (Log{"EscapeCommFunction SETRTS", "Sleep 3", "ClearCommError", "WriteFile 20",
                   "WaitCommEvent", "Sleep 5", "EscapeCommFunction CLRRTS"}));
    fake::Reset();
    EXPECT_EQ(TransmitFrame(fake::kHandle, kFrame.data(), 20, 0, 0, 0), kExchangeComplete);
    EXPECT_EQ(fake::CallLog(), (Log{"ClearCommError", "WriteFile 20", "WaitCommEvent"}));
}

TEST_F(ExchangeTest, AnEmptyTransmitterWaitThatFailsIsLoggedAndTheExchangeGoesOn) {
    fake::SetEvents(0x0001);  // some other event
    fake::Arrive(kAnswer);
    EXPECT_EQ(Exchange(), kExchangeComplete);
    fake::FailNext("WaitCommEvent");
    fake::Arrive(kAnswer);
    EXPECT_EQ(Exchange(), kExchangeComplete);
    EXPECT_EQ(log_.formats(), Log(2, "SG: WaitTxEmpty() WaitCommEvent() EV_TXEMPTY fail"));
}

TEST_F(ExchangeTest, LineControlOnTheNullDeviceDoesNothing) {
    ClearLineErrors(QIV_INVALID_PORT_HANDLE);
    SetRts(QIV_INVALID_PORT_HANDLE, 1);
    SetDtr(QIV_INVALID_PORT_HANDLE, 1);
    WaitTxEmpty(QIV_INVALID_PORT_HANDLE);
    EXPECT_EQ(GetCts(QIV_INVALID_PORT_HANDLE), 0);
    EXPECT_EQ(WaitCtsOn(QIV_INVALID_PORT_HANDLE), 0);
    EXPECT_TRUE(fake::CallLog().empty());
    EXPECT_TRUE(log_.entries().empty());
}

}  // namespace
