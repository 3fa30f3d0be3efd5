#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/channel.h"
#include "qivma.h"
#include "tests/fake/platform_fake.h"
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

// Each code reaches its own operation, which shows in what it does to a
// zero-filled channel and its parameter block.
struct Dispatched {
    int32_t status;
    std::vector<std::string> log;
    DriverInstance instance;
    TagAccess access;
    int16_t data[4];
    bool paramsTouched;
    bool pointersSet;  // valuePtr and valuePtr0 at words 1 and 0 of the buffer
};

Dispatched Dispatch(int32_t command) {
    Dispatched d;
    memset(&d.instance, 0, sizeof d.instance);
    // A tag on a device without commands: the reads and writes refuse it.
    memset(&d.access, 0, sizeof d.access);
    d.access.device = 'Z';
    d.access.width = 16;
    d.access.count = 1;
    for (int16_t &word : d.data)
        word = 0x7777;
    d.access.data = d.data;
    // The parameter block of every other command: zeros, or a name.
    alignas(8) unsigned char block[64] = {};
    if (command == QIV_CMD_RECONFIGURE_PORT)
        memcpy(block, "NULLDEV", 8);
    if (command == QIV_CMD_CLOSE_PORT)
        d.instance.port = QIV_INVALID_PORT_HANDLE;
    const bool takesTag = command >= QIV_CMD_READ_VALUE && command <= QIV_CMD_WRITE_BLOCK;

    fake_platform::Reset();
    LogCapture log;
    d.status = Call(command, takesTag ? static_cast<void *>(&d.access) : block, &d.instance);
    d.log = log.formats();
    d.pointersSet = d.instance.valuePtr == d.data + 1 && d.instance.valuePtr0 == d.data;
    d.paramsTouched = false;
    for (unsigned char byte : block)
        d.paramsTouched = d.paramsTouched || (byte != 0 && byte != 'N');
    return d;
}

const std::vector<std::string> kNoLog;

TEST(QivMain, DispatchesCodesNumberedFromOne) {
    const int32_t before = instanceCount;
    {
        const Dispatched d = Dispatch(1);  // ColdStart with enable 0
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.log, std::vector<std::string>{"Qiv%s%02d: ColdStart() entered"});
        EXPECT_EQ(d.instance.instanceNumber, before + 1);
    }
    {
        const Dispatched d = Dispatch(2);  // PurgeInput on port 0
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.log, std::vector<std::string>{"ClearCommError (Rx) failed %08lx"});
    }
    for (const int32_t command : {3, 4}) {  // ParseTag, ReparseTag: no address text
        const Dispatched d = Dispatch(command);
        EXPECT_EQ(d.status, 1) << command;
        EXPECT_TRUE(d.paramsTouched) << command << ": bitNumber written";
    }
    {
        const Dispatched d = Dispatch(5);  // ReadValue clears words 0 and 1
        EXPECT_EQ(d.status, 1);
        EXPECT_EQ(d.log, std::vector<std::string>{"QIVMA: SetMewtocolCmd() Cmd not found %c"});
        EXPECT_EQ(d.data[0], 0);
        EXPECT_EQ(d.data[1], 0);
    }
    {
        const Dispatched d = Dispatch(6);  // ReadBlock leaves the buffer
        EXPECT_EQ(d.status, 1);
        EXPECT_TRUE(d.pointersSet);
        EXPECT_EQ(d.log.size(), 1u);
        EXPECT_EQ(d.data[0], 0x7777);
    }
    {
        const Dispatched d = Dispatch(7);  // WriteValue sets the value pointers
        EXPECT_EQ(d.status, 1);
        EXPECT_EQ(d.log.size(), 1u);
        EXPECT_TRUE(d.pointersSet);
    }
    {
        const Dispatched d = Dispatch(10);  // WriteBlock does not
        EXPECT_EQ(d.status, 1);
        EXPECT_EQ(d.log.size(), 1u);
        EXPECT_FALSE(d.pointersSet);
    }
    for (const int32_t command : {8, 9, 0, -1, 16, INT_MIN, INT_MAX}) {
        const Dispatched d = Dispatch(command);
        EXPECT_EQ(d.status, QIV_STATUS_REFUSED) << command;
        EXPECT_EQ(d.log, kNoLog) << command;
        EXPECT_FALSE(d.paramsTouched) << command;
        EXPECT_EQ(d.instance.instanceNumber, 0) << command;
        EXPECT_TRUE(fake_platform::CallLog().empty()) << command;
    }
    {
        const Dispatched d = Dispatch(11);  // EndQiv
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.log, (std::vector<std::string>{"QIV%s %02d : EndQiv()",
                                                   "QIV%s %02d : No. of Instances left: %d"}));
        EXPECT_EQ(d.instance.instanceNumber, -1);
    }
    {
        const Dispatched d = Dispatch(12);  // ClosePort forgets the null device
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.instance.port, nullptr);
    }
    {
        const Dispatched d = Dispatch(13);  // OpenPort opens the recorded name
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.instance.portEnabled, 1);
        EXPECT_EQ(fake_platform::CallLog().front(), "CreateFile");
    }
    {
        const Dispatched d = Dispatch(14);  // GetDriverInfo
        EXPECT_EQ(d.status, 0);
        EXPECT_TRUE(d.paramsTouched);
        EXPECT_EQ(d.log, kNoLog);
    }
    {
        const Dispatched d = Dispatch(15);  // ReconfigurePort to the null device
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.instance.port, QIV_INVALID_PORT_HANDLE);
        EXPECT_STREQ(d.instance.openParams.portName, "NULLDEV");
    }
    EXPECT_EQ(instanceCount, before) << "one ColdStart, one EndQiv";
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
        refused.addressText = "33D00100";
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
