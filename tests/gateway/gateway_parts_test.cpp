// The gateway's configuration and its answers to Modbus requests, without a
// line or a socket: what a file is refused for, where its tags are served,
// and which exception each request gets.
#include <stdlib.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qivma_version.h"
#include "tools/gateway/config.h"
#include "tools/gateway/modbus_requests.h"
#include "tools/gateway/tag_table.h"

namespace {

using namespace gateway;

std::string LineWith(const std::string &tags, const std::string &extra = "") {
    return "lines:\n"
           "  - name: a\n"
           "    port: /dev/null\n" +
           extra +
           "    stations: [{station: 01, unit: 1}, {station: 02, unit: 2}]\n"
           "    tags:\n" +
           tags;
}

TEST(GatewayConfig, EachErrorNamesItsLine) {
    struct Case {
        std::string text;
        std::string error;                   // "gw.yaml:LINE: the start of what"
        std::vector<std::string> more = {};  // the other errors of the same file
        std::string path = {};               // read from this path instead of `text`
    };
    const std::string missing = ::testing::TempDir() + "/no-such-gateway.yaml";
    const Case cases[] = {
        {"lines: [", "gw.yaml:1: a '[' is not closed by its ']'"},
        {"", "gw.yaml:1: the file holds nothing"},
        {"", missing + ": cannot be read: No such file or directory", {}, missing},
        {"", ::testing::TempDir() + ": cannot be read: Is a directory", {}, ::testing::TempDir()},
        // An error in the defaults, the lines' errors below it, and those of
        // the sections after the lines.
        {"defaults: {timeout_ms: 45, rate_ms: -5}\n" +
             LineWith("      - {address: 01D00100, register: 0, colour: red}\n"
                      "      - {address: 01D00101, type: int17, table: holdings, register: 1}\n",
                      "    settings: 19200-9O1\n") +
             "mqtt: {port: 0}\nhttp: {listen: localhost}\n",
         "gw.yaml:1: timeout_ms is counted in steps of 10 ms",
         {"gw.yaml:1: rate_ms takes a whole number from 0 to 3600000, not '-5'",
          "gw.yaml:5: settings takes data bits (5 to 8), parity (N, O, E, M or S)",
          "gw.yaml:8: unknown key 'colour' in a tag", "gw.yaml:9: type takes int16",
          "gw.yaml:9: table takes holding, input, coil or discrete, not 'holdings'",
          "gw.yaml:10: port takes a whole number from 1 to 65535",
          "gw.yaml:11: listen takes an IPv4 address"}},
        {"modbus:\n  port: 502\n  port: 503\n" +
             LineWith("      - {address: 01D00100, register: 0, register: 1}\n"),
         "gw.yaml:3: 'port' is given twice in modbus (first at line 2)",
         {"gw.yaml:9: 'register' is given twice in a tag (first at line 9)"}},
        {"modbus: {port: 70000}\n" + LineWith("      - {address: 01D00100, register: 0}\n"),
         "gw.yaml:1: port takes a whole number from 1 to 65535"},
        {"modbus: {word_order: BADC}\n" + LineWith("      - {address: 01D00100, register: 0}\n"),
         "gw.yaml:1: word_order takes ABCD"},
        {"modbus: {allow: [10.0.0.0/33]}\n" +
             LineWith("      - {address: 01D00100, register: 0}\n"),
         "gw.yaml:1: '10.0.0.0/33' is no network"},
        {"modbus: {write_allow: 10.0.0.0/8}\n" +
             LineWith("      - {address: 01D00100, register: 0}\n"),
         "gw.yaml:1: write_allow takes a list of networks"},
        {LineWith("      - {address: 01D00100, register: 0}\n", "    settings: 19200-9O1\n"),
         "gw.yaml:4: settings takes data bits (5 to 8), parity (N, O, E, M or S)"},
        {LineWith("      - {address: 01D00100, register: 0}\n", "    timeout_ms: 45\n"),
         "gw.yaml:4: timeout_ms is counted in steps of 10 ms"},
        {LineWith("      - {address: 01D00100, register: 0, colour: red}\n"),
         "gw.yaml:6: unknown key 'colour' in a tag"},
        {LineWith("      - {address: 01Q00100, register: 0}\n"),
         "gw.yaml:6: 01Q00100 is refused by the driver"},
        {LineWith("      - {address: 03D00100, register: 0}\n"),
         "gw.yaml:6: 03D00100: station 03 is not among the stations of line 'a'"},
        {LineWith("      - {address: 01D00100, type: bit, register: 0}\n"),
         "gw.yaml:6: 01D00100 is refused by the driver as an address of type bit"},
        {LineWith("      - {address: 01R00012, type: bit, table: holding, register: 0}\n"),
         "gw.yaml:6: a bit value is served as a coil or discrete input"},
        {LineWith("      - {address: 01D00100, table: input, register: 0, writable: true}\n"),
         "gw.yaml:6: clients cannot write the input table"},
        {LineWith("      - {address: 01T00012, type: bit, register: 0, writable: true}\n"),
         "gw.yaml:6: 01T00012: timer and counter contacts cannot be written"},
        {LineWith("      - {address: 01E00100, type: int16, register: 0}\n"),
         "gw.yaml:6: 01E00100 is refused by the driver as an address of type int16"},
        {LineWith("      - {address: 01D65530, count: 10, register: 0}\n"),
         "gw.yaml:6: 01D65530 with count 10 runs past the device's last word"},
        {LineWith("      - {address: 01D00000, count: 3, type: int32, register: 65532}\n"),
         "gw.yaml:6: count 3 runs past the last register"},
        {LineWith("      - {address: 01D00100, count: 4, register: 0}\n"
                  "      - {address: 01D00200, type: int32, register: 3}\n"),
         "gw.yaml:7: holding 3 of unit 1 is served already by the tag at line 6"},
        {"lines:\n  - name: a\n    port: /dev/null\n    stations: [{station: 1, unit: 247}]\n"
         "    tags: [{address: 01D00100, register: 0}]\n",
         "gw.yaml:4: unit 247 is the gateway's own"},
        {"lines:\n  - port: /dev/null\n    stations: [{station: 1, unit: 1}, {station: 2, unit: "
         "1}]\n    tags: [{address: 01D00100, register: 0}]\n",
         "gw.yaml:3: unit 1 is given already to the station at line 3"},
        {"lines:\n  - port: /dev/null\n    stations: [{station: 1, unit: 1}]\n",
         "gw.yaml:2: line 'line1' has no tags"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.empty() ? c.text : c.path);
        Config config;
        std::vector<std::string> errors;
        if (c.path.empty()) {
            EXPECT_FALSE(ParseConfig(c.text, "gw.yaml", config, errors));
        } else {
            EXPECT_FALSE(LoadConfig(c.path, config, errors));
            EXPECT_EQ(config.file, c.path);  // what the summary line names
        }
        std::vector<std::string> expected = c.more;
        expected.insert(expected.begin(), c.error);
        std::string got;
        for (const std::string &error : errors)
            got += error + "\n";
        for (const std::string &each : expected) {
            EXPECT_TRUE(std::any_of(errors.begin(), errors.end(),
                                    [&](const std::string &e) { return e.rfind(each, 0) == 0; }))
                << "expected " << each << "\ngot:\n"
                << got;
        }
        if (!c.more.empty()) {
            EXPECT_EQ(errors.size(), expected.size()) << got;
            EXPECT_TRUE(std::is_sorted(errors.begin(), errors.end(),
                                       [](const std::string &a, const std::string &b) {
                                           return atoi(a.c_str() + 8) < atoi(b.c_str() + 8);
                                       }))
                << got;
        }
        if (c.path.empty()) {
            for (const std::string &error : errors)
                EXPECT_TRUE(std::regex_search(error, std::regex("^gw\\.yaml:[1-9][0-9]*: ")))
                    << error;
        }
    }
}

TEST(GatewayConfig, RangesBecomeOneTagPerValue) {
    Config config;
    std::vector<std::string> errors;
    ASSERT_TRUE(ParseConfig(
        LineWith(
            "      - {name: level, address: 01D00100, count: 3, register: 10}\n"
            "      - {address: 01D00200, count: 2, type: float, table: input, register: 0}\n"
            "      - {address: 01R0001E, count: 3, type: bit, table: discrete, register: 5}\n"),
        "gw.yaml", config, errors))
        << errors[0];
    struct Expected {
        std::string name, address;
        Table table;
        int reg;
    };
    const Expected expected[] = {
        {"level[0]", "01D00100", Table::kHolding, 10},
        {"level[1]", "01D00101", Table::kHolding, 11},
        {"level[2]", "01D00102", Table::kHolding, 12},
        {"01E00200", "01E00200", Table::kInput, 0},
        {"01E00202", "01E00202", Table::kInput, 2},
        {"01R0001E", "01R0001E", Table::kDiscrete, 5},
        {"01R0001F", "01R0001F", Table::kDiscrete, 6},
        {"01R00020", "01R00020", Table::kDiscrete, 7},
    };
    ASSERT_EQ(config.tags.size(), std::size(expected));
    for (size_t i = 0; i < config.tags.size(); ++i) {
        EXPECT_EQ(config.tags[i].name, expected[i].name);
        EXPECT_EQ(config.tags[i].address, expected[i].address);
        EXPECT_EQ(config.tags[i].table, expected[i].table);
        EXPECT_EQ(config.tags[i].reg, expected[i].reg);
        EXPECT_EQ(config.tags[i].unit, 1);
    }
}

TEST(GatewayConfig, ClientNetworks) {
    Config config;
    std::vector<std::string> errors;
    ASSERT_TRUE(ParseConfig("modbus: {allow: [127.0.0.0/8, 192.168.5.7]}\n" +
                                LineWith("      - {address: 01D00100, register: 0}\n"),
                            "gw.yaml", config, errors));
    EXPECT_TRUE(ClientAllowed(config.modbus, 0x7F000001));   // 127.0.0.1
    EXPECT_TRUE(ClientAllowed(config.modbus, 0xC0A80507));   // 192.168.5.7
    EXPECT_FALSE(ClientAllowed(config.modbus, 0xC0A80508));  // 192.168.5.8
    EXPECT_TRUE(ClientAllowed(ModbusConfig(), 0x0A000001));  // no list: any
    // Who may write: those who may connect, unless write_allow says.
    EXPECT_TRUE(ClientMayWrite(config.modbus, 0xC0A80507));
    EXPECT_FALSE(ClientMayWrite(config.modbus, 0xC0A80508));
    EXPECT_TRUE(ClientMayWrite(ModbusConfig(), 0x0A000001));
    ASSERT_TRUE(ParseConfig("modbus: {allow: [127.0.0.0/8], write_allow: [127.0.0.1]}\n" +
                                LineWith("      - {address: 01D00100, register: 0}\n"),
                            "gw.yaml", config, errors));
    EXPECT_TRUE(ClientMayWrite(config.modbus, 0x7F000001));
    EXPECT_FALSE(ClientMayWrite(config.modbus, 0x7F000002));
    EXPECT_TRUE(ClientAllowed(config.modbus, 0x7F000002));
    ASSERT_TRUE(ParseConfig(
        "modbus: {write_allow: []}\n" + LineWith("      - {address: 01D00100, register: 0}\n"),
        "gw.yaml", config, errors));
    EXPECT_FALSE(ClientMayWrite(config.modbus, 0x7F000001));  // nobody
}

class ModbusAnswers : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<std::string> errors;
        ASSERT_TRUE(ParseConfig(
            "modbus: {word_order: ABCD}\n" +
                LineWith("      - {address: 01D00100, count: 2, register: 0, writable: true}\n"
                         "      - {address: 01D00102, register: 2}\n"
                         "      - {address: 01D00200, type: int32, register: 10, writable: true}\n"
                         "      - {address: 01R00010, count: 3, type: bit, register: 0, writable: "
                         "true}\n"
                         "      - {address: 02D00000, register: 0}\n"),
            "gw.yaml", config_, errors))
            << errors[0];
        table_ = std::make_unique<TagTable>(config_);
        map_ = std::make_unique<RegisterMap>(config_);
        const auto now = std::chrono::steady_clock::now();
        const auto wall = std::chrono::system_clock::now();
        table_->SetGood(0, {11}, now, wall);
        table_->SetGood(1, {12}, now, wall);
        table_->SetGood(2, {13}, now, wall);
        table_->SetGood(3, {0x5678, 0x1234}, now, wall);  // address order: low word first
        table_->SetGood(4, {1}, now, wall);
        table_->SetGood(5, {0}, now, wall);
        table_->SetBad(6, Quality::kRefused);
        table_->SetBad(7, Quality::kNoAnswer);
    }
    Decision Ask(int unit, std::vector<uint8_t> pdu, bool mayWrite = true) {
        return Decide(config_, *map_, *table_, unit, pdu.data(), pdu.size(), mayWrite);
    }
    Config config_;
    std::unique_ptr<TagTable> table_;
    std::unique_ptr<RegisterMap> map_;
};

