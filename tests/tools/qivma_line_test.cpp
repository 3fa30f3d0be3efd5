// The qivma tool against a simulator that runs in this process: what it
// wrote is read back from the controller's memory, what it read was put
// there first, and the line misbehaves on demand.
#include <stdio.h>
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
    EXPECT_TRUE(Has(pairs.out, "D400-D424  written (13 values in 2 frames)")) << pairs.out;
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
        {"01D00010", {}, "65535", 10, 0xFFFF},
        {"01D00010", {"--format", "bcd"}, "1234", 10, 0x1234},
        {"01D00010", {"--format", "hex"}, "BEEF", 10, 0xBEEF},
        {"01D00010", {"--format", "ascii"}, "AB", 10, 0x4241},
        {"01E00020", {}, "3.25", 20, 0x0000},
        {"01E00020", {}, "3.25", 21, 0x4050},
        {"01E00020", {"--word-order", "high-first"}, "0x12345678", 20, 0x1234},
        {"01E00020", {"--word-order", "high-first"}, "0x12345678", 21, 0x5678},
    };
    for (const auto &c : cases) {
        std::vector<std::string> arguments = {"write", c.address, c.value};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
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
        {{"read", "01E00100", "--format", "hex"}, "D100       = 0x40501234", "\"0x40501234\""},
        {{"read", "01E00100", "--format", "hex", "--word-order", "high-first"},
         "D100       = 0x12344050",
         "\"0x12344050\""},
        {{"read", "01E00100", "--format", "float"}, "D100       = 3.251111", "3.25111"},
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

TEST_F(QivmaOnALine, ASlowLineGetsAHintToRaiseTheTimeOut) {
    fpsim::Fault late;
    late.kind = fpsim::FaultKind::kNoAnswer;
    simulator_->FaultEvery(1, late);
    const ToolRun run =
        Qivma({"--baud", "4800", "write", "01D00000", "--count", "24", "1",  "2",  "3",  "4",
               "5",      "6",    "7",     "8",        "9",       "10", "11", "12", "13", "14",
               "15",     "16",   "17",    "18",       "19",      "20", "21", "22", "23", "24"});
    EXPECT_EQ(run.exitCode, 1) << run.both();
    EXPECT_TRUE(Has(run.out, "at 4800 bit/s this request and its answer take about 2")) << run.out;
    EXPECT_TRUE(Has(run.out, "try --timeout")) << run.out;
}

TEST_F(QivmaOnALine, ScanFindsWhoAnswersAndWhoRefuses) {
    const ToolRun run = Qivma({"scan", "01-04"});
    EXPECT_EQ(run.exitCode, 0) << run.both();
    EXPECT_TRUE(Has(run.out, "scanning stations 01 to 04 for D0")) << run.out;
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

}  // namespace
