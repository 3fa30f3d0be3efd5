#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qivma.h"
#include "unit/log_capture.h"

namespace {

constexpr bool k32Bit = sizeof(void *) == 4;

// Where the fields of DriverInfo lie in the host's memory.
struct InfoOffsets {
    size_t version, driverName, banner, instanceSize, defaultTimeout, lineSettings, last, end;
};
constexpr InfoOffsets kInfo32 = {0, 4, 8, 12, 16, 20, 28, 32};
constexpr InfoOffsets kInfo64 = {0, 8, 16, 24, 28, 32, 40, 44};
constexpr InfoOffsets kInfo = k32Bit ? kInfo32 : kInfo64;

template <typename T>
T FieldAt(const unsigned char *block, size_t offset) {
    T value;
    memcpy(&value, block + offset, sizeof value);
    return value;
}

int32_t Call(int32_t command, void *params, DriverInstance *instance = nullptr) {
    DriverRequest request;
    memset(&request, 0, sizeof request);
    request.instance = instance;
    request.command = command;
    request.params = params;
    return QivMain(&request);
}

TEST(GetDriverInfo, FillsItsSevenFieldsAtTheirOffsetsWithoutAnInstance) {
    alignas(8) unsigned char block[96];
    memset(block, 0xEE, sizeof block);
    ASSERT_EQ(Call(QIV_CMD_GET_DRIVER_INFO, block, nullptr), QIV_STATUS_OK);

    EXPECT_EQ(FieldAt<int32_t>(block, kInfo.version), 70);
    EXPECT_STREQ(FieldAt<const char *>(block, kInfo.driverName), "Matsushita");
    EXPECT_EQ(strlen(FieldAt<const char *>(block, kInfo.banner)), 379u);
    EXPECT_EQ(FieldAt<int32_t>(block, kInfo.instanceSize), k32Bit ? 4180 : 4192);
    EXPECT_EQ(FieldAt<int32_t>(block, kInfo.instanceSize),
              static_cast<int32_t>(sizeof(DriverInstance)));
    EXPECT_EQ(FieldAt<int32_t>(block, kInfo.defaultTimeout), 4);
    EXPECT_EQ(FieldAt<uint16_t>(block, kInfo.lineSettings + 0), 19200);
    EXPECT_EQ(FieldAt<uint16_t>(block, kInfo.lineSettings + 2), 8);
    EXPECT_EQ(FieldAt<uint16_t>(block, kInfo.lineSettings + 4), 0);  // one stop bit
    EXPECT_EQ(FieldAt<uint16_t>(block, kInfo.lineSettings + 6), 1);  // odd parity
    EXPECT_EQ(FieldAt<int32_t>(block, kInfo.last), 0);
    for (size_t i = kInfo.end; i < sizeof block; ++i) {
        EXPECT_EQ(block[i], 0xEE) << "byte " << i << " written beyond DriverInfo";
    }
}

TEST(GetDriverInfo, TextsStayTheSameConstants) {
    DriverInfo first = {}, second = {};
    Call(QIV_CMD_GET_DRIVER_INFO, &first);
    Call(QIV_CMD_GET_DRIVER_INFO, &second);
    EXPECT_EQ(first.driverName, second.driverName);
    EXPECT_EQ(first.banner, second.banner);
}

std::string Repeat(unsigned char ch, size_t times) {
    return std::string(times, static_cast<char>(ch));
}

// A line of text inside the box: `indent` blanks, the text, blanks to 59.
std::string Inside(size_t indent, const std::string &text) {
    std::string line = std::string(indent, ' ') + text;
    return line + std::string(59 - line.size(), ' ');
}

std::vector<std::string> BannerLines(const std::string &banner) {
    std::vector<std::string> lines;
    size_t start = 1;  // after the leading line feed
    for (size_t end; (end = banner.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(banner.substr(start, end - start));
    }
    return lines;
}

TEST(GetDriverInfo, BannerBytes) {
    DriverInfo info = {};
    Call(QIV_CMD_GET_DRIVER_INFO, &info);
    const std::string banner = info.banner;

    ASSERT_EQ(banner.size(), 379u);
    EXPECT_EQ(banner.front(), '\n');
    EXPECT_EQ(banner.back(), '\n');

    const std::vector<std::string> lines = BannerLines(banner);
    ASSERT_EQ(lines.size(), 6u);
    for (const std::string &line : lines) {
        EXPECT_EQ(line.size(), 62u) << line;
        EXPECT_EQ(line[0], ' ');
    }
    const std::string vertical = Repeat(0xBA, 1);
    EXPECT_EQ(lines[0], " " + Repeat(0xC9, 1) + Repeat(0xCD, 59) + Repeat(0xBB, 1));
    const std::string stripe = Repeat(0xDB, 5) + Repeat(0xB2, 6) + Repeat(0xB1, 6) +
                               Repeat(0xB0, 6) + " Q I V M A " + Repeat(0xB0, 6) + Repeat(0xB1, 6) +
                               Repeat(0xB2, 6) + Repeat(0xDB, 5);
    EXPECT_EQ(lines[1], " " + vertical + " " + stripe + " " + vertical);
    EXPECT_EQ(lines[2], " " + vertical +
                            Inside(7, "Matsushita - FP3, FP5, FP10 compatible driver.") + vertical);
    EXPECT_EQ(lines[3], " " + vertical + Inside(18, "MEWTOCOL-COM protocol") + vertical);
    EXPECT_EQ(lines[5], " " + Repeat(0xC8, 1) + Repeat(0xCD, 59) + Repeat(0xBC, 1));

    // The maker's notice: seven blanks, a notice ending in " - Version 7.0", blanks.
    const std::string notice = lines[4].substr(2, 59);
    EXPECT_EQ(lines[4].substr(0, 2), " " + vertical);
    EXPECT_EQ(lines[4].substr(61), vertical);
    EXPECT_EQ(notice.substr(0, 7), "       ");
    EXPECT_NE(notice[7], ' ');
    const size_t version = notice.find(" - Version 7.0");
    ASSERT_NE(version, std::string::npos);
    EXPECT_EQ(notice.find_first_not_of(' ', version + 14), std::string::npos);
}

// What a command did to its blocks.
enum class Effect { kRefused, kParsesTag, kReportsInfo };

struct DispatchCase {
    int32_t command;
    Effect effect;
};

// Every code is dispatched to entry code - 1; codes without an operation are
// refused without touching the instance or the parameter block.
const DispatchCase kDispatch[] = {
    {INT_MIN, Effect::kRefused}, {-1, Effect::kRefused},      {0, Effect::kRefused},
    {1, Effect::kRefused},       {2, Effect::kRefused},       {3, Effect::kParsesTag},
    {4, Effect::kParsesTag},     {5, Effect::kRefused},       {6, Effect::kRefused},
    {7, Effect::kRefused},       {8, Effect::kRefused},       {9, Effect::kRefused},
    {10, Effect::kRefused},      {11, Effect::kRefused},      {12, Effect::kRefused},
    {13, Effect::kRefused},      {14, Effect::kReportsInfo},  {15, Effect::kRefused},
    {16, Effect::kRefused},      {INT_MAX, Effect::kRefused},
};

TEST(QivMain, DispatchesCodesNumberedFromOne) {
    for (const DispatchCase &c : kDispatch) {
        DriverInstance instance;
        memset(&instance, 0x5A, sizeof instance);
        DriverInstance untouched;
        memcpy(&untouched, &instance, sizeof instance);

        // A zero block stands for any command's parameters: the tag parse and
        // the information report would both write into it.
        alignas(8) unsigned char block[64] = {};
        TagDefinition tag = {};
        tag.addressText = "01D00100";
        void *params = c.effect == Effect::kParsesTag ? static_cast<void *>(&tag) : block;

        LogCapture log;
        const int32_t status = Call(c.command, params, &instance);
        SCOPED_TRACE("command " + std::to_string(c.command));
        EXPECT_EQ(memcmp(&instance, &untouched, sizeof instance), 0);
        EXPECT_TRUE(log.entries().empty());
        switch (c.effect) {
            case Effect::kRefused:
                EXPECT_EQ(status, QIV_STATUS_REFUSED);
                for (unsigned char byte : block) {
                    ASSERT_EQ(byte, 0);
                }
                break;
            case Effect::kParsesTag:
                EXPECT_EQ(status, QIV_STATUS_OK);
                EXPECT_EQ(tag.device, 'D');
                EXPECT_EQ(tag.wordAddress, 100);
                break;
            case Effect::kReportsInfo:
                EXPECT_EQ(status, QIV_STATUS_OK);
                EXPECT_EQ(FieldAt<int32_t>(block, kInfo.version), 70);
                break;
        }
    }
}

TEST(QivMain, RefusesANullRequest) {
    EXPECT_EQ(QivMain(nullptr), QIV_STATUS_REFUSED);
}

TEST(QivMain, PassesTheOperationsStatusBackUnchanged) {
    for (const int32_t command : {QIV_CMD_PARSE_TAG, QIV_CMD_REPARSE_TAG}) {
        LogCapture log;
        TagDefinition accepted = {};
        accepted.addressText = "01D00100";
        EXPECT_EQ(Call(command, &accepted), QIV_STATUS_OK);
        TagDefinition refused = {};
        refused.addressText = "21D00100";
        EXPECT_EQ(Call(command, &refused), QIV_STATUS_REFUSED);
    }
}

TEST(QivMain, ReparseTagGivesExactlyWhatParseTagGives) {
    const struct {
        const char *text;
        int32_t dataType;
        int32_t count;
    } cases[] = {
        {"01D00100", 0, 0}, {"01E00100", 6, 5}, {"01X0010F", 6, 0}, {"01Z0010", 0, 0},
        {"01X0010", 7, 0},  {"", 0, 0},         {"21R0000", 3, 40}, {"01X00100F", 0, 0},
    };
    for (const auto &c : cases) {
        TagDefinition parsed, reparsed;
        memset(&parsed, 0x77, sizeof parsed);
        parsed.addressText = c.text;
        parsed.dataType = c.dataType;
        parsed.count = c.count;
        memcpy(&reparsed, &parsed, sizeof parsed);

        LogCapture parseLog;
        const int32_t parseStatus = Call(QIV_CMD_PARSE_TAG, &parsed);
        const std::vector<std::string> parseMessages = parseLog.formats();
        parseLog.Clear();
        const int32_t reparseStatus = Call(QIV_CMD_REPARSE_TAG, &reparsed);

        EXPECT_EQ(parseStatus, reparseStatus) << c.text;
        EXPECT_EQ(memcmp(&parsed, &reparsed, sizeof parsed), 0) << c.text;
        EXPECT_EQ(parseMessages, parseLog.formats()) << c.text;
    }
}

}  // namespace
