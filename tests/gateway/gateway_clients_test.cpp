// qivma-gateway as a site runs it, against the controller simulator on a
// pseudo-terminal, driven by Modbus clients that we did not write: mbpoll
// and modbus-serial from npm. What they read is what the simulator holds;
// what they write, it then holds; each exception comes as the docs say.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "gateway/gateway_process.h"
#include "qivma_version.h"
#include "tools/fpsim/simulator.h"

namespace {

using gatewaytest::Background;
using gatewaytest::Eventually;
using gatewaytest::RunProgram;
using tooltest::Has;
using Json = nlohmann::json;
using fpsim::Area;

// A time-out and a rate that leave room for a machine whose cores are busy:
// a slow scan would make values stale, and reads that expect them fail.
// 127.0.0.2 may read and not write.
constexpr char kConfig[] = R"(modbus:
  listen: 127.0.0.1
  allow: [127.0.0.0/8]
  write_allow: [127.0.0.1]
defaults: {rate_ms: 200, timeout_ms: 100, demote_for_s: 600, reopen_ms: 200, reopen_max_ms: 400}
lines:
  - name: plant
    port: @LINK@
    settings: 19200-8O1
    stations: [{station: 01, unit: 1}, {station: 02, unit: 2}, {station: 03, unit: 3}]
    tags:
      - {address: 01D00100, count: 10, type: int16, table: holding, register: 0, writable: true}
      - {address: 01D00110, count: 2, type: int16, table: holding, register: 10}
      - {address: 01D00200, count: 2, type: int32, table: holding, register: 100, writable: true}
      - {address: 01D00300, type: float, table: input, register: 0}
      - {address: 01D00400, count: 4, type: uint16, table: input, register: 10}
      - {address: 01R00100, count: 16, type: bit, table: coil, register: 0, writable: true}
      - {address: 01X00000, count: 8, type: bit, table: discrete, register: 0}
      - {address: 01D20000, table: holding, register: 50, writable: true, rate_ms: 3600000}
      - {address: 02D00000, count: 5, table: holding, register: 0, writable: true}
      - {address: 02D00010, table: holding, register: 10, writable: true, rate_ms: 3600000}
      - {address: 03D00000, table: holding, register: 0, writable: true, rate_ms: 3600000}
)";

std::string TempDir() {
    char path[] = "/tmp/qivma-gateway-XXXXXX";
    return mkdtemp(path) != nullptr ? path : "";
}

std::unique_ptr<fpsim::Simulator> StartSimulator(const std::string &link) {
    fpsim::Options options;
    options.stations = {"01", "02"};
    options.linkPath = link;
    auto sim = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    EXPECT_TRUE(sim->Start(&error)) << error;
    // Values that no pattern gives by chance.
    for (size_t i = 0; i < 10; ++i)
        sim->WriteWord("01", Area::kData, 100 + i, static_cast<uint16_t>(1000 + 37 * i));
    sim->WriteWord("01", Area::kData, 109, 0xFFF0);
    sim->WriteWord("01", Area::kData, 200, 0x1234);  // low word first
    sim->WriteWord("01", Area::kData, 201, 0x0056);
    float celsius = 12.5f;
    uint32_t bits;
    memcpy(&bits, &celsius, sizeof bits);
    sim->WriteWord("01", Area::kData, 300, static_cast<uint16_t>(bits));
    sim->WriteWord("01", Area::kData, 301, static_cast<uint16_t>(bits >> 16));
    for (size_t i = 0; i < 4; ++i)
        sim->WriteWord("01", Area::kData, 400 + i, static_cast<uint16_t>(40000 + i));
    sim->WriteWord("01", Area::kR, 10, 0xA5C3);
    sim->WriteWord("01", Area::kX, 0, 0x005A);
    for (size_t i = 0; i < 5; ++i)
        sim->WriteWord("02", Area::kData, i, static_cast<uint16_t>(2000 + i));
    return sim;
}

// "127.0.0.1:PORT" from the gateway's first lines.
int ListeningPort(Background &gateway) {
    const size_t at = gateway.WaitFor("Modbus TCP on 127.0.0.1:");
    if (at == std::string::npos)
        return 0;
    return atoi(gateway.Err().c_str() + at + strlen("Modbus TCP on 127.0.0.1:"));
}

// mbpoll's values, by the register it labels them with.
std::map<int, std::string> MbpollValues(const std::string &out) {
    std::map<int, std::string> values;
    const std::regex line(R"(\[(\d+)\]:\s+(\S+))");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
         ++it)
        values[std::stoi((*it)[1])] = (*it)[2];
    return values;
}

