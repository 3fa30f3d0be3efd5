#include "protocol/transactions.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serial/exchange.h"
#include "unit/log_capture.h"
#include "unit/protocol_support.h"

namespace {

using Log = std::vector<std::string>;
namespace fake = fake_platform;

const std::string kReadD100 = "%01#RDD001000010055\r";

class TransactionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        fake::Timeouts() = {0, 0, 40, 0, 0};
    }
    // How many times `frame` went out.
    static int TimesSent(const std::string &frame) {
        int times = 0;
        const std::string &written = fake::Written();
        for (size_t at = 0; (at = written.find(frame, at)) != std::string::npos;
             at += frame.size()) {
            ++times;
        }
        return times;
    }
    static int Count(const std::string &call) {
        int n = 0;
        for (const std::string &entry : fake::CallLog())
            n += entry == call;
        return n;
    }

    TestChannel channel_;
    LogCapture log_;
};

TEST_F(TransactionTest, OneAttemptDiscardsThenExchanges) {
    channel_.Tag('D', 100);
    fake::ReplyToNextWrite(Sealed("%01$RD3412"));
    EXPECT_EQ(ReadValue(&channel_.request), 0);
    // The port is asked once what waits, once the line is turned round: that
    // one count serves the discard and tells what came before the frame. The
    // answer is read in two reads that each wait for all they ask: up to
    // where an error answer would end (nine characters), expecting all 13,
    // then the rest, by the answer's later deadline; then the host's
    // time-out is put back.
    EXPECT_EQ(fake::CallLog(),
              (Log{"GetCommTimeouts", "EscapeCommFunction SETRTS", "Sleep 1", "ClearCommError",
                   "WriteFile 20", "WaitCommEvent", "EscapeCommFunction CLRRTS", "ReadFile 9/13",
                   "SetCommTimeouts 0/0/44/0/0", "ReadFile 4", "SetCommTimeouts 0/0/40/0/0"}));
    EXPECT_EQ(channel_.TxFrame(), kReadD100);
    EXPECT_EQ(channel_.instance.txLength, 20);
    EXPECT_EQ(channel_.instance.rxLength, 13);
    EXPECT_EQ(channel_.data[1], 0x1234);
    EXPECT_EQ(channel_.data[0], 0);
    EXPECT_EQ(channel_.instance.valuePtr, channel_.data + 1);
    EXPECT_EQ(channel_.instance.valuePtr0, channel_.data);
    EXPECT_TRUE(log_.entries().empty());
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 40u) << "the host's time-out put back";
}

TEST_F(TransactionTest, ReadsDecodeIntoTheHostsBuffer) {
    const struct {
        const char *what;
        char device;
        int32_t width, dataType, count, bit;
        bool block;
        std::string answerData;
        int32_t rxLength;
        std::vector<int16_t> words;  // the buffer's first words afterwards
    } cases[] = {
        {"16-bit", 'D', 16, 0, 0, 255, false, "3412", 13, {0, 0x1234, 0x5A5A}},
        {"32-bit", 'E', 32, 3, 0, 255, false, "78563412", 17, {0x5678, 0x1234, 0x5A5A}},
        {"32-bit on X", 'X', 32, 3, 0, 255, false, "0100FFFF", 17, {1, -1, 0x5A5A}},
        {"bit 2 set", 'R', 1, 6, 0, 2, false, "0400", 13, {0, 1, 0x5A5A}},
        {"bit 2 clear", 'R', 1, 6, 0, 2, false, "FBFF", 13, {0, 0, 0x5A5A}},
        {"bit 15", 'Y', 1, 6, 0, 15, false, "0080", 13, {0, 1, 0x5A5A}},
        {"E block of 3",
         'E',
         32,
         3,
         3,
         255,
         true,
         "010002000300040005000600",
         33,
         {1, 2, 3, 4, 5, 6, 0x5A5A}},
        {"D block of 2", 'D', 16, 0, 2, 255, true, "0A000B00", 17, {10, 11, 0x5A5A}},
        {"bit tag as a block", 'R', 1, 6, 1, 2, true, "0400", 13, {4, 0x5A5A}},
    };
    for (const auto &c : cases) {
        fake::Reset();
        TestChannel channel;
        channel.Tag(c.device, 100, c.width, c.dataType, c.count, c.bit);
        const std::string echo = c.device == 'D' || c.device == 'E' ? "RD" : "RC";
        fake::ReplyToNextWrite(Sealed("%01$" + echo + c.answerData));
        const int32_t status = c.block ? ReadBlock(&channel.request) : ReadValue(&channel.request);
        EXPECT_EQ(status, 0) << c.what;
        EXPECT_EQ(channel.instance.rxLength, c.rxLength) << c.what;
        for (size_t i = 0; i < c.words.size(); ++i) {
            EXPECT_EQ(channel.data[i], c.words[i]) << c.what << " word " << i;
        }
    }
}