TEST_F(ModbusAnswers, ExceptionsAsTheDocsList) {
    const struct {
        const char *what;
        int unit;
        std::vector<uint8_t> pdu;
        uint8_t exception;
        bool mayWrite = true;
    } cases[] = {
        {"read of registers 0-2", 1, {3, 0, 0, 0, 3}, 0},
        {"a register no tag serves", 1, {3, 0, 0, 0, 4}, kIllegalDataAddress},
        {"a bad tag among good ones", 1, {1, 0, 0, 0, 3}, kGatewayTargetFailed},
        {"a station that does not answer", 2, {3, 0, 0, 0, 1}, kGatewayTargetFailed},
        {"no such unit", 7, {3, 0, 0, 0, 1}, kGatewayPathUnavailable},
        {"no such function (report server id)", 1, {17}, kIllegalFunction},
        {"input registers where none are served", 1, {4, 0, 0, 0, 1}, kIllegalDataAddress},
        {"126 registers", 1, {3, 0, 0, 0, 126}, kIllegalDataValue},
        {"past the last address", 1, {3, 0xFF, 0xFF, 0, 2}, kIllegalDataAddress},
        {"a cut request", 1, {3, 0, 0}, kIllegalDataValue},
        {"a coil written 0x1234", 1, {5, 0, 0, 0x12, 0x34}, kIllegalDataValue},
        {"a tag not writable", 1, {6, 0, 2, 0, 1}, kIllegalDataAddress},
        {"half of a 32-bit value", 1, {6, 0, 10, 0, 1}, kIllegalDataAddress},
        {"a byte count that disagrees", 1, {16, 0, 0, 0, 2, 3, 0, 1, 0, 2}, kIllegalDataValue},
        {"the status unit's registers", kStatusUnit, {4, 0, 16, 0, 16}, 0},
        {"the status unit's holding registers", kStatusUnit, {3, 0, 16, 0, 1}, kIllegalFunction},
        {"a status register of no station", kStatusUnit, {4, 0, 48, 0, 1}, kIllegalDataAddress},
        // A PDU whose size disagrees with its function.
        {"a read two bytes too long", 1, {3, 0, 0, 0, 3, 0, 0}, kIllegalDataValue},
        {"a write of one register a byte short", 1, {6, 0, 0, 0}, kIllegalDataValue},
        {"registers written with a byte more", 1, {16, 0, 0, 0, 1, 2, 0, 1, 0}, kIllegalDataValue},
        {"a mask write a byte short", 1, {22, 0, 0, 0xFF, 0, 0}, kIllegalDataValue},
        {"device identification with a byte more", 1, {43, 14, 1, 0, 0}, kIllegalDataValue},
        {"diagnostics without its sub-function", 1, {8, 0}, kIllegalDataValue},
        // Functions that are not served, whatever data they carry.
        {"a user function", 1, {0x41, 1, 2, 3}, kIllegalFunction},
        {"diagnostics: another sub-function", 1, {8, 0, 1, 0, 0}, kIllegalFunction},
        {"another interface of function 43", 1, {43, 13, 0, 0, 0}, kIllegalFunction},
        {"the status unit written", kStatusUnit, {6, 0, 16, 0, 1}, kIllegalFunction},
        // The other functions served.
        {"diagnostics: return query data", 1, {8, 0, 0, 0x12, 0x34}, 0},
        {"the status unit's identification", kStatusUnit, {43, 14, 2, 0}, 0},
        {"a read device id code of none", 1, {43, 14, 5, 0}, kIllegalDataValue},
        {"one object that is not there", 1, {43, 14, 4, 3}, kIllegalDataAddress},
        {"a mask write", 1, {22, 0, 0, 0xFF, 0, 0, 1}, 0},
        {"a mask write of a tag not writable", 1, {22, 0, 2, 0xFF, 0, 0, 1}, kIllegalDataAddress},
        {"a mask write of half a 32-bit value", 1, {22, 0, 10, 0xFF, 0, 0, 1}, kIllegalDataAddress},
        {"read/write multiple", 1, {23, 0, 0, 0, 2, 0, 1, 0, 1, 2, 0, 9}, 0},
        {"read/write whose read no tag serves",
         1,
         {23, 0, 3, 0, 1, 0, 1, 0, 1, 2, 0, 9},
         kIllegalDataAddress},
        {"read/write of no register", 1, {23, 0, 0, 0, 1, 0, 1, 0, 0, 0}, kIllegalDataValue},
        {"read/write whose byte count disagrees",
         1,
         {23, 0, 0, 0, 1, 0, 1, 0, 2, 2, 0, 9},
         kIllegalDataValue},
        // A client whose network may only read.
        {"a read by a reader", 1, {3, 0, 0, 0, 1}, 0, false},
        {"a write by a reader", 1, {6, 0, 0, 0, 1}, kIllegalFunction, false},
        {"a mask write by a reader", 1, {22, 0, 0, 0xFF, 0, 0, 1}, kIllegalFunction, false},
        {"read/write by a reader",
         1,
         {23, 0, 0, 0, 2, 0, 1, 0, 1, 2, 0, 9},
         kIllegalFunction,
         false},
    };
    for (const auto &c : cases) {
        const Decision decision = Ask(c.unit, c.pdu, c.mayWrite);
        EXPECT_EQ(decision.exception, c.exception) << c.what;
        EXPECT_TRUE(decision.exception == 0 || decision.writes.empty()) << c.what;
    }
}