class GatewayClients : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = TempDir();
        link_ = dir_ + "/plant";
        sim_ = StartSimulator(link_).release();
        std::string config = kConfig;
        config.replace(config.find("@LINK@"), 6, link_);
        std::ofstream(dir_ + "/gateway.yaml") << config;
        struct termios found = {};
        const int fd = open(sim_->DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        tcgetattr(fd, &found);
        close(fd);
        foundFlags_ = found.c_cflag;
        gateway_ =
            new Background({GATEWAY_PROGRAM, "--config", dir_ + "/gateway.yaml", "--port", "0"});
        port_ = ListeningPort(*gateway_);
        // Every live station read once: its state in the status unit says so.
        Eventually([] {
            const auto values =
                MbpollValues(Mbpoll({"-a", "247", "-t", "3", "-r", "16", "-c", "17"}).out);
            return values.count(16) && values.at(16) == "1" && values.count(32) &&
                   values.at(32) == "1";
        });
    }
    static void TearDownTestSuite() {
        // SIGTERM: the gateway ends, its port closed and its settings put back.
        EXPECT_EQ(gateway_->Terminate(), 0) << gateway_->Err();
        EXPECT_NE(gateway_->Err().find("every port closed"), std::string::npos);
        const int fd = open(sim_->DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the gateway still holds the port";
        struct termios now = {};
        tcgetattr(fd, &now);
        EXPECT_EQ(now.c_cflag, foundFlags_) << "the port's settings were not put back";
        close(fd);
        delete gateway_;
        delete sim_;
    }

    static gatewaytest::Run Mbpoll(std::vector<std::string> arguments) {
        std::vector<std::string> command = {
            "mbpoll", "-m", "tcp", "-0", "-1", "-o", "5", "-p", std::to_string(port_)};
        const auto values = std::find(arguments.begin(), arguments.end(), "--");
        command.insert(command.end(), arguments.begin(), values);
        command.push_back("127.0.0.1");
        command.insert(command.end(), values, arguments.end());
        return RunProgram(command);
    }

    // The npm client's answers to `operations`; skipped where npm could not
    // install it.
    static Json Node(const Json &operations) {
        const std::string modules = NPM_MODULES;
        setenv("NODE_PATH", modules.c_str(), 1);
        const gatewaytest::Run run =
            RunProgram({"node", CLIENT_SCRIPT, std::to_string(port_), operations.dump()});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return run.exitCode == 0 ? Json::parse(run.out) : Json::array();
    }
    static bool HaveNodeClient() {
        return access((std::string(NPM_MODULES) + "/modbus-serial").c_str(), F_OK) == 0;
    }

    static std::string dir_, link_;
    static fpsim::Simulator *sim_;
    static Background *gateway_;
    static int port_;
    static tcflag_t foundFlags_;
};

std::string GatewayClients::dir_, GatewayClients::link_;
fpsim::Simulator *GatewayClients::sim_ = nullptr;
Background *GatewayClients::gateway_ = nullptr;
int GatewayClients::port_ = 0;
tcflag_t GatewayClients::foundFlags_ = 0;

TEST_F(GatewayClients, MbpollReadsEveryTableAsTheSimulatorHoldsIt) {
    ASSERT_NE(port_, 0) << gateway_->Err();
    struct Case {
        std::vector<std::string> arguments;
        std::map<int, std::string> expected;
    };
    const Case cases[] = {
        {{"-a", "1", "-r", "0", "-c", "3"}, {{0, "1000"}, {1, "1037"}, {2, "1074"}}},
        {{"-a", "1", "-r", "9", "-c", "1"}, {{9, "-16"}}},
        {{"-a", "1", "-t", "4:int", "-r", "100", "-c", "1"}, {{100, "5640756"}}},
        {{"-a", "1", "-t", "3:float", "-r", "0", "-c", "1"}, {{0, "12.5"}}},
        {{"-a", "1", "-t", "3", "-r", "10", "-c", "2"}, {{10, "40000"}, {11, "40001"}}},
        {{"-a", "1", "-t", "0", "-r", "0", "-c", "3"}, {{0, "1"}, {1, "1"}, {2, "0"}}},
        {{"-a", "1", "-t", "1", "-r", "0", "-c", "3"}, {{0, "0"}, {1, "1"}, {2, "0"}}},
        {{"-a", "2", "-r", "0", "-c", "2"}, {{0, "2000"}, {1, "2001"}}},
    };
    for (const Case &c : cases) {
        const gatewaytest::Run run = Mbpoll(c.arguments);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const auto values = MbpollValues(run.out);
        for (const auto &[reg, value] : c.expected) {
            ASSERT_TRUE(values.count(reg)) << c.arguments[3] << " " << run.out;
            // mbpoll shows a register above 32767 as signed or not, by its version.
            EXPECT_TRUE(values.at(reg) == value ||
                        static_cast<uint16_t>(std::stol(values.at(reg))) ==
                            static_cast<uint16_t>(std::stol(value)))
                << "register " << reg << ": " << values.at(reg) << ", not " << value;
        }
    }
}