TEST_F(TransactionTest, ThreeSilencesGiveTwoAndLeaveTheWordsCleared) {
    channel_.Tag('D', 100);
    for (int i = 0; i < 3; ++i)
        fake::ReplyToNextWrite("");
    EXPECT_EQ(ReadValue(&channel_.request), 2);
    EXPECT_EQ(TimesSent(kReadD100), 3) << "the same frame each time";
    EXPECT_EQ(channel_.data[0], 0);
    EXPECT_EQ(channel_.data[1], 0);
}

// The RTS lead before each frame, and how long past the horizon the last
// listening goes on: the times below are written out, not taken from the
// code they test.
constexpr double kLeadMs = 1;
constexpr double kMarginMs = 3;

// When the frame of attempt `k` (from 1) goes out: each after its RTS lead,
// each after the time-out of the one before.
double SentMs(int k, uint32_t timeoutMs) {
    return k * kLeadMs + (k - 1) * static_cast<double>(timeoutMs);
}

TEST_F(TransactionTest, ASilentStationCostsThreeTimeOutsAndOneGuard) {
    // Each attempt waits its time-out, the next follows at once, and after
    // the last the answers that may still come are waited for until the
    // horizon of its frame and the margin after it: 3T + G, the three RTS
    // leads and the margin, to the microsecond on the virtual clock.
    for (const uint32_t timeoutMs : {10u, 40u, 45u, 100u, 250u}) {
        fake::Reset();
        fake::Timeouts() = {0, 0, timeoutMs, 0, 0};
        TestChannel channel;
        channel.Tag('D', 100);
        EXPECT_EQ(ReadValue(&channel.request), 2) << timeoutMs;
        const double guard = timeoutMs > 100 ? timeoutMs : 100;
        EXPECT_EQ(AnswerHorizonMs(timeoutMs), timeoutMs + guard);
        EXPECT_DOUBLE_EQ(fake::NowMs(), 3 * timeoutMs + guard + 3 * kLeadMs + kMarginMs)
            << timeoutMs;
        EXPECT_EQ(TimesSent(kReadD100), 3);
        EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, timeoutMs)
            << "the host's time-out, exactly, after the waits";
    }
}

TEST_F(TransactionTest, TheAttemptThatIsAnsweredDecidesWhenTheOperationEnds) {
    // Answered by attempt k, 15 ms after its frame: the first ends with its
    // answer; a later one only once the horizon of its frame has passed, for
    // the answers of the attempts before it may still come.
    constexpr uint32_t kTimeoutMs = 40;
    constexpr double kAnswerMs = 15;
    const struct {
        int k;
        double endMs;
    } cases[] = {
        {1, SentMs(1, kTimeoutMs) + kAnswerMs},
        {2, SentMs(2, kTimeoutMs) + kTimeoutMs + 100 + kMarginMs},
        {3, SentMs(3, kTimeoutMs) + kTimeoutMs + 100 + kMarginMs},
    };
    for (const auto &c : cases) {
        fake::Reset();
        fake::Timeouts() = {0, 0, kTimeoutMs, 0, 0};
        for (int silent = 1; silent < c.k; ++silent)
            fake::ReplyToNextWrite("");
        fake::ReplyToNextWrite(Sealed("%01$RD3412"), kAnswerMs);
        TestChannel channel;
        channel.Tag('D', 100);
        EXPECT_EQ(ReadValue(&channel.request), 0) << c.k;
        EXPECT_EQ(channel.data[1], 0x1234) << c.k;
        EXPECT_EQ(TimesSent(kReadD100), c.k);
        EXPECT_DOUBLE_EQ(fake::NowMs(), c.endMs) << c.k;
    }
}

