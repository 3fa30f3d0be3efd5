#include <limits.h>

#include <gtest/gtest.h>

#include "address/numeric_text.h"

namespace {

TEST(DigitValue, EveryByteHasOne) {
    const struct {
        unsigned char ch;
        int value;
    } cases[] = {
        {'0', 0},   {'9', 9},    {'A', 10},  {'F', 15},  {'G', 16},  {'Z', 35},
        {'a', 42},  {':', 3},    {0x7F, 72}, {' ', 240}, {'-', 253}, {'\0', 208},
        {0x80, 80}, {0xFF, 207}, {0x39, 9},  {0x3A, 3},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DigitValue(c.ch), c.value) << "byte 0x" << std::hex << int{c.ch};
    }
}

TEST(DecimalTextToWord, ReadsExactlyCountCharactersAndWraps) {
    const struct {
        const char *text;
        uint8_t count;
        uint16_t value;
    } cases[] = {
        {"0100", 4, 100},
        {"1A", 2, 20},
        {" 1", 2, 2401},
        {"70000", 5, 4464},
        {"99999", 5, 34463},
        {"65535", 5, 65535},
        {"65536", 5, 0},
        {"0000A", 5, 10},
        {"12345", 3, 123},
        {"9", 1, 9},
        {"", 0, 0},
        // A NUL within the count is a digit worth 208, not an end.
        {"1\0\0", 2, 218},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DecimalTextToWord(c.text, c.count), c.value)
            << "'" << c.text << "' count " << int{c.count};
    }
}

TEST(DecimalTextToWord, CountZeroReadsNothing) {
    EXPECT_EQ(DecimalTextToWord(nullptr, 0), 0);
}

TEST(HexTextToWord, ReadsUpToCountAndGives255WhenTheTextEndsEarly) {
    const struct {
        const char *text;
        uint8_t count;
        uint16_t value;
    } cases[] = {
        {"1F", 2, 31}, {"EE", 2, 238},      {"FF", 2, 255},       {"F", 2, 255},
        {"1G", 2, 32}, {"ab", 2, 715},      {"12345", 5, 0x2345}, {"12345", 4, 0x1234},
        {"7", 1, 7},   {"", 1, 255},        {"", 255, 255},       {"", 0, 0},
        {"00", 2, 0},  {"FFFF", 4, 0xFFFF}, {"0", 2, 255},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(HexTextToWord(c.text, c.count), c.value)
            << "'" << c.text << "' count " << int{c.count};
    }
}

TEST(SwappedHexToWord, LowByteComesFirst) {
    const struct {
        const char *text;
        uint16_t value;
    } cases[] = {
        {"3412", 0x1234}, {"0080", 0x8000}, {"FF00", 255}, {"0000", 0}, {"FFFF", 0xFFFF},
        {"E803", 1000},   {"12", 255},      {"123", 255},  {"", 255},   {"34125678", 0x1234},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(SwappedHexToWord(c.text), c.value) << "'" << c.text << "'";
    }
}

TEST(WordToSwappedHex, FormatsTheLow16BitsLowByteFirst) {
    const struct {
        uint32_t value;
        const char *text;
    } cases[] = {
        {0x1234, "3412"},  {0x00AB, "AB00"}, {0, "0000"},          {0xFFFF, "FFFF"},
        {0x10005, "0500"}, {1000, "E803"},   {0xFFFFFFFF, "FFFF"},
    };
    for (const auto &c : cases) {
        char text[5] = {'x', 'x', 'x', 'x', 'x'};
        WordToSwappedHex(c.value, text);
        EXPECT_STREQ(text, c.text) << "value 0x" << std::hex << c.value;
    }
}

TEST(WordToSwappedHex, IsTheInverseOfSwappedHexToWordForEveryWord) {
    for (uint32_t value = 0; value <= 0xFFFF; ++value) {
        char text[5];
        WordToSwappedHex(value, text);
        ASSERT_EQ(SwappedHexToWord(text), value) << text;
    }
}

TEST(TestBit, TestsBits0To15AndNothingBeyond) {
    const struct {
        uint16_t value;
        int32_t bit;
        int32_t result;
    } cases[] = {
        {0x8000, 15, 1},      {0x8000, 14, 0},      {0xFFFF, 16, 0}, {0xFFFF, 255, 0},
        {0xFFFF, 31, 0},      {0xFFFF, 32, 0},      {1, 0, 1},       {1, -3, 1},
        {2, -3, 0},           {0xFFFE, 0, 0},       {0x0004, 2, 1},  {0xFFFB, 2, 0},
        {0xFFFF, INT_MIN, 1}, {0xFFFF, INT_MAX, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(TestBit(c.value, c.bit), c.result)
            << "value 0x" << std::hex << c.value << std::dec << " bit " << c.bit;
    }
}

}  // namespace