TEST_F(GatewayClients, MbpollWritesReachTheControllerBeforeTheyAreAnswered) {
    struct Case {
        std::vector<std::string> arguments;
        std::string station;
        Area area;
        size_t index;
        uint16_t expected;
    };
    const Case cases[] = {
        {{"-a", "1", "-r", "3", "--", "65531"}, "01", Area::kData, 103, 0xFFFB},  // FC 6
        {{"-a", "1", "-r", "4", "--", "7", "8"}, "01", Area::kData, 105, 8},      // FC 16
        {{"-a", "1", "-t", "4:int", "-r", "102", "--", "-2"}, "01", Area::kData, 203, 0xFFFF},
        {{"-a", "1", "-t", "0", "-r", "2", "--", "1"}, "01", Area::kR, 10, 0xA5C7},       // FC 5
        {{"-a", "1", "-t", "0", "-r", "4", "--", "1", "1"}, "01", Area::kR, 10, 0xA5F7},  // FC 15
        {{"-a", "2", "-r", "4", "--", "99"}, "02", Area::kData, 4, 99},
    };
    for (const Case &c : cases) {
        const gatewaytest::Run run = Mbpoll(c.arguments);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        // Answered only after the controller took it: it holds the value now.
        EXPECT_EQ(sim_->ReadWord(c.station, c.area, c.index), c.expected) << run.out << run.err;
    }
}

TEST_F(GatewayClients, TheNpmClientReadsAndWritesEveryTable) {
    if (!HaveNodeClient())
        GTEST_SKIP() << "skipped: modbus-serial was not installed from npm (" NPM_MODULES ")";
    sim_->WriteWord("01", Area::kData, 106, 4242);
    sim_->WriteWord("01", Area::kR, 10, 0x000C);
    sim_->WriteWord("02", Area::kData, 10, 0x1234);
    // Both blocks read since the simulator's memory changed.
    ASSERT_TRUE(Eventually([] {
        const Json read = Node({
            {{"unit", 1}, {"op", "readHoldingRegisters"}, {"address", 6}, {"count", 1}},
            {{"unit", 1}, {"op", "readCoils"}, {"address", 0}, {"count", 4}},
        });
        return read.size() == 2 && read[0].value("data", Json::array()) == Json::array({4242}) &&
               read[1].value("data", Json::array()) == Json::array({0, 0, 1, 1});
    }));
    const Json answers = Node({
        {{"unit", 1}, {"op", "readHoldingRegisters"}, {"address", 100}, {"count", 2}},
        {{"unit", 1}, {"op", "readInputRegisters"}, {"address", 10}, {"count", 4}},
        {{"unit", 1}, {"op", "readCoils"}, {"address", 0}, {"count", 4}},
        {{"unit", 1}, {"op", "readDiscreteInputs"}, {"address", 0}, {"count", 8}},
        {{"unit", 1}, {"op", "writeRegister"}, {"address", 7}, {"values", 777}},
        {{"unit", 1}, {"op", "writeRegisters"}, {"address", 100}, {"values", {0x5678, 0x0009}}},
        {{"unit", 1}, {"op", "writeCoil"}, {"address", 8}, {"values", true}},
        {{"unit", 1}, {"op", "writeCoils"}, {"address", 0}, {"values", {false, false}}},
        // D10 of station 02 is read once an hour: the mask applies to the
        // controller's 0x1234, not to the table's old value.
        {{"unit", 2}, {"op", "maskWriteRegister"}, {"args", {10, 0xFF00, 0x0056}}},
        // The write is acknowledged before the read, which then shows it.
        {{"unit", 2}, {"op", "readWriteRegisters"}, {"args", {0, 3, 1, 1, {4321}}}},
        {{"unit", 1}, {"op", "readDeviceIdentification"}, {"args", {2, 0}}},
        {{"unit", 247}, {"op", "readDeviceIdentification"}, {"args", {4, 5}}},
    });
    ASSERT_EQ(answers.size(), 12u) << answers.dump();
    EXPECT_EQ(answers[0]["data"], Json::array({0x1234, 0x0056})) << answers.dump();
    EXPECT_EQ(answers[1]["data"], Json::array({40000, 40001, 40002, 40003}));
    EXPECT_EQ(answers[2]["data"], Json::array({0, 0, 1, 1}));
    EXPECT_EQ(answers[3]["data"], Json::array({0, 1, 0, 1, 1, 0, 1, 0}));
    for (size_t i = 4; i < 8; ++i)
        EXPECT_FALSE(answers[i].contains("code")) << i << ": " << answers[i].dump();
    EXPECT_EQ(sim_->ReadWord("01", Area::kData, 107), 777);
    EXPECT_EQ(sim_->ReadWord("01", Area::kData, 200), 0x5678);
    EXPECT_EQ(sim_->ReadWord("01", Area::kData, 201), 0x0009);
    EXPECT_EQ(sim_->ReadWord("01", Area::kR, 10), 0x010C);
    EXPECT_FALSE(answers[8].contains("code")) << answers[8].dump();
    EXPECT_EQ(sim_->ReadWord("02", Area::kData, 10), 0x1256);
    EXPECT_EQ(answers[9]["data"], Json::array({2000, 4321, 2002})) << answers[9].dump();
    EXPECT_EQ(sim_->ReadWord("02", Area::kData, 1), 4321);
    const Json identity = {{"0", "qivma"},
                           {"1", "qivma-gateway"},
                           {"2", QIVMA_VERSION_STRING},
                           {"4", "qivma-gateway"},
                           {"5", "station 01 on line plant"}};
    EXPECT_EQ(answers[10]["data"], identity) << answers[10].dump();
    EXPECT_EQ(answers[10]["conformityLevel"], 0x82);
    EXPECT_EQ(answers[11]["data"], Json({{"5", "gateway status: the stations and lines"}}))
        << answers[11].dump();
}

