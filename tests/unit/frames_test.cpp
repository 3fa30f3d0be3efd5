#include "protocol/frames.h"

#include <string>

#include <gtest/gtest.h>

#include "unit/log_capture.h"
#include "unit/protocol_support.h"

namespace {

struct Composed {
    int32_t status;
    std::string frame;
};

Composed Compose(TestChannel &channel, FrameKind kind, int32_t n, const int16_t *block = nullptr) {
    char area[kWriteFrameArea];
    channel.instance.valuePtr = channel.data + 1;
    channel.instance.valuePtr0 = channel.data;
    const int32_t areaSize = kind == FrameKind::kRead ? kReadFrameArea : kWriteFrameArea;
    const int32_t status = SetMewtocolCmd(&channel.request, kind, n, area, areaSize, block);
    return {status, area};
}

TEST(SetMewtocolCmd, FrameTable) {
    const struct {
        char device;
        int32_t address;
        int32_t width;
        int32_t bit;
        FrameKind kind;
        int32_t n;
        int16_t word0, word1;
        const char *frame;
    } cases[] = {
        {'D', 100, 16, 255, FrameKind::kRead, 1, 0, 0, "%01#RDD001000010055\r"},
        {'X', 0, 16, 255, FrameKind::kRead, 1, 0, 0, "%01#RCCX000000000D\r"},
        {'R', 1, 16, 255, FrameKind::kRead, 3, 0, 0, "%01#RCCR0001000305\r"},
        {'V', 5, 16, 255, FrameKind::kRead, 1, 0, 0, "%01#RK000500051E\r"},
        {'D', 100, 16, 255, FrameKind::kWrite, 1, 0, 4660, "%01#WDD0010000100341254\r"},
        {'E', 100, 32, 255, FrameKind::kWrite, 2, 0x5678, 0x1234, "%01#WDD00100001017856341259\r"},
        {'S', 5, 16, 255, FrameKind::kWrite, 1, 0, 1000, "%01#WS00050005E8037D\r"},
        {'R', 1, 1, 2, FrameKind::kWrite, 1, 0, 1, "%01#WCSR0012120\r"},
    };
    for (const auto &c : cases) {
        TestChannel channel;
        channel.Tag(c.device, c.address, c.width, 0, 0, c.bit);
        channel.data[0] = c.word0;
        channel.data[1] = c.word1;
        const Composed composed = Compose(channel, c.kind, c.n);
        EXPECT_EQ(composed.status, 0) << c.frame;
        EXPECT_EQ(composed.frame, c.frame);
    }
}

TEST(SetMewtocolCmd, EveryDeviceLetterWithItsCommandsAndAddressWidth) {
    const struct {
        char device;
        const char *read;
        const char *write;    // nullptr: no word writes
        const char *address;  // start 7, end 8
    } devices[] = {
        {'X', "RCCX", "WCCX", "00070008"},  {'Y', "RCCY", "WCCY", "00070008"},
        {'R', "RCCR", "WCCR", "00070008"},  {'L', "RCCL", "WCCL", "00070008"},
        {'T', "RCCT", nullptr, "00070008"}, {'C', "RCCC", nullptr, "00070008"},
        {'V', "RK", "WK", "00070008"},      {'S', "RS", "WS", "00070008"},
        {'D', "RDD", "WDD", "0000700008"},  {'E', "RDD", "WDD", "0000700008"},
        {'F', "RDF", "WDF", "0000700008"},  {'G', "RDF", "WDF", "0000700008"},
    };
    for (const auto &d : devices) {
        TestChannel channel;
        channel.Tag(d.device, 7);
        const Composed read = Compose(channel, FrameKind::kRead, 2);
        EXPECT_EQ(read.status, 0) << d.device;
        EXPECT_EQ(read.frame, Sealed(std::string("%01#") + d.read + d.address)) << d.device;

        const int16_t words[2] = {0x0102, -1};
        const Composed write = Compose(channel, FrameKind::kWrite, 2, words);
        if (d.write == nullptr) {
            EXPECT_EQ(write.status, 1) << d.device << ": no write command";
        } else {
            EXPECT_EQ(write.status, 0) << d.device;
            EXPECT_EQ(write.frame, Sealed(std::string("%01#") + d.write + d.address + "0201FFFF"))
                << d.device;
        }
    }
}

TEST(SetMewtocolCmd, StationAndAddressFields) {
    TestChannel channel;
    channel.tag.station = 0x1F;
    channel.Tag('X', 9999);
    EXPECT_EQ(Compose(channel, FrameKind::kRead, 1).frame, Sealed("%1F#RCCX99999999"));
    channel.tag.station = 0xEE;
    channel.Tag('D', 65535);
    EXPECT_EQ(Compose(channel, FrameKind::kRead, 1).frame, Sealed("%EE#RDD6553565535"));
}

TEST(SetMewtocolCmd, NumbersWiderThanTheirFieldAreRefused) {
    // A wider number would shift every later field, and the controller would
    // read another register than the one asked for.
    const struct {
        char device;
        int32_t address, words;
        bool sent;
    } cases[] = {
        {'X', 9999, 1, true},   {'X', 9998, 2, true},   {'X', 9999, 2, false},
        {'X', 10000, 1, false}, {'X', -1, 1, false},    {'S', 9990, 10, true},
        {'S', 9990, 11, false}, {'D', 65535, 1, true},  {'D', 65536, 1, false},
        {'D', 99999, 1, false}, {'D', 65530, 6, true},  {'D', 65530, 10, false},
        {'E', 65534, 2, true},  {'G', 65534, 4, false}, {'F', -5, 1, false},
    };
    for (const auto &c : cases) {
        TestChannel channel;
        channel.Tag(c.device, c.address);
        EXPECT_EQ(Compose(channel, FrameKind::kRead, c.words).status, c.sent ? 0 : 1)
            << c.device << c.address << " x" << c.words;
    }
}

TEST(SetMewtocolCmd, AStationBeyondOneByteIsRefusedAndLogged) {
    // Only a host that builds its own TagAccess can hold these.
    const struct {
        int32_t station;
        bool sent;
    } cases[] = {{0, true},      {0x32, true}, {0xFF, true},      {0x100, false},
                 {0x1FF, false}, {-1, false},  {INT32_MIN, false}};
    for (const auto &c : cases) {
        LogCapture log;
        TestChannel channel;
        channel.tag.station = c.station;
        channel.Tag('D', 100);
        EXPECT_EQ(Compose(channel, FrameKind::kRead, 1).status, c.sent ? 0 : 1) << c.station;
        EXPECT_EQ(log.formats().size(), c.sent ? 0u : 1u) << c.station;
    }
}

TEST(SetMewtocolCmd, BlockChecksBelow16KeepTwoDigits) {
    TestChannel channel;
    channel.Tag('X', 0);
    const std::string frame = Compose(channel, FrameKind::kRead, 1).frame;
    EXPECT_EQ(frame.substr(frame.size() - 3), "0D\r");
    EXPECT_EQ(wire::BlockCheck("%01#RCCX00000000", 16), 0x0D);
}

TEST(SetMewtocolCmd, WritesUpTo119Characters) {
    const struct {
        char device;
        int32_t words;
        int32_t status;
        size_t length;
    } cases[] = {
        {'D', 24, 0, 116}, {'D', 25, 1, 120}, {'F', 25, 1, 120}, {'X', 25, 0, 119},
        {'X', 26, 1, 123}, {'V', 25, 0, 117}, {'S', 25, 0, 117}, {'G', 27, 1, 128},
    };
    for (const auto &c : cases) {
        TestChannel channel;
        channel.Tag(c.device, 0);
        int16_t words[27] = {};
        const Composed composed = Compose(channel, FrameKind::kWrite, c.words, words);
        EXPECT_EQ(composed.status, c.status) << c.device << " " << c.words;
        EXPECT_EQ(composed.frame.size(), c.length) << c.device << " " << c.words;
    }
}

TEST(SetMewtocolCmd, AnUnknownDeviceIsLoggedOnceAndRefused) {
    LogCapture log;
    TestChannel channel;
    channel.Tag('d', 100);
    EXPECT_EQ(Compose(channel, FrameKind::kRead, 1).status, 1);
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].format, "QIVMA: SetMewtocolCmd() Cmd not found %c");
    EXPECT_EQ(log.entries()[0].message, "QIVMA: SetMewtocolCmd() Cmd not found d");
    EXPECT_EQ(log.entries()[0].category, 32);
}