TEST_F(ModbusAnswers, RegistersAndWritesInTheConfiguredWordOrder) {
    const Decision read = Ask(1, {3, 0, 10, 0, 2});
    EXPECT_EQ(read.values, (std::vector<uint16_t>{0x1234, 0x5678}));  // ABCD: high word first
    const Decision write = Ask(1, {16, 0, 10, 0, 2, 4, 0xAB, 0xCD, 0x00, 0x01});
    ASSERT_EQ(write.exception, 0);
    ASSERT_EQ(write.writes.size(), 1u);
    EXPECT_EQ(write.writes[0].tag, 3u);
    EXPECT_EQ(write.writes[0].words, (std::vector<uint16_t>{0x0001, 0xABCD}));
    const Decision coils = Ask(1, {15, 0, 0, 0, 3, 1, 0b101});
    ASSERT_EQ(coils.exception, 0);
    ASSERT_EQ(coils.writes.size(), 3u);
    EXPECT_EQ(coils.writes[1].words, std::vector<uint16_t>{0});
    EXPECT_EQ(coils.writes[2].words, std::vector<uint16_t>{1});
    const Decision bits = Ask(1, {1, 0, 0, 0, 2});
    EXPECT_EQ(bits.values, (std::vector<uint16_t>{1, 0}));
}

