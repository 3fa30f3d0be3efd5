// What the fpsim program's command line delivers to the simulator. Its
// refusals are tested through the program (fpsim_program_test.cpp).
#include "tools/fpsim/command_line.h"

#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fpsim {
namespace {

bool Parse(const std::vector<std::string> &args, CommandLine &line) {
    CommandLineError error;
    const bool ok = ParseCommandLine(args, line, error);
    EXPECT_TRUE(ok) << error.where << " " << error.what;
    return ok;
}

TEST(ParseStation, TwoHexadecimalDigitsButNotTheSpecialStations) {
    const struct {
        const char *text;
        const char *station;  // null: refused
    } cases[] = {
        {"01", "01"},     {"32", "32"},    {"1F", "1F"},    {"0a", "0A"},    {"FE", "FE"},
        {"00", nullptr},  {"EE", nullptr}, {"ee", nullptr}, {"FF", nullptr}, {"1", nullptr},
        {"123", nullptr}, {"G1", nullptr}, {" 1", nullptr}, {"", nullptr},
    };
    for (const auto &c : cases) {
        std::string station = "unchanged";
        EXPECT_EQ(ParseStation(c.text, station), c.station != nullptr) << c.text;
        EXPECT_EQ(station, c.station != nullptr ? c.station : "unchanged") << c.text;
    }
}

TEST(ParseCommandLine, EveryValueReachesItsSetting) {
    CommandLine line;
    ASSERT_TRUE(Parse({"--baud=9600",
                       "--data-bits",
                       "7",
                       "--parity=even",
                       "--stop-bits",
                       "1.5",
                       "--delay",
                       "0",
                       "--answer-delay=250",
                       "--chatter",
                       "20:silent",
                       "--station",
                       "0a",
                       "--station=05",
                       "--profile",
                       "small",
                       "--no-ee",
                       "--x-write-error",
                       "60",
                       "--zero",
                       "--no-line-check",
                       "-v",
                       "--fault",
                       "late:50",
                       "--fault",
                       "stray:AB",
                       "--fault-every",
                       "3:truncated:4",
                       "--fault-random",
                       "0.25:9"},
                      line));
    const Options &o = line.options;
    EXPECT_EQ(o.line.baud, 9600u);
    EXPECT_EQ(o.line.dataBits, 7);
    EXPECT_EQ(o.line.parity, 'E');
    EXPECT_EQ(o.line.stopBits, 1.5);
    EXPECT_EQ(o.scanDelayMs, 0);
    EXPECT_EQ(o.answerDelayMs, 250);
    EXPECT_EQ(o.chatterGapMs, 20);
    EXPECT_FALSE(o.chatterAnswers);
    EXPECT_EQ(o.stations, (std::vector<std::string>{"0A", "05"}));
    EXPECT_EQ(o.bus.profile, Profile::kSmall);
    EXPECT_FALSE(o.bus.answerEE);
    EXPECT_EQ(o.bus.inputWriteError, 60);
    EXPECT_TRUE(o.zeroMemory);
    EXPECT_FALSE(o.judgeLine);
    EXPECT_TRUE(o.verbose);
    ASSERT_EQ(line.onceFaults.size(), 2u);
    EXPECT_EQ(line.onceFaults[0].kind, FaultKind::kLate);
    EXPECT_EQ(line.onceFaults[0].lateMs, 50);
    EXPECT_EQ(line.onceFaults[1].stray, "AB");
    EXPECT_EQ(line.everyN, 3);
    EXPECT_EQ(line.everyFault.kind, FaultKind::kTruncated);
    EXPECT_EQ(line.everyFault.keepChars, 4);
    EXPECT_EQ(line.probability, 0.25);
    EXPECT_EQ(line.seed, 9u);
    EXPECT_FALSE(line.help);
}

TEST(ParseCommandLine, WithoutOptionsTheDefaults) {
    CommandLine line;
    ASSERT_TRUE(Parse({}, line));
    EXPECT_EQ(line.options.stations, std::vector<std::string>{"01"});
    EXPECT_EQ(line.options.line.baud, 0u);
    EXPECT_EQ(line.options.scanDelayMs, 2);
    EXPECT_TRUE(line.options.linkPath.empty());
    EXPECT_EQ(line.everyN, 0);
    EXPECT_EQ(line.probability, 0);
    EXPECT_TRUE(line.options.assignments.empty());
    EXPECT_TRUE(line.options.judgeLine) << "a master at other settings is not heard";
    EXPECT_FALSE(line.version);
}

TEST(ParseCommandLine, HelpEndsTheReading) {
    CommandLine line;
    ASSERT_TRUE(Parse({"-h", "--bogus"}, line));
    EXPECT_TRUE(line.help);
}

// Flags and files are applied in the order given, so that a later one
// overrides an earlier one; a station prefix is taken in upper case.
TEST(ParseCommandLine, AssignmentsKeepTheirOrderAcrossFlagsAndFiles) {
    const std::string init =
        ::testing::TempDir() + "fpsim-command-line-" + std::to_string(getpid()) + ".init";
    FILE *file = fopen(init.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("DT1=1  # after the first --set\n\n0a:DT2=2\n", file);
    fclose(file);
    CommandLine line;
    ASSERT_TRUE(Parse({"--station", "01", "--set", "DT1=0", "--init", init, "--set", "0a:LD3=3",
                       "--station", "0A"},
                      line));
    EXPECT_EQ(line.options.assignments,
              (std::vector<std::string>{"DT1=0", "DT1=1", "0A:DT2=2", "0A:LD3=3"}));
    unlink(init.c_str());
}

TEST(ParseCommandLine, ARefusalSaysWhereOnlyForAnInitFileLine) {
    CommandLine line;
    CommandLineError error;
    EXPECT_FALSE(ParseCommandLine({"--set", "DT1=x"}, line, error));
    EXPECT_EQ(error.where, "");
    EXPECT_NE(error.what.find("--set 'DT1=x'"), std::string::npos) << error.what;
}

}  // namespace
}  // namespace fpsim
