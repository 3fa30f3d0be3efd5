// The qivma tool as a person runs it, against its built-in simulator.
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include <gtest/gtest.h>

namespace {

struct ToolRun {
    int exitCode;
    std::string output;  // standard output and standard error
};

ToolRun Qivma(const std::string &arguments) {
    const std::string command = std::string(QIVMA_PROGRAM) + " " + arguments + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ToolRun run{-1, ""};
    if (pipe == nullptr)
        return run;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool Has(const ToolRun &run, const std::string &text) {
    return run.output.find(text) != std::string::npos;
}

TEST(QivmaTool, ReadsAndWritesTheSimulatorWithATrace) {
    const ToolRun written = Qivma("--sim --trace write 01D00100 4660 01E00200 -2 01R0012A 1");
    EXPECT_EQ(written.exitCode, 0) << written.output;
    EXPECT_TRUE(Has(written, "-> %01#WDD0010000100341254<CR>")) << written.output;
    EXPECT_TRUE(Has(written, "<- %01$WD13<CR>")) << written.output;

    const ToolRun read = Qivma("--sim read 01D00100 01E00100 01R0012A 01D00000 --count 3");
    EXPECT_EQ(read.exitCode, 0) << read.output;
    EXPECT_TRUE(Has(read, "01D00100   (3 values)")) << read.output;

    const ToolRun single = Qivma("--sim read 01E00100 --json");
    EXPECT_EQ(single.exitCode, 0) << single.output;
    EXPECT_TRUE(Has(single, "\"words\": [100, 101], \"values\": [6619236]")) << single.output;
}

TEST(QivmaTool, FailuresSayWhatToDo) {
    const struct {
        const char *arguments;
        int exitCode;
        const char *says;
    } cases[] = {
        {"check 21D0010", 1, "station 21 (33) is outside 00 to 20"},
        {"check 01E00101", 1, "E values start at an even register"},
        {"--sim read 01Q0010", 1, "the device is one of"},
        {"--sim --sim-station 01 read 07D00100", 1,
         "no answer from station 07 (time-out 40 ms, 3 attempts)"},
        {"--sim write 01X0001 1", 1, "answered with error 61"},
        {"--port /nonexistent/tty read 01D00100", 1, "port /nonexistent/tty did not open"},
        {"read", 2, "read needs an ADDRESS"},
        {"--parity sideways info", 2, "--parity takes"},
        {"frobnicate", 2, "unknown command"},
    };
    for (const auto &c : cases) {
        const ToolRun run = Qivma(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Has(run, c.says)) << c.arguments << "\n" << run.output;
    }
}

TEST(QivmaTool, HelpAndInfo) {
    const ToolRun help = Qivma("help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char *text :
         {"info",        "check",      "read",          "write",  "poll",        "demo",
          "--port",      "--sim",      "--sim-station", "--baud", "--data-bits", "--parity",
          "--stop-bits", "--timeout",  "--trace",       "--json", "--verbose",   "--type",
          "--count",     "--interval", "--for"}) {
        EXPECT_TRUE(Has(help, text)) << text;
    }
    const ToolRun info = Qivma("info");
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_TRUE(
        Has(info, "\u2551       Matsushita - FP3, FP5, FP10 compatible driver.      \u2551"))
        << info.output;
}

}  // namespace
