// The qivma tool against a simulator that runs in this process: what it
// wrote is read back from the controller's memory, what it read was put
// there first, and the line misbehaves on demand.
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/fpsim/simulator.h"
#include "tools/tool_run.h"

namespace {

using tooltest::Has;
using tooltest::ToolRun;

class QivmaOnALine : public ::testing::Test {
  protected:
    void SetUp() override {
        fpsim::Options options;
        options.stations = {"01", "03", "21"};
        options.zeroMemory = true;
        // Paced as a line at the tool's default rate: an answer comes after
        // its request has had the time to go out.
        options.line.baud = 19200;
        simulator_ = std::make_unique<fpsim::Simulator>(options);
        std::string error;
        ASSERT_TRUE(simulator_->Start(&error)) << error;
    }

    ToolRun Qivma(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--port", simulator_->DevicePath()});
        return tooltest::Qivma(arguments);
    }

    static std::vector<std::string> Values(int count, int first, int step) {
        std::vector<std::string> values;
        for (int i = 0; i < count; ++i)
            values.push_back(std::to_string(first + i * step));
        return values;
    }

    std::unique_ptr<fpsim::Simulator> simulator_;
};

TEST_F(QivmaOnALine, ContactsWithACountAreContactsReadAndWrittenOneByOne) {
    const ToolRun written = Qivma({"write", "01R0012A", "--count", "3", "1", "1", "1"});
    EXPECT_EQ(written.exitCode, 0) << written.both();
    EXPECT_TRUE(Has(written.out, "R12A-R12C  written (3 contacts in 3 frames)")) << written.out;
    EXPECT_EQ(simulator_->ReadWord("01", fpsim::Area::kR, 12), 0x1C00);

    // The contact number's last digit is hexadecimal and rolls into the next word.
    simulator_->WriteWord("01", fpsim::Area::kR, 12, 0x4000);
    simulator_->WriteWord("01", fpsim::Area::kR, 13, 0x0001);
    const ToolRun read = Qivma({"read", "01R0012E", "--count", "3"});
    EXPECT_EQ(read.exitCode, 0) << read.both();
    EXPECT_TRUE(Has(read.out, "R12E       = 1\nR12F       = 0\nR130       = 1\n")) << read.out;
}

TEST_F(QivmaOnALine, RangesOfAnyLengthGoInAsManyFramesAsNeeded) {
    for (size_t i = 0; i < 100; ++i)
        simulator_->WriteWord("01", fpsim::Area::kData, i, static_cast<uint16_t>(1000 + i));
    const ToolRun read = Qivma({"--json", "read", "01D00000", "--count", "100"});
    ASSERT_EQ(read.exitCode, 0) << read.both();
    const nlohmann::json result = nlohmann::json::parse(read.out).at("results").at(0);
    EXPECT_EQ(result.at("frames"), 4);  // 27 + 27 + 27 + 19 words
    ASSERT_EQ(result.at("values").size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(result["values"][i]["address"], "D" + std::to_string(i));
        EXPECT_EQ(result["values"][i]["value"], 1000 + i);
    }

    std::vector<std::string> write = {"write", "01D00200", "--count", "60"};
    for (const std::string &value : Values(60, -30, 7))
        write.push_back(value);
    const ToolRun written = Qivma(write);
    EXPECT_EQ(written.exitCode, 0) << written.both();
    EXPECT_TRUE(Has(written.out, "D200-D259  written (60 values in 3 frames)")) << written.out;
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(static_cast<int16_t>(simulator_->ReadWord("01", fpsim::Area::kData, 200 + i)),
                  -30 + 7 * i)
            << i;
    }