// Each exception of the docs, as both clients see it.
TEST_F(GatewayClients, EachExceptionReachesBothClients) {
    struct Case {
        const char *what;
        int unit;
        const char *op;  // the npm client's call
        int address, argument, code;
        const char *mbpoll;      // its arguments
        const char *mbpollText;  // libmodbus's words for the code
    };
    const Case cases[] = {
        {"no tag serves it", 1, "readHoldingRegisters", 20, 1, 2, "-a 1 -r 20",
         "Illegal data address"},
        {"its station never answered", 3, "readHoldingRegisters", 0, 1, 0x0B, "-a 3 -r 0",
         "Target device failed to respond"},
        {"the controller refuses the address", 1, "readHoldingRegisters", 50, 1, 0x0B, "-a 1 -r 50",
         "Target device failed to respond"},
        {"a write the station never acknowledges", 3, "writeRegister", 0, 5, 0x0B, "-a 3 -r 0 -- 5",
         "Target device failed to respond"},
        {"a write the controller refuses", 1, "writeRegister", 50, 5, 4, "-a 1 -r 50 -- 5",
         "Slave device or server failure"},
        {"a tag not writable", 1, "writeRegister", 10, 5, 2, "-a 1 -r 10 -- 5",
         "Illegal data address"},
        {"half of a 32-bit value", 1, "writeRegister", 101, 5, 2, "-a 1 -r 101 -- 5",
         "Illegal data address"},
        {"no such unit", 9, "readHoldingRegisters", 0, 1, 0x0A, "-a 9 -r 0",
         "Gateway path unavailable"},
    };
    const bool node = HaveNodeClient();
    for (const Case &c : cases) {
        std::vector<std::string> arguments;
        std::istringstream words(c.mbpoll);
        for (std::string word; words >> word;)
            arguments.push_back(word);
        const gatewaytest::Run run = Mbpoll(arguments);
        EXPECT_NE(run.exitCode, 0) << c.what;
        EXPECT_NE(run.err.find(c.mbpollText), std::string::npos) << c.what << ": " << run.err;
        if (node) {
            const Json answers = Node({{{"unit", c.unit},
                                        {"op", c.op},
                                        {"address", c.address},
                                        {c.op[0] == 'r' ? "count" : "values", c.argument}}});
            ASSERT_EQ(answers.size(), 1u);
            EXPECT_EQ(answers[0].value("code", -1), c.code) << c.what << ": " << answers.dump();
        }
    }
    // The tag that is not writable was never written.
    for (const fpsim::FrameRecord &frame : sim_->Frames())
        EXPECT_EQ(frame.bytes.find("WDD00110"), std::string::npos) << frame.bytes;
    if (!node)
        GTEST_SKIP() << "skipped: modbus-serial was not installed from npm; mbpoll saw each";
}