TEST_F(TransactionTest, ASecondAttemptThatSucceedsWins) {
    channel_.Tag('D', 100);
    fake::ReplyToNextWrite("");
    fake::ReplyToNextWrite(Sealed("%01$RD3412"));
    EXPECT_EQ(ReadValue(&channel_.request), 0);
    EXPECT_EQ(TimesSent(kReadD100), 2);
    EXPECT_EQ(channel_.data[1], 0x1234);
    // The second frame follows the first's time-out at once.
    EXPECT_EQ(Count("Sleep 1"), 2) << "no pause but the RTS lead";
}

TEST_F(TransactionTest, AnswersThatAreNotGoodAreFailedAttempts) {
    const struct {
        const char *what;
        std::string answer;
    } bad[] = {
        {"error response", Sealed("%01!61") + "\r\r\r\r"},
        {"wrong block check", "%01$RD3412FF\r"},
        {"other station", Sealed("%02$RD3412")},
        {"other command", Sealed("%01$RC3412")},
        {"not hexadecimal", Sealed("%01$RD34X2")},
        {"no carriage return", Sealed("%01$RD3412").substr(0, 12) + "\n"},
    };
    for (const auto &b : bad) {
        fake::Reset();
        TestChannel channel;
        channel.Tag('D', 100, 16, 0, 1);
        for (int i = 0; i < 3; ++i)
            fake::ReplyToNextWrite(b.answer);
        EXPECT_EQ(ReadBlock(&channel.request), 1) << b.what;
        EXPECT_EQ(channel.data[0], 0x5A5A) << b.what << ": a failed block read leaves the buffer";
        EXPECT_EQ(TimesSent(kReadD100), 3) << b.what;

        // One bad answer, then a good one.
        fake::Reset();
        TestChannel second;
        second.Tag('D', 100, 16, 0, 1);
        fake::ReplyToNextWrite(b.answer);
        fake::ReplyToNextWrite(Sealed("%01$RD3412"));
        EXPECT_EQ(ReadBlock(&second.request), 0) << b.what;
        EXPECT_EQ(second.data[0], 0x1234) << b.what;
    }
}

TEST_F(TransactionTest, BlockCountsOutsideOneFrameAreRefusedUnsent) {
    const struct {
        char device;
        int32_t count;
    } refused[] = {{'D', 0},  {'D', -1},      {'D', 28},          {'E', 14},        {'E', 0},
                   {'X', -5}, {'D', 1 << 30}, {'E', -2147483647}, {'G', INT32_MIN}, {'E', 1 << 30}};
    for (const auto &r : refused) {
        for (const bool read : {true, false}) {
            fake::Reset();
            TestChannel channel;
            channel.Tag(r.device, 0, 16, 0, r.count);
            EXPECT_EQ(read ? ReadBlock(&channel.request) : WriteBlock(&channel.request), 1)
                << r.device << r.count;
            EXPECT_TRUE(fake::CallLog().empty()) << r.device << r.count;
            EXPECT_EQ(channel.data[0], 0x5A5A);
        }
    }
    // The limits themselves are sent.
    fake::Reset();
    TestChannel channel;
    channel.Tag('D', 0, 16, 0, 27);
    fake::ReplyToNextWrite("");
    EXPECT_EQ(ReadBlock(&channel.request), 2);
    EXPECT_EQ(channel.instance.rxLength, 4 * 27 + 9);
}