    // 25 words: one more than a register write frame holds.
    std::vector<std::string> twentyFive = {"write", "01D00300", "--count", "25"};
    for (const std::string &value : Values(25, 1, 1))
        twentyFive.push_back(value);
    const ToolRun split = Qivma(twentyFive);
    EXPECT_EQ(split.exitCode, 0) << split.both();
    EXPECT_TRUE(Has(split.out, "(25 values in 2 frames)")) << split.out;
    EXPECT_EQ(simulator_->ReadWord("01", fpsim::Area::kData, 324), 25);

    // 32-bit values: 13 to a read frame, 12 to a write frame.
    const ToolRun pairs = Qivma({"write", "01E00400", "--count", "13", "1", "2", "3", "4", "5", "6",
                                 "7", "8", "9", "10", "11", "12", "-13"});
    EXPECT_EQ(pairs.exitCode, 0) << pairs.both();
    EXPECT_TRUE(Has(pairs.out, "D400-D425  written (13 values in 2 frames)")) << pairs.out;
    EXPECT_EQ(simulator_->ReadWord("01", fpsim::Area::kData, 424), 0xFFF3);
    EXPECT_EQ(simulator_->ReadWord("01", fpsim::Area::kData, 425), 0xFFFF);
}

TEST_F(QivmaOnALine, ValuesAreDecimalHexadecimalOrBinaryAndNeverOctal) {
    const struct {
        const char *address;
        std::vector<std::string> options;
        const char *value;
        size_t word;
        uint16_t stored;
    } cases[] = {
        {"01D00010", {}, "010", 10, 10},
        {"01D00010", {}, "0x10", 10, 16},
        {"01D00010", {}, "0b101", 10, 5},
        {"01D00010", {}, "-1", 10, 0xFFFF},
        {"01D00010", {"--"}, "-2", 10, 0xFFFE},
        {"01D00010", {}, "-0x10", 10, 0xFFF0},
        {"01D00010", {}, "65535", 10, 0xFFFF},
        {"01D00010", {"--format", "bcd"}, "1234", 10, 0x1234},
        {"01D00010", {"--format", "hex"}, "BEEF", 10, 0xBEEF},
        {"01D00010", {"--format", "ascii"}, "AB", 10, 0x4241},
        // A float only where it is asked for: "1" is the integer 1 either way
        // it is typed unless --format float makes it 1.0f.
        {"01E00020", {"--format", "float"}, "3.25", 20, 0x0000},
        {"01E00020", {"--format", "float"}, "3.25", 21, 0x4050},
        {"01E00020", {}, "1", 20, 0x0001},
        {"01E00020", {}, "1", 21, 0x0000},
        {"01E00020", {"--format", "float"}, "1", 21, 0x3F80},
        {"01E00020", {"-f", "float", "--allow-nonfinite"}, "-inf", 21, 0xFF80},
        {"01E00020", {"--word-order", "high-first"}, "0x12345678", 20, 0x1234},
        {"01E00020", {"--word-order", "high-first"}, "0x12345678", 21, 0x5678},
    };
    for (const auto &c : cases) {
        std::vector<std::string> arguments = {"write", c.address};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(c.value);
        const ToolRun run = Qivma(arguments);
        EXPECT_EQ(run.exitCode, 0) << c.value << "\n" << run.both();
        EXPECT_EQ(simulator_->ReadWord("01", fpsim::Area::kData, c.word), c.stored) << c.value;
    }
}

