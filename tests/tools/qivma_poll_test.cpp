// qivma poll: on a terminal (tmux, 80 by 24) a table that keeps its shape
// round after round and a summary on Ctrl-C; elsewhere plain lines, CSV and
// JSON that parse.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
    // A server of its own for each: one being killed is not one to start in.
    Tmux()
        : socket_("qivma-poll-test-" + std::to_string(getpid()) + "-" + std::to_string(++made_)) {}
    ~Tmux() { Run({"kill-server"}); }

    static bool Available() { return RunProgram({"tmux", "-V"}).exitCode == 0; }

    bool Start(const std::string &command) {
        return Run({"new-session", "-d", "-s", "poll", "-x", "80", "-y", "24", command}).exitCode ==
                   0 &&
               Run({"set-option", "-t", "poll", "remain-on-exit", "on"}).exitCode == 0;
    }
    std::string Screen() { return Run({"capture-pane", "-p", "-t", "poll"}).out; }
    // The screen with what scrolled off it.
    std::string History() { return Run({"capture-pane", "-p", "-S", "-", "-t", "poll"}).out; }
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
    static int made_;
};

int Tmux::made_ = 0;

// The summary's rows: each tag's good and failed reads, which add up to the
// rounds counted; false if a row does not parse.
bool SummaryAddsUp(const std::string &screen, std::string *why) {
    const size_t at = screen.find("--- poll summary: ");
    if (at == std::string::npos) {
        *why = "no summary";
        return false;
    }
    const int rounds = atoi(screen.c_str() + at + strlen("--- poll summary: "));
    const std::vector<std::string> lines = Lines(screen.substr(at));
    int rows = 0;
    for (size_t i = 2; i < lines.size(); ++i) {
        char label[32];
        long good = 0, failed = 0;
        if (sscanf(lines[i].c_str(), "%31s %ld %ld", label, &good, &failed) != 3)
            continue;
        ++rows;
        if (good + failed != rounds) {
            *why = lines[i] + ": " + std::to_string(good + failed) + " reads in " +
                   std::to_string(rounds) + " rounds";
            return false;
        }
    }
    *why = "no rows";
    return rows > 0;
}

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
        const std::string screen = tmux.WaitFor("round " + std::to_string(round) + ":", "07:D100");
        ASSERT_FALSE(screen.empty()) << "round " << round << ":\n" << tmux.Screen();
        std::vector<std::string> lines = Lines(screen);
        while (!lines.empty() && lines.back().empty())
            lines.pop_back();
        if (round == 1)
            rows = lines.size();
        EXPECT_EQ(lines.size(), rows) << screen;
        EXPECT_EQ(CountContaining(lines, "qivma poll, round"), 1u) << screen;
        EXPECT_EQ(CountContaining(lines, "19200-8O1, time-out 40 ms, every 200 ms"), 1u) << screen;
        EXPECT_EQ(CountContaining(lines, "label "), 1u) << screen;
        EXPECT_EQ(CountContaining(lines, " retries "), 1u) << screen;
        EXPECT_EQ(CountContaining(lines, "01:D100-D101 "), 1u) << screen;
        EXPECT_EQ(CountContaining(lines, "07:D100  hint: nothing came back at all"), 1u) << screen;
        for (const std::string &line : lines)
            EXPECT_LE(Characters(line), 80u) << line;
    }
    // The title, the header, four rows, the station's hint, the footer.
    EXPECT_EQ(rows, 8u);
    tmux.Keys("C-c");
    const std::string end = tmux.WaitFor("poll summary", "01:D102-D103");
    ASSERT_FALSE(end.empty()) << tmux.Screen();
    for (const std::string &line : Lines(end))
        EXPECT_LE(Characters(line), 80u) << line;
    EXPECT_TRUE(Has(end, "label         good failed  lost retries   min ms   avg ms   max ms"))
        << end;
    EXPECT_TRUE(Has(end, "07:D100          0 ")) << end;
    EXPECT_TRUE(Has(end, " 100% ")) << end;
    std::string why;
    EXPECT_TRUE(SummaryAddsUp(end, &why)) << why << "\n" << end;
}

// A late station and a dead one, traced: the frames stay in the table, with
// what each station's reads say; plain lines where the terminal takes no
// escape sequences.
TEST(QivmaPoll, TheTraceAndWhatToTryStayInTheTable) {
    if (!Tmux::Available())
        GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
    Tmux tmux;
    ASSERT_TRUE(tmux.Start(tooltest::ToolPath() +
                           " --sim --sim-station 01 --sim-fault-every 1:late:60"
                           " poll 01D00100 07D00100 --interval 100 --trace"));
    // Every answer 60 ms late: each read finds station 01 doubtful, its
    // first status request's answer comes while the second waits for its
    // own, and the read's while its second frame waits.
    const std::string screen = tmux.WaitFor("round 2:", "%01$RD64");
    ASSERT_FALSE(screen.empty()) << tmux.Screen();
    EXPECT_TRUE(Has(screen, "-> %01#RT01<CR>")) << screen;
    EXPECT_TRUE(Has(screen, "-> %01#RDD0010000100")) << screen;
    EXPECT_TRUE(Has(screen, "(no answer within 40 ms)")) << screen;
    EXPECT_TRUE(Has(screen, "1 late answer: try --timeout")) << screen;
    for (const std::string &line : Lines(screen))
        EXPECT_LE(Characters(line), 80u) << line;
    tmux.Keys("C-c");
    // The dead station's row of the summary, its reads all lost: the table
    // above it names the station too.
    const std::string end = tmux.WaitFor("poll summary", " 100% ");
    ASSERT_FALSE(end.empty()) << tmux.Screen();
    std::string why;
    EXPECT_TRUE(SummaryAddsUp(end, &why)) << why << "\n" << end;
}

