// qivma poll: on a terminal (tmux, 80 by 24) a table that keeps its shape
// round after round and a summary on Ctrl-C; elsewhere plain lines, CSV and
// JSON that parse.
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/tool_run.h"

namespace {

using tooltest::Has;
using tooltest::Qivma;
using tooltest::RunProgram;
using tooltest::ToolRun;

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t Characters(const std::string &line) {
    size_t n = 0;
    for (const char c : line)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

size_t CountContaining(const std::vector<std::string> &lines, const std::string &part) {
    size_t n = 0;
    for (const std::string &line : lines)
        n += Has(line, part) ? 1 : 0;
    return n;
}

// A tmux server of this test's own, with one 80x24 window.
class Tmux {
  public:
    Tmux() : socket_("qivma-poll-test-" + std::to_string(getpid())) {}
    ~Tmux() { Run({"kill-server"}); }

    static bool Available() { return RunProgram({"tmux", "-V"}).exitCode == 0; }

    bool Start(const std::string &command) {
        return Run({"new-session", "-d", "-s", "poll", "-x", "80", "-y", "24", command}).exitCode ==
                   0 &&
               Run({"set-option", "-t", "poll", "remain-on-exit", "on"}).exitCode == 0;
    }
    std::string Screen() { return Run({"capture-pane", "-p", "-t", "poll"}).out; }
    void Keys(const std::string &keys) { Run({"send-keys", "-t", "poll", keys}); }

    // The screen once it shows `part` (and `also`, when given: a screen
    // caught between a round's header and its table shows only the header);
    // empty if it never does in time.
    std::string WaitFor(const std::string &part, const std::string &also = "") {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string screen = Screen();
            if (Has(screen, part) && Has(screen, also))
                return screen;
            usleep(20000);
        }
        return "";
    }

  private:
    ToolRun Run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"tmux", "-L", socket_});
        return RunProgram(arguments);
    }
    std::string socket_;
};

TEST(QivmaPoll, KeepsItsShapeOnAnEightyColumnTerminalAndSumsUpOnCtrlC) {
    if (!Tmux::Available())
        GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
    Tmux tmux;
    // 32-bit tags with their floats and a station that never answers: rows
    // that are wider than the terminal unless the table fits them.
    ASSERT_TRUE(tmux.Start(tooltest::ToolPath() +
                           " --sim --sim-station 01 poll 01D00100 01E00100 01E00102 07D00100 "
                           "--interval 200"));
    size_t rows = 0;
    for (int round = 1; round <= 10; ++round) {
        const std::string screen = tmux.WaitFor("round " + std::to_string(round) + ",", "07:D100");
        ASSERT_FALSE(screen.empty()) << "round " << round << ":\n" << tmux.Screen();
        std::vector<std::string> lines = Lines(screen);
        while (!lines.empty() && lines.back().empty())
            lines.pop_back();
        if (round == 1)
            rows = lines.size();
        EXPECT_EQ(lines.size(), rows) << screen;
        EXPECT_EQ(CountContaining(lines, "qivma poll: round"), 1u) << screen;
        EXPECT_EQ(CountContaining(lines, "address"), 1u) << screen;
        EXPECT_EQ(CountContaining(lines, "07:D100"), 1u) << screen;
        for (const std::string &line : lines)
            EXPECT_LE(Characters(line), 80u) << line;
    }
    EXPECT_EQ(rows, 6u);
    tmux.Keys("C-c");
    const std::string end = tmux.WaitFor("poll summary");
    ASSERT_FALSE(end.empty()) << tmux.Screen();
    EXPECT_TRUE(Has(end, "01D00100   1")) << end;
    EXPECT_TRUE(Has(end, "07D00100   0 good")) << end;
    EXPECT_TRUE(Has(end, "failed (100% lost), response min/avg/max")) << end;
}

TEST(QivmaPoll, PlainLinesCsvAndASummaryWhenNotOnATerminal) {
    char csvPath[] = "/tmp/qivma-poll-csv-XXXXXX";
    const int fd = mkstemp(csvPath);
    ASSERT_GE(fd, 0);
    close(fd);
    const ToolRun run = Qivma({"--sim", "--sim-station", "01", "poll", "01D00100", "07D00100",
                               "--for", "2", "--interval", "0", "--csv", csvPath});
    EXPECT_EQ(run.exitCode, 1) << run.both();
    EXPECT_FALSE(Has(run.out, "\x1b[")) << run.out;
    EXPECT_TRUE(Has(run.out, "round 1  01:D100    = 100 (0x0064)  [")) << run.out;
    EXPECT_TRUE(Has(run.out, "round 2  07:D100    failed (status 2)")) << run.out;
    EXPECT_TRUE(Has(run.out, "--- poll summary: 2 rounds in")) << run.out;
    EXPECT_TRUE(Has(run.out, "01D00100   2 good, 0 failed (0% lost)")) << run.out;
    std::ifstream csv(csvPath);
    std::stringstream content;
    content << csv.rdbuf();
    unlink(csvPath);
    const std::vector<std::string> lines = Lines(content.str());
    ASSERT_EQ(lines.size(), 5u) << content.str();
    EXPECT_EQ(lines[0], "time,tag,address,value,status,ms");
    EXPECT_TRUE(Has(lines[1], ",01D00100,D100,\"100 (0x0064)\",ok,")) << lines[1];
    EXPECT_TRUE(Has(lines[2], ",07D00100,D100,\"failed: no answer")) << lines[2];
}

TEST(QivmaPoll, JsonHasNumbersForValuesAndTheSummary) {
    const ToolRun run =
        Qivma({"--sim", "--json", "poll", "01D00100", "01E00100", "--for", "2", "--interval", "0"});
    ASSERT_EQ(run.exitCode, 0) << run.both();
    const nlohmann::json document = nlohmann::json::parse(run.out);
    EXPECT_EQ(document["rounds"], 2);
    ASSERT_EQ(document["results"].size(), 4u);
    EXPECT_EQ(document["results"][0]["values"][0]["value"], 100);
    EXPECT_EQ(document["results"][1]["values"][0]["value"], 6619236);
    EXPECT_EQ(document["results"][3]["round"], 2);
    EXPECT_EQ(document["summary"][1]["good"], 2);

    const ToolRun lines =
        Qivma({"--sim", "--json-lines", "poll", "01D00100", "--for", "3", "--interval", "0"});
    ASSERT_EQ(lines.exitCode, 0) << lines.both();
    const std::vector<std::string> objects = Lines(lines.out);
    ASSERT_EQ(objects.size(), 4u) << lines.out;
    for (const std::string &object : objects)
        EXPECT_TRUE(nlohmann::json::parse(object).is_object()) << object;
}

// The machine formats as a person pipes them: one valid document each.
TEST(QivmaPoll, JsonOutputsPassThroughAJsonParser) {
    if (RunProgram({"python3", "-c", "pass"}).exitCode != 0)
        GTEST_SKIP() << "python3 is not installed";
    const std::string tool = tooltest::ToolPath();
    for (const std::string &command :
         {tool + " --sim --json read 01D00100 01E00100", tool + " --json info",
          tool + " --json --port /nonexistent/tty read 01Q00100",
          tool + " --sim --json poll 01D00100 --for 2 --interval 100"}) {
        const ToolRun run =
            RunProgram({"sh", "-c", command + " | python3 -m json.tool > /dev/null"});
        EXPECT_EQ(run.exitCode, 0) << command << "\n" << run.both();
    }
}

}  // namespace