// A connection from `source` to the gateway; -1 if none.
int Connect(int port, const char *source = "127.0.0.1") {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = {}, to = {};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Up to `size` bytes, or fewer when the gateway closes the connection or
// sends nothing more for ten seconds.
std::vector<uint8_t> Receive(int s, size_t size) {
    std::vector<uint8_t> got;
    uint8_t buffer[512];
    while (got.size() < size) {
        pollfd ready = {s, POLLIN, 0};
        if (poll(&ready, 1, 10000) <= 0)
            break;
        const ssize_t n = recv(s, buffer, std::min(sizeof buffer, size - got.size()), 0);
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

// Raw bytes on one connection: each request gets one answer, framed by its
// header's length whatever its function makes of it, and the next request on
// the connection is answered as itself. A header that is no Modbus TCP
// request's closes the connection, unanswered.
TEST_F(GatewayClients, EachHeaderGetsOneAnswerAndNothingElse) {
    using Bytes = std::vector<uint8_t>;
    const std::string version = QIVMA_VERSION_STRING;
    Bytes identity = {0,    4, 0, 0, 0, static_cast<uint8_t>(10 + version.size()), 1, 43, 14, 4,
                      0x82, 0, 0, 1, 2, static_cast<uint8_t>(version.size())};
    identity.insert(identity.end(), version.begin(), version.end());
    struct Case {
        const char *what;
        std::vector<Bytes> sends;  // each in a send of its own
        Bytes answers;             // empty: the connection is closed
        const char *source = "127.0.0.1";
    };
    const Case cases[] = {
        {"diagnostics: return query data",
         {{0, 1, 0, 0, 0, 6, 1, 8, 0, 0, 0x12, 0x34}},
         {0, 1, 0, 0, 0, 6, 1, 8, 0, 0, 0x12, 0x34}},
        {"diagnostics: a sub-function not served, with its data",
         {{0, 2, 0, 0, 0, 6, 1, 8, 0, 1, 0xFF, 0x00}},
         {0, 2, 0, 0, 0, 3, 1, 0x88, 1}},
        {"a user function with data",
         {{0, 3, 0, 0, 0, 5, 1, 0x41, 1, 2, 3}},
         {0, 3, 0, 0, 0, 3, 1, 0xC1, 1}},
        {"device identification, one object", {{0, 4, 0, 0, 0, 5, 1, 43, 14, 4, 2}}, identity},
        {"a read two bytes longer than it needs",
         {{0, 5, 0, 0, 0, 8, 1, 3, 0, 0, 0, 1, 0, 0}},
         {0, 5, 0, 0, 0, 3, 1, 0x83, 3}},
        {"a read a byte short",
         {{0, 6, 0, 0, 0, 5, 1, 3, 0, 0, 0}},
         {0, 6, 0, 0, 0, 3, 1, 0x83, 3}},
        {"a request cut in three sends, the end of one and the next in one",
         {{0, 7, 0, 0}, {0, 6, 1}, {3, 0, 0, 0}, {1, 0, 8, 0, 0, 0, 2, 1, 0x41}},
         {0, 7, 0, 0, 0, 5, 1, 3, 2, 0x03, 0xE8, 0, 8, 0, 0, 0, 3, 1, 0xC1, 1}},
        {"a mask write of a tag not writable",
         {{0, 9, 0, 0, 0, 8, 1, 22, 0, 10, 0, 0, 0, 0}},
         {0, 9, 0, 0, 0, 3, 1, 0x96, 2}},
        {"read/write whose read no tag serves: nothing written",
         {{0, 10, 0, 0, 0, 13, 1, 23, 0, 20, 0, 1, 0, 0, 0, 1, 2, 0, 9}},
         {0, 10, 0, 0, 0, 3, 1, 0x97, 2}},
        {"a write from a network that may only read",
         {{0, 11, 0, 0, 0, 6, 1, 6, 0, 0, 0, 9}},
         {0, 11, 0, 0, 0, 3, 1, 0x86, 1},
         "127.0.0.2"},
        {"protocol id 1", {{0, 12, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1}}, {}},
        {"length 0", {{0, 13, 0, 0, 0, 0, 1, 3, 0, 0, 0, 1}}, {}},
        {"length 1: a unit and no function", {{0, 14, 0, 0, 0, 1, 1}}, {}},
        {"length 65535", {{0, 15, 0, 0, 0xFF, 0xFF, 1, 3, 0, 0, 0, 1}}, {}},
    };
    // Read afterwards on the same connection: register 0 of unit 1.
    const Bytes next = {0x77, 0x77, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
    const Bytes nextAnswer = {0x77, 0x77, 0, 0, 0, 5, 1, 3, 2};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int s = Connect(port_, c.source);
        ASSERT_GE(s, 0);
        for (const Bytes &bytes : c.sends)
            ASSERT_EQ(send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(bytes.size()));
        EXPECT_EQ(Receive(s, c.answers.size()), c.answers);
        if (c.answers.empty()) {
            // Closed with the request's bytes unread: a reset rather than an end.
            uint8_t byte;
            pollfd ready = {s, POLLIN, 0};
            EXPECT_TRUE(poll(&ready, 1, 10000) == 1 && recv(s, &byte, 1, 0) <= 0)
                << "answered, or not closed";
        } else {
            ASSERT_EQ(send(s, next.data(), next.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(next.size()));
            Bytes answer = Receive(s, nextAnswer.size() + 2);
            EXPECT_EQ(answer.size(), nextAnswer.size() + 2);
            answer.resize(nextAnswer.size());
            EXPECT_EQ(answer, nextAnswer);
        }
        close(s);
    }
    EXPECT_NE(gateway_->WaitFor("may not write (not in write_allow)"), std::string::npos);
    EXPECT_NE(gateway_->WaitFor("length 65535 is outside 2 to 254"), std::string::npos);
    EXPECT_NE(gateway_->WaitFor("protocol id 1 is not Modbus's"), std::string::npos);
    for (const fpsim::FrameRecord &frame : sim_->Frames()) {
        EXPECT_EQ(frame.bytes.find("WDD00110"), std::string::npos) << frame.bytes;
        EXPECT_EQ(frame.bytes.find("WDD00100"), std::string::npos) << frame.bytes;
    }
}

// Random bytes and cut frames from many clients: the others go on being served.
TEST_F(GatewayClients, GarbageFromManyClientsStopsNoOther) {
    std::mt19937 random(25);
    std::vector<std::thread> noisy;
    for (int client = 0; client < 16; ++client) {
        const uint32_t seed = random();
        noisy.emplace_back([seed] {
            std::mt19937 bytes(seed);
            for (int round = 0; round < 20; ++round) {
                const int s = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in to = {};
                to.sin_family = AF_INET;
                to.sin_port = htons(static_cast<uint16_t>(port_));
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) {
                    // A valid header with a cut body, or bytes at random.
                    std::vector<uint8_t> frame = {0, 1, 0, 0, 0, 6, 1, 3, 0};
                    if (round % 2 == 1) {
                        frame.resize(1 + bytes() % 300);
                        for (uint8_t &b : frame)
                            b = static_cast<uint8_t>(bytes());
                    }
                    if (send(s, frame.data(), frame.size(), MSG_NOSIGNAL) < 0)
                        ADD_FAILURE() << "send";
                }
                close(s);
            }
        });
    }
    for (int i = 0; i < 5; ++i) {
        const gatewaytest::Run run = Mbpoll({"-a", "1", "-r", "0", "-c", "2"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(MbpollValues(run.out).size(), 2u) << run.out;
    }
    for (std::thread &t : noisy)
        t.join();
    const gatewaytest::Run after = Mbpoll({"-a", "2", "-r", "0", "-c", "1"});
    EXPECT_EQ(after.exitCode, 0) << after.err;
}

// fpsim stopped mid-scan: every tag of its line bad at once, clients get
// 0x0B; fpsim back: good again after the back-off, without a restart.
TEST(GatewayFaults, ALineWhoseControllerGoesIsBadUntilItComesBack) {
    const std::string dir = TempDir();
    const std::string link = dir + "/plant";
    auto sim = StartSimulator(link);
    std::string config = kConfig;
    config.replace(config.find("@LINK@"), 6, link);
    std::ofstream(dir + "/gateway.yaml") << config;
    Background gateway({GATEWAY_PROGRAM, "--config", dir + "/gateway.yaml", "--port", "0"});
    const int port = ListeningPort(gateway);
    ASSERT_NE(port, 0) << gateway.Err();
    const auto read = [port](const char *unit) {
        return RunProgram({"mbpoll", "-m", "tcp", "-0", "-1", "-o", "5", "-p", std::to_string(port),
                           "-a", unit, "-r", "0", "-c", "5", "127.0.0.1"});
    };
    ASSERT_TRUE(Eventually([&] { return read("1").exitCode == 0 && read("2").exitCode == 0; }))
        << gateway.Err();

    sim->Stop();
    const size_t failed = gateway.WaitFor("port " + link + " failed");
    ASSERT_NE(failed, std::string::npos) << gateway.Err();
    for (const char *unit : {"1", "2"}) {
        const gatewaytest::Run run = read(unit);
        EXPECT_NE(run.exitCode, 0);
        EXPECT_NE(run.err.find("Target device failed to respond"), std::string::npos) << run.err;
    }

    sim = StartSimulator(link);
    ASSERT_NE(gateway.WaitFor("open again", failed), std::string::npos) << gateway.Err();
    EXPECT_TRUE(Eventually([&] { return read("1").exitCode == 0; })) << gateway.Err();
    const auto values = MbpollValues(read("2").out);
    EXPECT_EQ(values.size(), 5u);
    EXPECT_EQ(gateway.Terminate(), 0);
}

// A serial line and a line behind a serial device server at once: socat
// carries a loopback TCP port onto a second simulator's pseudo-terminal, set
// as the box's serial side would be. Both lines read and written by mbpoll;
// the device server stopped: the TCP line's tags bad, the serial line's good;
// started again: good, and no value read was ever wrong.
constexpr char kTwoLines[] = R"(modbus: {listen: 127.0.0.1}
http: {port: 0}
defaults: {rate_ms: 100, timeout_ms: 100, demote_for_s: 600, reopen_ms: 100, reopen_max_ms: 400}
lines:
  - name: plant
    port: @LINK@
    settings: 19200-8O1
    stations: [{station: 01, unit: 1}]
    tags: [{address: 01D00100, count: 4, table: holding, register: 0, writable: true}]
  - name: remote
    port: tcp://127.0.0.1:@PORT@
    settings: 19200-8O1
    stations: [{station: 01, unit: 2}]
    tags: [{address: 01D00100, count: 4, table: holding, register: 0, writable: true}]
)";

// socat as a device server in raw TCP mode: its port, from its own notice.
int DeviceServerPort(Background &socat) {
    const std::string notice = "listening on AF=2 127.0.0.1:";
    const size_t at = socat.WaitFor(notice);
    return at == std::string::npos ? 0 : atoi(socat.Err().c_str() + at + notice.size());
}

std::unique_ptr<Background> DeviceServer(int port, const std::string &pty) {
    return std::make_unique<Background>(std::vector<std::string>{
        "socat", "-d", "-d", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
        "FILE:" + pty + ",raw,echo=0,b19200,cs8,parenb=1,parodd=1"});
}

TEST(GatewayTcpLines, ADeviceServersLineBesideASerialLine) {
    const std::string dir = TempDir();
    auto serial = StartSimulator(dir + "/plant");
    auto remote = StartSimulator(dir + "/remote");
    for (size_t i = 0; i < 4; ++i)
        remote->WriteWord("01", Area::kData, 100 + i, static_cast<uint16_t>(5000 + i));
    auto socat = DeviceServer(0, remote->DevicePath());
    const int serverPort = DeviceServerPort(*socat);
    ASSERT_NE(serverPort, 0) << socat->Err();
    std::string config = kTwoLines;
    config.replace(config.find("@LINK@"), 6, dir + "/plant");
    config.replace(config.find("@PORT@"), 6, std::to_string(serverPort));
    std::ofstream(dir + "/gateway.yaml") << config;
    Background gateway({GATEWAY_PROGRAM, "--config", dir + "/gateway.yaml", "--port", "0"});
    const int port = ListeningPort(gateway);
    ASSERT_NE(port, 0) << gateway.Err();
    const std::string page = "status page on http://127.0.0.1:";
    const size_t pageAt = gateway.WaitFor(page);
    ASSERT_NE(pageAt, std::string::npos) << gateway.Err();
    const std::string metrics =
        "http://127.0.0.1:" + std::to_string(atoi(gateway.Err().c_str() + pageAt + page.size())) +
        "/metrics";
    const auto mbpoll = [port](const char *unit, const char *write = nullptr) {
        std::vector<std::string> command = {
            "mbpoll", "-m", "tcp", "-0", "-1", "-o", "5", "-p", std::to_string(port),
            "-a",     unit, "-r",  "0"};
        if (write == nullptr)
            command.insert(command.end(), {"-c", "4", "127.0.0.1"});
        else
            command.insert(command.end(), {"127.0.0.1", "--", write});
        return RunProgram(command);
    };
    // Every good read of the remote line, checked against what its controller
    // holds; the first register is written below, the others never.
    int wrong = 0, good = 0;
    uint16_t written = 5000;
    const auto readRemote = [&] {
        const gatewaytest::Run run = mbpoll("2");
        if (run.exitCode != 0)
            return false;
        const auto values = MbpollValues(run.out);
        for (int reg = 0; reg < 4; ++reg) {
            const uint16_t expected = reg == 0 ? written : static_cast<uint16_t>(5000 + reg);
            wrong += values.count(reg) && std::stoi(values.at(reg)) == expected ? 0 : 1;
        }
        ++good;
        return true;
    };
    ASSERT_TRUE(Eventually([&] { return mbpoll("1").exitCode == 0 && readRemote(); }))
        << gateway.Err();

    // Written through each line: each controller holds its own value.
    for (const auto &[unit, sim] : {std::pair{"1", serial.get()}, {"2", remote.get()}}) {
        const gatewaytest::Run run = mbpoll(unit, unit[0] == '1' ? "111" : "222");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(sim->ReadWord("01", Area::kData, 100), unit[0] == '1' ? 111 : 222);
    }
    written = 222;
    EXPECT_TRUE(Eventually([&] { return readRemote() && good > 2; }));

    // The server closes the connection, or resets it when a request of ours
    // was still unread: either way the port failed.
    socat->Terminate();
    const size_t failed =
        gateway.WaitFor("port tcp://127.0.0.1:" + std::to_string(serverPort) + " failed: the ");
    ASSERT_NE(failed, std::string::npos) << gateway.Err();
    EXPECT_TRUE(Eventually([&] {
        const gatewaytest::Run run = mbpoll("2");
        return run.exitCode != 0 && Has(run.err, "Target device failed to respond");
    }));
    EXPECT_EQ(mbpoll("1").exitCode, 0) << "the serial line stays good";
    const gatewaytest::Run down = RunProgram({"curl", "-sS", metrics});
    EXPECT_TRUE(Has(down.out, "qivma_gateway_line_port_open{line=\"remote\"} 0")) << down.out;
    EXPECT_TRUE(Has(down.out, "qivma_gateway_line_port_open{line=\"plant\"} 1")) << down.out;

    socat = DeviceServer(serverPort, remote->DevicePath());
    ASSERT_NE(gateway.WaitFor("open again", failed), std::string::npos) << gateway.Err();
    const int goodBefore = good;
    EXPECT_TRUE(Eventually([&] { return readRemote() && good > goodBefore + 2; }));
    EXPECT_EQ(wrong, 0);
    // One line for the drop, however long it lasted, and one for the return.
    const std::string log = gateway.Err();
    int remoteLines = 0;
    for (size_t at = log.find("line remote: "); at != std::string::npos;
         at = log.find("line remote: ", at + 1))
        ++remoteLines;
    EXPECT_EQ(remoteLines, 2) << log;
    EXPECT_EQ(gateway.Terminate(), 0);
}

TEST(GatewayProgram, ABadConfigurationStartsNothing) {
    const std::string dir = TempDir();
    std::ofstream(dir + "/bad.yaml") << "lines:\n  - name: a\n    port: /dev/null\n"
                                        "    stations: [{station: 1, unit: 1}]\n"
                                        "    tags:\n      - {address: 01D00100, register: 0}\n"
                                        "      - {address: 01D00101, type: int17, register: 1}\n";
    const gatewaytest::Run run = RunProgram({GATEWAY_PROGRAM, "--config", dir + "/bad.yaml"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(dir + "/bad.yaml:7: type takes int16"), std::string::npos) << run.err;
}

// What systemd's notification socket receives next; empty after a minute.
std::string NextNotification(int socket) {
    pollfd ready = {socket, POLLIN, 0};
    if (poll(&ready, 1, 60000) != 1)
        return "";
    char message[512];
    const ssize_t n = recv(socket, message, sizeof message, 0);
    return n > 0 ? std::string(message, static_cast<size_t>(n)) : "";
}

TEST(GatewayProgram, ItTellsSystemdWhenItIsReadyAndWhenItStops) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const std::string dir = TempDir();
    const std::string path = dir + "/notify";
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    Background gateway({GATEWAY_PROGRAM, "--sim", "--port", "0"});
    unsetenv("NOTIFY_SOCKET");

    const std::string ready = NextNotification(notify);
    EXPECT_EQ(ready.rfind("READY=1\n", 0), 0u) << ready;
    EXPECT_NE(ready.find("STATUS=1 line, 60 tags on scan"), std::string::npos) << ready;
    // Ready means serving: the listener was open before (its line on stderr
    // may still be on its way through the pipe).
    EXPECT_NE(gateway.WaitFor("Modbus TCP on 127.0.0.1:"), std::string::npos) << gateway.Err();
    EXPECT_EQ(gateway.Terminate(), 0);
    EXPECT_EQ(NextNotification(notify), "STOPPING=1");
    close(notify);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(GatewayProgram, TheSimulatorDemoServesTenRegistersOfUnitOne) {
    Background gateway({GATEWAY_PROGRAM, "--sim", "--port", "0"});
    const int port = ListeningPort(gateway);
    ASSERT_NE(port, 0) << gateway.Err();
    gatewaytest::Run run;
    ASSERT_TRUE(Eventually([&] {
        run = RunProgram({"mbpoll", "-m", "tcp", "-0", "-1", "-p", std::to_string(port), "-a", "1",
                          "-r", "0", "-c", "10", "127.0.0.1"});
        return run.exitCode == 0;
    })) << run.err;
    EXPECT_EQ(MbpollValues(run.out).size(), 10u) << run.out;
    EXPECT_EQ(gateway.Terminate(), 0);
}

}  // namespace