// The bytes of each answer, once the controller acknowledged what was
// written.
TEST_F(ModbusAnswers, AnswersByteForByte) {
    const std::string version = QIVMA_VERSION_STRING;
    const auto text = [](const std::string &t) { return std::vector<uint8_t>(t.begin(), t.end()); };
    std::vector<uint8_t> basic = {43, 14, 1, 0x82, 0, 0, 3, 0, 5};
    for (const std::string &object :
         {std::string("qivma"), std::string("\x01\x0dqivma-gateway"),
          "\x02" + std::string(1, static_cast<char>(version.size())) + version}) {
        const std::vector<uint8_t> bytes = text(object);
        basic.insert(basic.end(), bytes.begin(), bytes.end());
    }
    const struct {
        int unit;
        std::vector<uint8_t> pdu, answer;
    } cases[] = {
        {1, {3, 0, 0, 0, 3}, {3, 6, 0, 11, 0, 12, 0, 13}},
        {1, {1, 0, 0, 0, 2}, {1, 1, 0b01}},
        {1, {6, 0, 0, 0x12, 0x34}, {6, 0, 0, 0x12, 0x34}},
        {1, {5, 0, 1, 0xFF, 0}, {5, 0, 1, 0xFF, 0}},
        {1, {16, 0, 10, 0, 2, 4, 0xAB, 0xCD, 0, 1}, {16, 0, 10, 0, 2}},
        {1, {15, 0, 0, 0, 3, 1, 0b101}, {15, 0, 0, 0, 3}},
        {1, {8, 0, 0, 0xA5, 0x5A, 7}, {8, 0, 0, 0xA5, 0x5A, 7}},
        {1, {22, 0, 1, 0xF0, 0x0F, 0x12, 0x34}, {22, 0, 1, 0xF0, 0x0F, 0x12, 0x34}},
        {1, {23, 0, 0, 0, 2, 0, 1, 0, 1, 2, 0, 9}, {23, 4, 0, 11, 0, 12}},
        // Stream access from an object of no set: from the first.
        {1, {43, 14, 1, 9}, basic},
        {1, {0x41, 1}, {0xC1, kIllegalFunction}},
        {2, {3, 0, 0, 0, 1}, {0x83, kGatewayTargetFailed}},
    };
    for (const auto &c : cases) {
        Request request;
        request.header = {0x1234, 0, static_cast<uint16_t>(c.pdu.size() + 1),
                          static_cast<uint8_t>(c.unit)};
        request.pdu = c.pdu;
        Decision decision = Ask(c.unit, c.pdu);
        if (decision.function == kReadWriteRegisters)
            decision = ReadAfterWrite(*map_, *table_, c.unit, decision);
        std::vector<uint8_t> expected = {0x12,
                                         0x34,
                                         0,
                                         0,
                                         0,
                                         static_cast<uint8_t>(c.answer.size() + 1),
                                         static_cast<uint8_t>(c.unit)};
        expected.insert(expected.end(), c.answer.begin(), c.answer.end());
        EXPECT_EQ(Answer(request, decision), expected) << static_cast<int>(c.pdu[0]);
    }
    // The mask's rule, with the protocol's own example.
    EXPECT_EQ(MaskedWord(0x12, 0xF2, 0x25), 0x17);
    EXPECT_EQ(MaskedWord(0xFFFF, 0x0000, 0x1234), 0x1234);
}

}  // namespace
