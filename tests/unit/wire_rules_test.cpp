#include <string.h>

#include <gtest/gtest.h>

#include "wire/wire_rules.h"

namespace {

TEST(WireRules, CharacterTimesAtEverySetting) {
    const struct {
        uint32_t dataBits, parity, stopBits, baud;
        uint32_t halfBits;
        uint64_t microseconds;  // one character, rounded up
    } cases[] = {
        {8, QIV_PARITY_ODD, QIV_STOPBITS_ONE, 19200, 22, 573},  // 572.9
        {8, QIV_PARITY_NONE, QIV_STOPBITS_ONE, 9600, 20, 1042},
        {7, QIV_PARITY_EVEN, QIV_STOPBITS_TWO, 9600, 22, 1146},
        {8, QIV_PARITY_MARK, QIV_STOPBITS_TWO, 115200 / 2, 24, 209},
        // One and a half stop bits count as one and a half, not as two.
        {5, QIV_PARITY_NONE, QIV_STOPBITS_ONE_AND_HALF, 300, 15, 25000},
        {5, QIV_PARITY_SPACE, QIV_STOPBITS_ONE_AND_HALF, 50, 17, 170000},
    };
    for (const auto &c : cases) {
        const uint32_t halfBits = wire::HalfBitsPerCharacter(c.dataBits, c.parity, c.stopBits);
        EXPECT_EQ(halfBits, c.halfBits) << c.dataBits << " " << c.parity << " " << c.stopBits;
        EXPECT_EQ(wire::LineMicroseconds(1, halfBits, c.baud), c.microseconds) << c.baud;
    }
    // A whole answer is rounded once, not character by character.
    EXPECT_EQ(wire::LineMicroseconds(13, 22, 19200), 7448u);  // 7447.9
}

TEST(WireRules, BlockCheckAsTheFrameCarriesIt) {
    const struct {
        const char *frame;
        bool holds;
    } cases[] = {
        {"%01$RD630013\r", true},        {"%01$RD6300**\r", true},
        {"%01$RD630012\r", false},       {"%01#RCCX000000000D\r", true},
        {"%01#RCCX000000000d\r", false}, {"%01!4001\r", true},
        {"%01!40*1\r", false},           {"\r", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(wire::BlockCheckHolds(c.frame, static_cast<int32_t>(strlen(c.frame))), c.holds)
            << c.frame;
    }
    EXPECT_EQ(wire::BlockCheck("%01#RCCX00000000", 16), 0x0D);
}

TEST(WireRules, FrameLimitsOfEachDevice) {
    const struct {
        char letter;
        int32_t readRequest, wordsPerWrite;
    } cases[] = {
        {'D', 20, 24}, {'E', 20, 24}, {'F', 20, 24}, {'G', 20, 24}, {'X', 19, 25},
        {'R', 19, 25}, {'V', 17, 25}, {'S', 17, 25}, {'T', 19, 0},
    };
    for (const auto &c : cases) {
        const wire::DeviceCommands *device = wire::FindDevice(c.letter);
        ASSERT_NE(device, nullptr) << c.letter;
        EXPECT_EQ(wire::BlockRequestLength(*device, false, 0), c.readRequest) << c.letter;
        EXPECT_EQ(wire::WordsPerWrite(*device), c.wordsPerWrite) << c.letter;
    }
    EXPECT_EQ(wire::FindDevice('d'), nullptr);
    EXPECT_EQ(wire::AnswerLength(wire::kMaxWordsPerFrame), 117);
    EXPECT_STREQ(wire::kDeviceLetters.text, "XYRLDETCVSFG");
}

}  // namespace