TEST_F(TransactionTest, WritesTakeTheirWordsFromTheHostsBuffer) {
    const struct {
        const char *what;
        char device;
        int32_t width, dataType, count, bit;
        bool block;
        std::vector<int16_t> buffer;
        const char *frame;
    } cases[] = {
        {"16-bit value",
         'D',
         16,
         0,
         0,
         255,
         false,
         {7, 0x1234},
         "%01#WDD0010000100"
         "3412"},
        {"32-bit value",
         'E',
         32,
         3,
         0,
         255,
         false,
         {0x5678, 0x1234},
         "%01#WDD0010000101"
         "78563412"},
        {"bit value",
         'R',
         1,
         6,
         0,
         2,
         false,
         {0, 1},
         "%01#WCSR0102"
         "1"},
        {"block of 3",
         'D',
         16,
         0,
         3,
         255,
         true,
         {1, 2, -1},
         "%01#WDD0010000102"
         "01000200FFFF"},
        {"E block of 2",
         'E',
         32,
         3,
         2,
         255,
         true,
         {1, 2, 3, 4},
         "%01#WDD0010000103"
         "0100020003000400"},
        {"bit block",
         'R',
         1,
         6,
         1,
         2,
         true,
         {1, 0},
         "%01#WCSR0102"
         "1"},
        {"set values",
         'S',
         16,
         0,
         2,
         255,
         true,
         {10, 20},
         "%01#WS01000101"
         "0A001400"},
    };
    for (const auto &c : cases) {
        fake::Reset();
        TestChannel channel;
        channel.Tag(c.device, c.block || c.device != 'R' ? 100 : 10, c.width, c.dataType, c.count,
                    c.bit);
        for (size_t i = 0; i < c.buffer.size(); ++i)
            channel.data[i] = c.buffer[i];
        const std::string echo = c.width == 1 || c.device == 'R' ? "WC"
                                 : c.device == 'S'               ? "WS"
                                                                 : "WD";
        fake::ReplyToNextWrite(Sealed("%01$" + echo));
        if (c.device == 'R')
            channel.tag.wordAddress = 10;
        const int32_t status =
            c.block ? WriteBlock(&channel.request) : WriteValue(&channel.request);
        EXPECT_EQ(status, 0) << c.what;
        EXPECT_EQ(fake::Written(), Sealed(c.frame)) << c.what;
        EXPECT_EQ(channel.instance.rxLength, 9) << c.what;
        EXPECT_EQ(channel.instance.valuePtr == channel.data + 1, !c.block)
            << c.what << ": only single-value writes set the pointers";
    }
}

TEST_F(TransactionTest, FramesThatCannotBeWhatTheyClaimAreNotSent) {
    const struct {
        const char *what;
        char device;
        int32_t width, address, bit;
        int16_t value;
    } cases[] = {
        {"contact word above 999", 'R', 1, 1000, 0, 1},
        {"bit above 15", 'R', 1, 1, 16, 1},
        {"value above 9", 'R', 1, 1, 0, 10},
        {"word write to T", 'T', 16, 1, 255, 1},
        {"word write to C", 'C', 16, 1, 255, 1},
        {"no such device", 'Q', 16, 1, 255, 1},
    };
    for (const auto &c : cases) {
        fake::Reset();
        TestChannel channel;
        channel.Tag(c.device, c.address, c.width, c.width == 1 ? 6 : 0, 0, c.bit);
        channel.data[1] = c.value;
        EXPECT_EQ(WriteValue(&channel.request), 1) << c.what;
        EXPECT_TRUE(fake::CallLog().empty()) << c.what;
    }
}

TEST_F(TransactionTest, TheNullDeviceFailsWithoutWaiting) {
    channel_.instance.port = QIV_INVALID_PORT_HANDLE;
    channel_.Tag('D', 100);
    EXPECT_EQ(ReadValue(&channel_.request), 2);
    EXPECT_EQ(Count("Sleep 1"), 3) << "only the RTS lead of each attempt";
    EXPECT_TRUE(log_.entries().empty());
}

}  // namespace