TEST_F(QivmaOnALine, FormatsShowTheWordsAsAsked) {
    simulator_->WriteWord("01", fpsim::Area::kData, 100, 0x1234);
    simulator_->WriteWord("01", fpsim::Area::kData, 101, 0x4050);
    simulator_->WriteWord("01", fpsim::Area::kData, 102, 0x8001);
    simulator_->WriteWord("01", fpsim::Area::kData, 103, 0x12A4);
    const struct {
        std::vector<std::string> arguments;
        const char *text;
        const char *json;
    } cases[] = {
        {{"read", "01D00100"}, "D100       = 4660 (0x1234)", "4660"},
        {{"read", "01D00102"}, "D102       = -32767 (unsigned 32769, 0x8001)", "-32767"},
        {{"read", "01D00102", "--format", "unsigned"}, "D102       = 32769", "32769"},
        {{"read", "01D00102", "--format", "signed"}, "D102       = -32767", "-32767"},
        {{"read", "01D00100", "--format", "hex"}, "D100       = 0x1234", "\"0x1234\""},
        {{"read", "01D00100", "--format", "bin"}, "= 0b0001001000110100", "\"0b0001001000110100\""},
        {{"read", "01D00100", "--format", "bcd"}, "D100       = 1234", "1234"},
        {{"read", "01D00103", "--format", "bcd"}, "= 0x12A4 (not BCD)", "null"},
        {{"read", "01D00100", "--format", "ascii"}, "= \"4\\x12\"", "\"4\\\\x12\""},
        {{"read", "01E00100", "--format", "hex"}, "D100-D101  = 0x40501234", "\"0x40501234\""},
        {{"read", "01E00100", "--format", "hex", "--word-order", "high-first"},
         "D100-D101  = 0x12344050",
         "\"0x12344050\""},
        {{"read", "01E00100", "--format", "float"}, "D100-D101  = 3.251111", "3.25111"},
    };
    for (const auto &c : cases) {
        const ToolRun text = Qivma(c.arguments);
        EXPECT_EQ(text.exitCode, 0) << text.both();
        EXPECT_TRUE(Has(text.out, c.text)) << c.text << "\n" << text.out;
        std::vector<std::string> json = c.arguments;
        json.insert(json.begin(), "--json-lines");
        const ToolRun lines = Qivma(json);
        const nlohmann::json value = nlohmann::json::parse(lines.out)["values"][0]["value"];
        EXPECT_TRUE(Has(value.dump(), c.json)) << c.json << "\n" << lines.out;
    }
}

TEST_F(QivmaOnALine, TheTraceShowsEveryAttemptWithItsTime) {
    simulator_->WriteWord("01", fpsim::Area::kData, 7, 0x1234);
    fpsim::Fault silent;
    silent.kind = fpsim::FaultKind::kNoAnswer;
    fpsim::Fault corrupt;
    corrupt.kind = fpsim::FaultKind::kCorruptChar;
    simulator_->FaultOnce(silent);
    simulator_->FaultOnce(corrupt);
    const ToolRun run = Qivma({"--trace", "read", "01D00007"});
    EXPECT_EQ(run.exitCode, 0) << run.both();
    const std::string request = "-> %01#RDD0000700007";
    size_t at = 0;
    double last = -1;
    for (const char *attempt : {"#1 ", "#2 ", "#3 "}) {
        at = run.out.find(std::string("   ") + attempt, at);
        ASSERT_NE(at, std::string::npos) << attempt << "\n" << run.out;
        double ms = -1;
        ASSERT_EQ(sscanf(run.out.c_str() + at + 6, "%lf ms", &ms), 1) << run.out;
        EXPECT_GT(ms, last) << run.out;
        last = ms;
        EXPECT_EQ(run.out.compare(run.out.find("->", at), request.size(), request), 0) << run.out;
    }
    EXPECT_TRUE(Has(run.out, "(no answer within 40 ms)")) << run.out;
    EXPECT_TRUE(Has(run.out, "<CR>")) << run.out;
    EXPECT_TRUE(Has(run.out, "<- %01$RD341212<CR>")) << run.out;
}