TEST(QivmaPoll, PlainLinesWhereTheTerminalTakesNoEscapeSequences) {
    if (!Tmux::Available())
        GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
    Tmux dumb;
    // Still running when the screen is read: a pane that ends scrolls its
    // first line away.
    ASSERT_TRUE(dumb.Start("env TERM=dumb " + tooltest::ToolPath() +
                           " --sim poll 01D00100 --interval 100"));
    const std::string lines = dumb.WaitFor("round 2  ");
    EXPECT_TRUE(Has(lines, "qivma poll: ")) << lines;
    EXPECT_TRUE(Has(lines, "round 1  D100       = 100 (0x0064)")) << lines;
    EXPECT_FALSE(Has(lines, "qivma poll, round")) << lines;
}

// A long read shows its frames as they go, and Ctrl-C keeps what was read.
TEST(QivmaPoll, ALongReadShowsItsProgressAndKeepsWhatWasReadOnCtrlC) {
    if (!Tmux::Available())
        GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
    Tmux tmux;
    ASSERT_TRUE(tmux.Start(tooltest::ToolPath() + " --sim --baud 2400 read 01D00000 --count 100"));
    const std::string progress = tmux.WaitFor("reading 01D00000: frame 2 of 4 (D27-D53)");
    ASSERT_FALSE(progress.empty()) << tmux.Screen();
    tmux.Keys("C-c");
    ASSERT_FALSE(tmux.WaitFor(" not read").empty()) << tmux.Screen();
    const std::string end = tmux.History();
    EXPECT_TRUE(Has(end, "D0         = 0 (0x0000)")) << end;
    EXPECT_TRUE(Has(end, "D26        = 26 (0x001A)")) << end;
    EXPECT_TRUE(Has(end, "D0-D99     interrupted (Ctrl-C) after frame ")) << end;
    EXPECT_FALSE(Has(end, "reading 01D00000")) << end;
}

