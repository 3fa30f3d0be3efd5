#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "address/tag_address.h"
#include "unit/log_capture.h"

namespace {

// Output fields that the parse must not write hold this value.
constexpr int32_t kUnwritten = -12345;
constexpr const char *kInvalidChars = "MA: invalid chars in address\n";

struct Outcome {
    int32_t status;
    int32_t station;
    int32_t device;
    int32_t wordAddress;
    int32_t bitNumber;
    int32_t width;
    bool logs;
};

struct ParseCase {
    const char *text;
    int32_t dataType;
    int32_t count;
    Outcome expected;
};

// Only bitNumber is written: the parse stopped before the other fields.
constexpr Outcome Stopped(bool logs) {
    return {1, kUnwritten, kUnwritten, kUnwritten, 255, kUnwritten, logs};
}

const ParseCase kCases[] = {
    // Relays and contacts: seven characters for words, eight with a bit digit.
    {"01X0010", 0, 0, {0, 1, 'X', 10, 255, 16, false}},
    {"01x0010", 0, 0, {0, 1, 'X', 10, 255, 16, false}},
    {"01X0010", 3, 0, {0, 1, 'X', 10, 255, 32, false}},
    {"01X0010F", 6, 0, {0, 1, 'X', 10, 15, 1, false}},
    {"01x0010f", 6, 0, {0, 1, 'X', 10, 15, 1, false}},
    {"01L9999F", 6, 0, {0, 1, 'L', 9999, 15, 1, false}},
    {"01T0001F", 6, 0, {0, 1, 'T', 1, 15, 1, false}},
    {"01R0012A", 6, 0, {0, 1, 'R', 12, 10, 1, false}},
    {"01C00000", 6, 0, {0, 1, 'C', 0, 0, 1, false}},
    {"01X0010", 6, 0, {1, 1, 'X', 10, 255, 1, false}},
    {"01X0010F", 0, 0, {1, 1, 'X', 10, 255, 16, false}},
    // An invalid character is logged once, and every field is still filled in.
    {"01X00A0", 0, 0, {1, 1, 'X', 100, 255, 16, true}},
    {"01Z0010", 0, 0, {1, 1, 'Z', 10, 255, 16, true}},
    {"01X001{", 0, 0, {1, 1, 'X', 10 + 36, 255, 16, true}},  // '{' folds to '[' (digit 36)
    {"0GX0010", 0, 0, {1, 16, 'X', 10, 255, 16, true}},
    {"01X0010G", 6, 0, {1, 1, 'X', 10, 16, 1, true}},
    {"01\xC4"
     "0010",
     0,
     0,
     {1, 1, 0xC4, 10, 255, 16, true}},
    // Data and file registers.
    {"01D00100", 0, 0, {0, 1, 'D', 100, 255, 16, false}},
    {"01d00100", 0, 0, {0, 1, 'D', 100, 255, 16, false}},
    {"01F00200", 0, 0, {0, 1, 'F', 200, 255, 16, false}},
    {"01D00100", 3, 0, {1, 1, 'D', 100, 255, 32, false}},
    {"01D00100", 6, 0, {1, 1, 'D', 100, 255, 1, false}},
    {"01D0100", 0, 0, {1, 1, 'D', 1208, 255, 16, false}},  // the NUL reads as 208
    {"01D0000A", 0, 0, {0, 1, 'D', 10, 255, 16, false}},
    // Above 65535 a register number is refused, not wrapped onto another.
    {"01D65535", 0, 0, {0, 1, 'D', 65535, 255, 16, false}},
    {"01D65536", 0, 0, {1, 1, 'D', 0, 255, 16, false}},
    {"01D70000", 0, 0, {1, 1, 'D', 4464, 255, 16, false}},
    {"01F99999", 0, 0, {1, 1, 'F', 34463, 255, 16, false}},
    {"01G65534", 3, 0, {0, 1, 'G', 65534, 255, 32, false}},
    {"01E65536", 3, 0, {1, 1, 'E', 0, 255, 32, false}},
    {"01D6553F", 0, 0, {1, 1, 'D', 9, 255, 16, false}},
    // Two-word registers: even numbers, 32-bit, or any type with a count.
    {"01E00100", 3, 0, {0, 1, 'E', 100, 255, 32, false}},
    {"01G00200", 4, 0, {0, 1, 'G', 200, 255, 32, false}},
    {"01E00101", 3, 0, {1, 1, 'E', 101, 255, 32, false}},
    {"01E0000A", 5, 0, {0, 1, 'E', 10, 255, 32, false}},
    {"01E0000B", 3, 0, {1, 1, 'E', 11, 255, 32, false}},
    {"01E00100", 0, 0, {1, 1, 'E', 100, 255, 16, false}},
    {"01E00100", 0, 5, {0, 1, 'E', 100, 255, 32, false}},
    {"01E00100", 6, 5, {0, 1, 'E', 100, 255, 32, false}},
    {"01E00100", 0, -1, {0, 1, 'E', 100, 255, 32, false}},
    {"01E0010", 3, 0, {1, 1, 'E', 308, 255, 32, false}},
    // Counts: 27 elements at most, 13 for E and G; negative counts pass.
    {"01E00100", 3, 13, {0, 1, 'E', 100, 255, 32, false}},
    {"01E00100", 3, 14, {1, 1, 'E', 100, 255, 32, false}},
    {"01G00100", 3, 14, {1, 1, 'G', 100, 255, 32, false}},
    {"01D00100", 0, 27, {0, 1, 'D', 100, 255, 16, false}},
    {"01D00100", 0, 28, {1, 1, 'D', 100, 255, 16, false}},
    {"01X0010", 0, 28, {1, 1, 'X', 10, 255, 16, false}},
    {"01R0000", 0, -5, {0, 1, 'R', 0, 255, 16, false}},
    // Stations: two hexadecimal digits; 0-32, EE and FF; and 21 to 32 as
    // two decimal digits, held as their hexadecimal value.
    {"20R0000", 0, 0, {0, 32, 'R', 0, 255, 16, false}},
    {"21R0000", 0, 0, {0, 0x21, 'R', 0, 255, 16, false}},
    {"29R0000", 0, 0, {0, 0x29, 'R', 0, 255, 16, false}},
    {"30R0000", 0, 0, {0, 0x30, 'R', 0, 255, 16, false}},
    {"32R0000", 0, 0, {0, 0x32, 'R', 0, 255, 16, false}},
    {"33R0000", 0, 0, {1, 0x33, 'R', 0, 255, 16, false}},
    {"2AR0000", 0, 0, {1, 0x2A, 'R', 0, 255, 16, false}},
    {"2FR0000", 0, 0, {1, 0x2F, 'R', 0, 255, 16, false}},
    {"1AR0000", 0, 0, {0, 26, 'R', 0, 255, 16, false}},
    {"99R0000", 0, 0, {1, 0x99, 'R', 0, 255, 16, false}},
    {"EER0000", 0, 0, {0, 238, 'R', 0, 255, 16, false}},
    {"eeR0000", 0, 0, {0, 238, 'R', 0, 255, 16, false}},
    {"EDR0000", 0, 0, {1, 237, 'R', 0, 255, 16, false}},
    {"FFR0000", 0, 0, {0, 255, 'R', 0, 255, 16, false}},
    {"FER0000", 0, 0, {1, 254, 'R', 0, 255, 16, false}},
    {"EFR0000", 0, 0, {1, 239, 'R', 0, 255, 16, false}},
    {"1FY0001", 0, 0, {0, 31, 'Y', 1, 255, 16, false}},
    {"00Y0001", 0, 0, {0, 0, 'Y', 1, 255, 16, false}},
    // Timer and counter values.
    {"01V0005", 0, 0, {0, 1, 'V', 5, 255, 16, false}},
    {"01S0005", 3, 0, {0, 1, 'S', 5, 255, 32, false}},
    // Data types: 7 stops the parse; any other unknown code is 16-bit.
    {"01X0010", 8, 0, {0, 1, 'X', 10, 255, 16, false}},
    {"01X0010", -1, 0, {0, 1, 'X', 10, 255, 16, false}},
    {"01X0010", 7, 0, Stopped(false)},
    {"01Z0010", 7, 0, Stopped(true)},
    // Texts over eight characters stop at once, without a message.
    {"01X00100F", 0, 0, Stopped(false)},
    {"01Z00100F", 6, 0, Stopped(false)},
    // Short texts: the station of a text under two characters reads as 255.
    {"", 0, 0, {1, 255, 0, 34480, 255, 16, false}},
    {"0", 0, 0, {1, 255, 0, 34480, 255, 16, false}},
    {"01X", 0, 0, {1, 1, 'X', 34480, 255, 16, false}},
};

std::string Describe(const ParseCase &c) {
    return "'" + std::string(c.text) + "' type " + std::to_string(c.dataType) + " count " +
           std::to_string(c.count);
}

TagDefinition UnwrittenTag(const char *text, int32_t dataType, int32_t count) {
    TagDefinition tag;
    memset(&tag, 0, sizeof tag);
    tag.addressText = text;
    tag.dataType = dataType;
    tag.count = count;
    tag.station = tag.device = tag.wordAddress = tag.bitNumber = tag.width = kUnwritten;
    return tag;
}

int32_t Parse(TagDefinition &tag) {
    DriverRequest request = {};
    request.params = &tag;
    return ParseTagAddress(&request);
}

TEST(ParseTagAddress, AddressTable) {
    for (const ParseCase &c : kCases) {
        LogCapture log;
        TagDefinition tag = UnwrittenTag(c.text, c.dataType, c.count);
        const int32_t status = Parse(tag);
        const Outcome &e = c.expected;
        EXPECT_EQ(status, e.status) << Describe(c);
        EXPECT_EQ(tag.station, e.station) << Describe(c);
        EXPECT_EQ(tag.device, e.device) << Describe(c);
        EXPECT_EQ(tag.wordAddress, e.wordAddress) << Describe(c);
        EXPECT_EQ(tag.bitNumber, e.bitNumber) << Describe(c);
        EXPECT_EQ(tag.width, e.width) << Describe(c);
        // The inputs are left as the host gave them.
        EXPECT_EQ(tag.addressText, c.text) << Describe(c);
        EXPECT_EQ(tag.dataType, c.dataType) << Describe(c);
        EXPECT_EQ(tag.count, c.count) << Describe(c);
        if (e.logs) {
            ASSERT_EQ(log.entries().size(), 1u) << Describe(c);
            EXPECT_EQ(log.entries()[0].category, 32) << Describe(c);
            EXPECT_EQ(log.entries()[0].format, kInvalidChars) << Describe(c);
            EXPECT_EQ(log.entries()[0].message, kInvalidChars) << Describe(c);
        } else {
            EXPECT_TRUE(log.entries().empty()) << Describe(c);
        }
    }
}

// The reasons behind a refusal, as a host program that explains it gets them;
// a tag is refused exactly when there is one.
TEST(TagAddressFaults, EachRuleThatATagBreaks) {
    const struct {
        const char *text;
        int32_t dataType, count;
        uint32_t faults;
    } cases[] = {
        {"01D00100", 0, 0, 0},
        {"01D001000", 0, 0, kFaultText},
        {"01Z0010", 7, 0, CharacterFault(2) | kFaultDataType},
        {"0GX0010G", 0, 0, CharacterFault(1) | CharacterFault(7) | kFaultLength},
        {"33R0000", 0, 0, kFaultStation},
        {"01D0100", 3, 0, kFaultLength | kFaultWidth},
        {"01E00101", 0, 0, kFaultWidth | kFaultOddRegister},
        {"01G70001", 3, 0, kFaultOddRegister | kFaultRegister},
        {"01X0010", 6, 0, kFaultLength},
        {"01", 0, 0, kFaultLength},
        {"01D00100", 0, 28, kFaultCount},
        {"01E00100", 3, 28, kFaultCount | kFaultDoubleWordCount},
        {"01G00100", 3, 14, kFaultDoubleWordCount},
    };
    for (const auto &c : cases) {
        TagDefinition tag = UnwrittenTag(c.text, c.dataType, c.count);
        EXPECT_EQ(TagAddressFaults(&tag), c.faults) << c.text;
        LogCapture log;
        TagDefinition again = UnwrittenTag(c.text, c.dataType, c.count);
        EXPECT_EQ(Parse(again), c.faults != 0 ? 1 : 0) << c.text;
    }
}

TEST(ParseTagAddress, NoAddressTextIsRejectedLikeATooLongOne) {
    LogCapture log;
    TagDefinition tag = UnwrittenTag(nullptr, 0, 0);
    EXPECT_EQ(Parse(tag), 1);
    EXPECT_EQ(tag.bitNumber, 255);
    EXPECT_EQ(tag.station, kUnwritten);
    EXPECT_EQ(tag.device, kUnwritten);
    EXPECT_EQ(tag.wordAddress, kUnwritten);
    EXPECT_EQ(tag.width, kUnwritten);
    EXPECT_TRUE(log.entries().empty());
}

TEST(ParseTagAddress, WritesNothingBeyondTheTagDefinition) {
    struct Guarded {
        TagDefinition tag;
        unsigned char after[16];
    } block;
    memset(&block, 0xA5, sizeof block);
    block.tag.addressText = "01D00100";
    block.tag.dataType = 0;
    block.tag.count = 0;
    EXPECT_EQ(Parse(block.tag), 0);
    for (unsigned char byte : block.after) {
        EXPECT_EQ(byte, 0xA5);
    }
    // Nor the word that the driver does not read.
    int32_t untouched;
    memset(&untouched, 0xA5, sizeof untouched);
    EXPECT_EQ(block.tag.reserved, untouched);
}

TEST(ParseTagAddress, ReadsNoFurtherThanOnePastTheLongestText) {
    // Nine characters and no terminator: the parse must stop without looking
    // at the tenth byte (the sanitizer builds see any read beyond).
    char *text = new char[9];
    memcpy(text, "01D001000", 9);
    LogCapture log;
    TagDefinition tag = UnwrittenTag(text, 0, 0);
    EXPECT_EQ(Parse(tag), 1);
    EXPECT_EQ(tag.station, kUnwritten);
    delete[] text;
}

}  // namespace