// The hint follows what happened on the line, not the size of the frames:
// nothing at all, answers that come after the time-out, garbage, an error
// code; and a success after failed attempts says why it needed them.
TEST_F(QivmaOnALine, ASlowLineGetsAHintToRaiseTheTimeOut) {
    const auto fault = [](fpsim::FaultKind kind, int lateMs = 100) {
        fpsim::Fault f;
        f.kind = kind;
        f.lateMs = lateMs;
        return f;
    };
    const struct {
        const char *what;
        std::vector<fpsim::Fault> once;   // faults of the next answers
        std::vector<fpsim::Fault> every;  // a fault of every answer
        std::vector<std::string> arguments;
        int exitCode;
        std::vector<const char *> says;  // on stderr
        std::vector<const char *> never;
    } cases[] = {
        {"an absent station on a long read is an absent station",
         {},
         {},
         {"--timeout", "40", "read", "07D00000", "--count", "27"},
         1,
         {"no answer from station 07", "nothing came back at all", "check the station number"},
         {"try --timeout"}},
        {"a request that cannot reach the station within the time-out",
         {},
         {},
         {"--baud", "2400", "--timeout", "40", "read", "07D00100"},
         1,
         {"at 2400-8O1 the request alone takes 92 ms", "try --timeout"},
         {"nothing came back"}},
        {"answers that are garbled every time",
         {},
         {fault(fpsim::FaultKind::kCorruptChar)},
         {"read", "01D00100"},
         1,
         {"a rate, parity or character size other than the controller's", "19200-8O1"},
         {"try --timeout", "nothing came back"}},
        {"an error code has no hint to give",
         {},
         {},
         {"read", "01D20000"},
         1,
         {"answered with error 61"},
         {"hint:"}},
        {"one lost answer",
         {fault(fpsim::FaultKind::kNoAnswer)},
         {},
         {"read", "01D00100"},
         0,
         {"note: answered on attempt 2; attempt 1 got no answer"},
         {"late answer", "try --timeout"}},
        {"one garbled answer",
         {fault(fpsim::FaultKind::kCorruptChar)},
         {},
         {"read", "01D00100"},
         0,
         {"note: answered on attempt 2; attempt 1 got no good answer (%01$"},
         {"late answer"}},
        {"a station that answers every request late",
         {},
         {fault(fpsim::FaultKind::kLate, 90)},
         {"--timeout", "40", "read", "01D00100"},
         0,
         {"note: answered on attempt 3; 2 late answers: try --timeout "},
         {}},
    };
    for (const auto &c : cases) {
        simulator_->ClearFaults();
        for (const fpsim::Fault &f : c.once)
            simulator_->FaultOnce(f);
        for (const fpsim::Fault &f : c.every)
            simulator_->FaultEvery(1, f);
        const ToolRun run = Qivma(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what << "\n" << run.both();
        for (const char *text : c.says)
            EXPECT_TRUE(Has(run.err, text)) << c.what << ": " << text << "\n" << run.both();
        for (const char *text : c.never)
            EXPECT_FALSE(Has(run.err, text)) << c.what << ": " << text << "\n" << run.both();
        EXPECT_FALSE(Has(run.out, "failed")) << c.what << ": failures go to stderr\n" << run.out;
        // The time-out suggested for late answers takes them at the first attempt.
        const size_t at = run.err.find("late answers: try --timeout ");
        if (at == std::string::npos)
            continue;
        const std::string suggested =
            std::to_string(atoi(run.err.c_str() + at + strlen("late answers: try --timeout ")));
        simulator_->ClearFaults();
        simulator_->FaultEvery(1, fault(fpsim::FaultKind::kLate, 90));
        const ToolRun again = Qivma({"--timeout", suggested, "read", "01D00100"});
        EXPECT_EQ(again.exitCode, 0) << suggested << "\n" << again.both();
        EXPECT_FALSE(Has(again.err, "note:")) << "--timeout " << suggested << "\n" << again.err;
    }
    simulator_->ClearFaults();
}

// Without --timeout the tool gives a slow line the time its frames take, and
// says so with --verbose: at 2400 bit/s the longest read and its answer take
// 628 ms. The driver's 40 ms would take each answer late, on the third
// attempt, and leave two more to confuse the next command.
TEST(QivmaSlowLine, TheTimeOutFollowsTheRateUnlessOneIsGiven) {
    const ToolRun picked =
        tooltest::Qivma({"--sim", "--baud", "2400", "-v", "read", "01D00000", "--count", "27"});
    EXPECT_EQ(picked.exitCode, 0) << picked.both();
    EXPECT_TRUE(Has(picked.err, "qivma: time-out 650 ms: at 2400-8O1 the longest exchange"))
        << picked.err;
    EXPECT_FALSE(Has(picked.err, "note:")) << picked.err;
    const ToolRun given = tooltest::Qivma(
        {"--sim", "--baud", "2400", "--timeout", "40", "read", "01D00000", "--count", "27"});
    EXPECT_EQ(given.exitCode, 0) << given.both();
    EXPECT_TRUE(Has(given.err, "note: answered on attempt 3; 2 late answers: try --timeout 6"))
        << given.err;
    // At the driver's rate the default stays.
    const ToolRun usual = tooltest::Qivma({"--sim", "-v", "read", "01D00100"});
    EXPECT_TRUE(Has(usual.err, "time-out 40 ms (the driver's default)")) << usual.err;
}

// Values to stdout, failures and hints to stderr: a pipe gets values only,
// and -q gives them bare.
TEST_F(QivmaOnALine, ValuesGoToStdoutAndFailuresToStderr) {
    simulator_->WriteWord("01", fpsim::Area::kData, 100, 100);
    const ToolRun both = Qivma({"read", "01D00100", "07D00100"});
    EXPECT_EQ(both.exitCode, 1) << both.both();
    EXPECT_EQ(both.out, "01:D100    = 100 (0x0064)\n");
    EXPECT_TRUE(Has(both.err, "07:D100    failed (status 2): no answer from station 07"))
        << both.err;
    EXPECT_TRUE(Has(both.err, "hint: ")) << both.err;

    const ToolRun quiet = Qivma({"-q", "read", "01D00100", "01E00100", "--format", "hex"});
    EXPECT_EQ(quiet.exitCode, 0) << quiet.both();
    EXPECT_EQ(quiet.out, "0x0064\n0x00000064\n");
    const ToolRun written = Qivma({"-q", "write", "01D00101", "5"});
    EXPECT_EQ(written.exitCode, 0) << written.both();
    EXPECT_EQ(written.out, "");

    // JSON keeps the failure in the document, and says it on stderr too.
    const ToolRun json = Qivma({"--json", "read", "07D00100"});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(nlohmann::json::parse(json.out)["results"][0]["attempts"], 3);
    EXPECT_TRUE(Has(json.err, "no answer from station 07")) << json.err;
}

TEST_F(QivmaOnALine, ScanFindsWhoAnswersAndWhoRefuses) {
    const ToolRun run = Qivma({"scan", "01-04"});
    EXPECT_EQ(run.exitCode, 0) << run.both();
    EXPECT_TRUE(Has(run.out, "scanning 01-04 for D0 at 19200-8O1, time-out 40 ms")) << run.out;
    EXPECT_TRUE(Has(run.out, "station 01  answered   D0 = 0")) << run.out;
    EXPECT_TRUE(Has(run.out, "station 03  answered")) << run.out;
    EXPECT_FALSE(Has(run.out, "station 02")) << run.out;
    EXPECT_TRUE(Has(run.out, "4 stations scanned in")) << run.out;
    EXPECT_TRUE(Has(run.out, "2 answered, 0 refused, 2 silent")) << run.out;

    const ToolRun refused = Qivma({"--json", "scan", "03", "--register", "D20000"});
    EXPECT_EQ(refused.exitCode, 0) << refused.both();
    const nlohmann::json document = nlohmann::json::parse(refused.out);
    EXPECT_EQ(document["results"][0]["result"], "refused");
    EXPECT_EQ(document["results"][0]["code"], "61");
    EXPECT_EQ(document["found"]["refused"], 1);

    const ToolRun nobody = Qivma({"scan", "05-06"});
    EXPECT_EQ(nobody.exitCode, 1) << nobody.both();

    // Stations as the controllers are numbered: 21 is the controller 21.
    const ToolRun twenties = Qivma({"scan", "20-22"});
    EXPECT_EQ(twenties.exitCode, 0) << twenties.both();
    EXPECT_TRUE(Has(twenties.out, "station 21  answered")) << twenties.out;
    EXPECT_TRUE(Has(twenties.out, "1 answered, 0 refused, 2 silent")) << twenties.out;
    for (const char *range : {"1A", "01-33", "5"}) {
        const ToolRun wrong = Qivma({"scan", range});
        EXPECT_EQ(wrong.exitCode, 2) << range;
        EXPECT_TRUE(Has(wrong.err, "two decimal digits from 00 to 32")) << wrong.both();
    }
}

TEST_F(QivmaOnALine, OneJsonShapeForSingleValuesAndBlocks) {
    simulator_->WriteWord("01", fpsim::Area::kData, 100, 100);
    simulator_->WriteWord("01", fpsim::Area::kData, 101, 101);
    const ToolRun single = Qivma({"--json", "read", "01D00100"});
    const ToolRun block = Qivma({"--json", "read", "01D00100", "--count", "2"});
    ASSERT_EQ(single.exitCode, 0) << single.both();
    ASSERT_EQ(block.exitCode, 0) << block.both();
    const nlohmann::json one = nlohmann::json::parse(single.out).at("results").at(0);
    const nlohmann::json two = nlohmann::json::parse(block.out).at("results").at(0);
    const nlohmann::json d100 = {{"address", "D100"}, {"value", 100}, {"words", {100}}};
    EXPECT_EQ(one["values"], nlohmann::json::array({d100}));
    EXPECT_EQ(two["values"][0], d100);
    EXPECT_EQ(two["values"][1]["address"], "D101");

    // A station that does not answer: the explanation as in the text.
    const ToolRun silent = Qivma({"--json", "read", "07D00100"});
    EXPECT_EQ(silent.exitCode, 1);
    const nlohmann::json failed = nlohmann::json::parse(silent.out).at("results").at(0);
    EXPECT_EQ(failed["status"], 2);
    EXPECT_EQ(failed["error"], "no answer from station 07 (time-out 40 ms, 3 attempts)");
}

TEST_F(QivmaOnALine, APortThatFailsIsNotTakenForASilentStation) {
    // The simulator goes away while poll runs: the port then fails every
    // read, which a silent station never makes it do.
    ToolRun polled;
    std::thread poll([&] {
        polled = Qivma({"poll", "01D00000", "--for", "400", "--interval", "20"});
    });
    ASSERT_TRUE(simulator_->WaitForFrames(4, std::chrono::milliseconds(20000)));
    simulator_->Stop();
    poll.join();
    EXPECT_EQ(polled.exitCode, 1) << polled.both();
    EXPECT_TRUE(Has(polled.err, "the port failed in 3 rounds in a row")) << polled.both();
    EXPECT_TRUE(Has(polled.both(), "the port failed (")) << polled.both();
    EXPECT_FALSE(Has(polled.both(), "no answer from station")) << polled.both();
    EXPECT_FALSE(Has(polled.both(), "400 rounds")) << "poll stopped early: " << polled.both();
}

// A listener on the loopback address, bound and listening, or -1.
int LoopbackListener(int backlog, int *port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Every command of the tool on a controller's Ethernet unit (fpsim --tcp),
// and then the unit gone: the port fails, it is no silent station.
TEST(QivmaOnTcp, EveryCommandReachesAnEthernetUnit) {
    fpsim::Options options;
    options.stations = {"01", "03"};
    options.zeroMemory = true;
    options.line.baud = 19200;
    options.tcpPort = 0;
    fpsim::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;
    simulator.WriteWord("01", fpsim::Area::kData, 100, 4660);
    const std::string port = "tcp://127.0.0.1:" + std::to_string(simulator.TcpPort());
    const struct {
        std::vector<std::string> command;
        std::string shown;
    } cases[] = {
        {{"read", "01D00100"}, "D100       = 4660 (0x1234)"},
        // A new connection may bring what the server kept for the last one:
        // the station is brought in step before it is asked.
        {{"--trace", "read", "01D00100"}, "-> %01#RT01<CR>"},
        {{"write", "03D00007", "0x5A5A"}, "written"},
        {{"scan", "01-04"}, "2 answered, 0 refused, 2 silent"},
        {{"poll", "01D00100", "--for", "3", "--interval", "10"}, "D100      3      0    0%"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> arguments = {"--port", port};
        arguments.insert(arguments.end(), c.command.begin(), c.command.end());
        const ToolRun run = tooltest::Qivma(arguments);
        EXPECT_EQ(run.exitCode, 0) << c.command[0] << ": " << run.both();
        EXPECT_TRUE(Has(run.out, c.shown)) << c.command[0] << ": " << run.out;
    }
    EXPECT_EQ(simulator.ReadWord("03", fpsim::Area::kData, 7), 0x5A5A);

    ToolRun polled;
    std::thread poll([&] {
        polled = tooltest::Qivma(
            {"--port", port, "poll", "01D00100", "--for", "400", "--interval", "20"});
    });
    ASSERT_TRUE(
        simulator.WaitForFrames(simulator.Frames().size() + 4, std::chrono::milliseconds(20000)));
    simulator.Stop();
    poll.join();
    EXPECT_EQ(polled.exitCode, 1) << polled.both();
    // The unit closes the connection, or resets it when our request was
    // still unread in its socket: either is a port that failed.
    const std::string where = port.substr(6);
    EXPECT_TRUE(Has(polled.err,
                    "the port failed in 3 rounds in a row (the device server or unit "
                    "at " +
                        where + " closed the connection") ||
                Has(polled.err, "the port failed in 3 rounds in a row (the connection to " + where +
                                    " broke: Connection reset by peer"))
        << polled.both();
    EXPECT_FALSE(Has(polled.both(), "no answer from station")) << polled.both();
}

// A connect that cannot succeed fails within the line's bound (3 attempts x
// 40 ms), not the system's minutes, and says what to check. The address that
// never answers is a loopback listener whose accept queue is full and never
// accepted: the system drops the SYNs that come after.
TEST(QivmaOnTcp, AConnectThatFailsSaysWhatToCheck) {
    int closedPort = 0, fullPort = 0;
    close(LoopbackListener(1, &closedPort));
    const int full = LoopbackListener(0, &fullPort);
    ASSERT_GE(full, 0);
    std::vector<int> queued;
    for (int i = 0; i < 2; ++i) {
        queued.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(fullPort));
        connect(queued.back(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    const struct {
        int port;
        std::string says;
    } cases[] = {
        {closedPort, "nothing listens at 127.0.0.1:" + std::to_string(closedPort) +
                         " (the connection was refused): check the port number"},
        {fullPort, "no answer to the connect to 127.0.0.1:" + std::to_string(fullPort) +
                       " within 120 ms: check the address, the network"},
    };
    for (const auto &c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const ToolRun run = tooltest::Qivma({"--port", "tcp://127.0.0.1:" + std::to_string(c.port),
                                             "--timeout", "40", "read", "01D00100"});
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(run.exitCode, 1) << run.both();
        EXPECT_TRUE(Has(run.err, c.says)) << run.err;
        // Far inside the system's own time-out of a connect (minutes).
        EXPECT_LT(took, std::chrono::seconds(10)) << c.says;
    }
    for (const int fd : queued)
        close(fd);
    close(full);
}

}  // namespace