TEST(SetMewtocolCmd, SingleBitFramesRefuseWhatTheirFieldsCannotHold) {
    const struct {
        int32_t address;
        int32_t bit;
        int16_t value;
        const char *frame;  // nullptr: refused
    } cases[] = {
        {999, 15, 1, "%01#WCSY999F1"}, {1000, 0, 1, nullptr},
        {-1, 0, 1, nullptr},           {0, 16, 1, nullptr},
        {0, -1, 1, nullptr},           {0, 0, 9, "%01#WCSY00009"},
        {0, 0, 10, nullptr},           {0, 0, 0x0100, "%01#WCSY00000"},  // the low byte counts
        {0, 0, 0x00FF, nullptr},
    };
    for (const auto &c : cases) {
        TestChannel channel;
        channel.Tag('Y', c.address, 1, QIV_TYPE_BIT, 0, c.bit);
        channel.data[1] = c.value;
        const Composed composed = Compose(channel, FrameKind::kWrite, 1);
        if (c.frame == nullptr) {
            EXPECT_EQ(composed.status, 1) << c.address << "/" << c.bit << "/" << c.value;
        } else {
            EXPECT_EQ(composed.status, 0);
            EXPECT_EQ(composed.frame, Sealed(c.frame));
        }
    }
}

TEST(CheckResponse, AGoodAnswerIsTheAnswerToThisRequest) {
    const std::string request = "%01#RDD001000010055\r";
    const struct {
        std::string answer;
        int32_t result;
        const char *what;
    } cases[] = {
        {Sealed("%01$RD3412"), 0, "good"},
        {"%01$RD3412**\r", 0, "no block check"},
        {"%01$RD341200\r", 1, "wrong block check"},
        {"%01$RD3412" + Bcc("%01$RD3412") + "\n", 1, "no carriage return"},
        {Sealed("%02$RD3412"), 1, "another station"},
        {Sealed("%01$WD3412"), 1, "another command's echo"},
        {Sealed("%01$RC3412"), 1, "another command's echo"},
        {Sealed("%01$RD34a2"), 1, "lower-case data"},
        {Sealed("%01$RD34G2"), 1, "not hexadecimal"},
        {Sealed("%01$RD 412"), 1, "a blank in the data"},
        {Sealed("%01!61") + "\r\r\r\r", 1, "an error response"},
        {Sealed("#01$RD3412"), 1, "no header"},
        {Sealed("%01#RD3412"), 1, "no $"},
    };
    for (const auto &c : cases) {
        TestChannel channel;
        memcpy(channel.instance.txFrame, request.c_str(), request.size() + 1);
        memcpy(channel.instance.rxFrame, c.answer.data(), c.answer.size());
        channel.instance.rxLength = 13;
        EXPECT_EQ(CheckResponse(&channel.request), c.result) << c.what;
    }
}

TEST(CheckResponse, WritesAndTheConnectedStation) {
    const struct {
        const char *request;
        std::string answer;
        int32_t result;
    } cases[] = {
        {"%01#WCSR0012120\r", Sealed("%01$WC"), 0},
        {"%01#WCSR0012120\r", Sealed("%01!61"), 1},
        {"%EE#RK000500051E\r", Sealed("%EE$RK0000"), 0},
        {"%EE#RK000500051E\r", Sealed("%01$RK0000"), 1},
        {"%05#WS00050005E8037D\r", Sealed("%05$WS"), 0},
        {"%05#WS00050005E8037D\r", Sealed("%05$WK"), 1},
    };
    for (const auto &c : cases) {
        TestChannel channel;
        memcpy(channel.instance.txFrame, c.request, strlen(c.request) + 1);
        memcpy(channel.instance.rxFrame, c.answer.data(), c.answer.size());
        channel.instance.rxLength = static_cast<int32_t>(c.answer.size());
        EXPECT_EQ(CheckResponse(&channel.request), c.result) << c.request << " " << c.answer;
    }
}

}  // namespace