TEST(QivmaPoll, PlainLinesCsvAndASummaryWhenNotOnATerminal) {
    char csvPath[] = "/tmp/qivma-poll-csv-XXXXXX";
    const int fd = mkstemp(csvPath);
    ASSERT_GE(fd, 0);
    close(fd);
    // Station 01's first read goes unanswered, after two retries, and so do
    // the three status requests that each attempt of the second sends to
    // bring it back in step (the read is then not sent): 2 of its 3 reads
    // lost, the third resynchronised by its first.
    std::vector<std::string> arguments = {"--sim", "--sim-station", "01"};
    for (int i = 0; i < 6; ++i)
        arguments.insert(arguments.end(), {"--sim-fault", "no-answer"});
    arguments.insert(arguments.end(), {"poll", "01D00100", "07D00100", "--for", "3", "--interval",
                                       "0", "--csv", csvPath});
    const ToolRun run = Qivma(arguments);
    EXPECT_EQ(run.exitCode, 1) << run.both();
    EXPECT_FALSE(Has(run.out, "\x1b[")) << run.out;
    EXPECT_TRUE(Has(run.out, "qivma poll: pts/")) << run.out;
    EXPECT_TRUE(Has(run.out, " 19200-8O1, time-out 40 ms, every 0 ms\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "round 3  01:D100    = 100 (0x0064)  [")) << run.out;
    EXPECT_FALSE(Has(run.out, "failed (")) << run.out;
    EXPECT_TRUE(Has(run.err, "round 1  01:D100    failed (status 2)")) << run.err;
    EXPECT_TRUE(Has(run.err, "round 2  07:D100    failed (status 2)")) << run.err;
    EXPECT_TRUE(Has(run.out, "--- poll summary: 3 rounds in")) << run.out;
    // 2 of 3 is 67%, rounded.
    // Retries: the first read's two; the status requests to a doubtful
    // station are not counted as retries of the read.
    EXPECT_TRUE(Has(run.out, "01:D100     1      2   67%       2 ")) << run.out;
    EXPECT_TRUE(Has(run.out, "07:D100     0      3  100%       2 ")) << run.out;
    // A second run appends without a second header.
    const ToolRun again = Qivma({"--sim", "poll", "01D00100", "--for", "1", "--csv", csvPath});
    EXPECT_EQ(again.exitCode, 0) << again.both();
    std::ifstream csv(csvPath);
    std::stringstream content;
    content << csv.rdbuf();
    const std::vector<std::string> lines = Lines(content.str());
    ASSERT_EQ(lines.size(), 8u) << content.str();
    EXPECT_EQ(lines[0], "time,tag,label,raw,value,status,message,ms,attempts");
    for (size_t i = 1; i < lines.size(); ++i) {
        int year, month, day, hour, minute, second, ms, offsetHours, offsetMinutes;
        char sign;
        EXPECT_EQ(sscanf(lines[i].c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d,", &year, &month,
                         &day, &hour, &minute, &second, &ms, &sign, &offsetHours, &offsetMinutes),
                  10)
            << lines[i];
        EXPECT_TRUE(sign == '+' || sign == '-') << lines[i];
    }
    EXPECT_TRUE(Has(lines[1],
                    ",01D00100,01:D100,,,2,\"no answer from station 01 (time-out 40 "
                    "ms, 3 attempts)\","))
        << lines[1];
    EXPECT_TRUE(Has(lines[1], ",3")) << lines[1];
    EXPECT_TRUE(Has(lines[3],
                    ",2,no answer from station 01 to the 3 status requests that bring "
                    "it back in step"))
        << lines[3];
    EXPECT_TRUE(Has(lines[5],
                    ",01D00100,01:D100,100,100,0,station 01 had left a request "
                    "unanswered in its time; resynchronised before this read,"))
        << lines[5];
    EXPECT_EQ(lines[5].substr(lines[5].size() - 2), ",1") << lines[5];
    EXPECT_TRUE(Has(lines[7], ",01D00100,D100,100,100,0,,")) << lines[7];

    // A file that holds something else is not appended to.
    { std::ofstream(csvPath) << "time,tag,address,value,status,ms\n"; }
    const ToolRun other = Qivma({"--sim", "poll", "01D00100", "--for", "1", "--csv", csvPath});
    EXPECT_EQ(other.exitCode, 2) << other.both();
    EXPECT_TRUE(Has(other.err, "is not the header")) << other.err;
    unlink(csvPath);

    // The log on stdout, or on /dev/stdout, starts with its header too; the
    // summary then goes to stderr.
    for (const char *path : {"-", "/dev/stdout"}) {
        const ToolRun piped =
            Qivma({"--sim", "poll", "01E00100", "--for", "2", "--interval", "0", "--csv", path});
        EXPECT_EQ(piped.exitCode, 0) << path << "\n" << piped.both();
        const std::vector<std::string> logged = Lines(piped.out);
        ASSERT_GE(logged.size(), 3u) << path << "\n" << piped.out;
        EXPECT_EQ(logged[0], "time,tag,label,raw,value,status,message,ms,attempts") << path;
        EXPECT_TRUE(Has(logged[1], ",01E00100,D100-D101,6619236,6619236,0,,")) << logged[1];
        EXPECT_EQ(logged.size(), 3u) << path << "\n" << piped.out;
        EXPECT_TRUE(Has(piped.err, "--- poll summary: 2 rounds")) << path << "\n" << piped.err;
    }
}

// -q: a line of values per round, "-" for one that failed; nothing else on
// stdout.
TEST(QivmaPoll, QuietPrintsALineOfValuesPerRound) {
    const ToolRun run = Qivma({"-q", "--sim", "--sim-station", "01", "poll", "01D00100", "07D00100",
                               "01E00100", "--for", "2", "--interval", "0"});
    EXPECT_EQ(run.exitCode, 1) << run.both();
    EXPECT_EQ(run.out, "100 - 6619236\n100 - 6619236\n");
    EXPECT_TRUE(Has(run.err, "--- poll summary: 2 rounds")) << run.err;
    EXPECT_TRUE(Has(run.err, "07:D100    failed (status 2)")) << run.err;
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
    EXPECT_EQ(document["summary"][1]["label"], "D100-D101");
    EXPECT_EQ(document["summary"][1]["retries"], 0);
    EXPECT_EQ(document["line"], "19200-8O1");
    EXPECT_EQ(document["timeoutMs"], 40);

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

TEST(QivmaPoll, AStationThatAnsweredLateIsBroughtInStepAndSaysSo) {
    // Round 1's answers all come 300 ms late, past the horizon (183 ms at
    // this time-out): the read fails, and round 2 first sends the status
    // request, reads the late answers away, and only then its own request.
    const ToolRun run = Qivma({"--sim", "--sim-fault", "late:300", "poll", "01D00100", "--for", "2",
                               "--interval", "0", "--trace"});
    EXPECT_EQ(run.exitCode, 1) << run.both();
    EXPECT_TRUE(Has(run.err, "round 1  D100       failed (status 2)")) << run.both();
    EXPECT_TRUE(Has(run.out + run.err, "round 2     rt ")) << run.both();
    EXPECT_TRUE(Has(run.out, "round 2  D100       = 100 (0x0064)")) << run.both();
    EXPECT_TRUE(Has(run.out + run.err,
                    "round 2  D100       note: station 01 answered later "
                    "than the horizon; resynchronised before this read"))
        << run.both();
}

}  // namespace
