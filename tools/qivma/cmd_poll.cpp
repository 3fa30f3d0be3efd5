// qivma poll: the addresses read again and again. On a terminal a table kept
// in place; elsewhere plain lines; a summary per tag at the end, as after
// Ctrl-C.
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include <chrono>

#include "tools/qivma/commands.h"
#include "tools/qivma/poll_screen.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tags.h"
#include "tools/qivma/tool_platform.h"

namespace {

// After this many rounds in which the port failed for every tag, poll stops.
constexpr int kPortFailedRoundsToStop = 3;

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
}

// Local time with milliseconds: 2026-12-08T13:04:16.123.
std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", localtime(&seconds));
    char stamped[48];
    snprintf(stamped, sizeof stamped, "%s.%03ld", text, ms);
    return stamped;
}

std::string CsvField(const std::string &text) {
    std::string field = "\"";
    for (const char c : text)
        field += c == '"' ? std::string("\"\"") : std::string(1, c);
    return field + "\"";
}

// One tag of the poll: its plan, its statistics and what its last read showed.
struct Polled {
    TagPlan plan;
    PollStats stats;
    double lastMs = 0;
    std::vector<std::string> values;  // per element
};

class Poller {
  public:
    Poller(const CommandLine &line, std::vector<TagPlan> plans)
        : line_(line), output_(line.global.output, "poll") {
        for (TagPlan &plan : plans) {
            Polled polled;
            polled.plan = std::move(plan);
            polled.values.assign(polled.plan.elements.size(), "-");
            tags_.push_back(std::move(polled));
        }
        showStation_ = SeveralStations(Plans());
        redraw_ = !output_.Json() && StdoutIsTerminal();
        if (redraw_)
            EnableTerminalSequences();
        if (!line.poll.csvPath.empty()) {
            csv_ = fopen(line.poll.csvPath.c_str(), "a");
            if (csv_ == nullptr)
                throw UsageError("--csv: " + line.poll.csvPath + " cannot be opened to append to");
            if (ftell(csv_) == 0)
                fprintf(csv_, "time,tag,address,value,status,ms\n");
        }
    }
    ~Poller() {
        if (csv_ != nullptr)
            fclose(csv_);
    }

    std::vector<TagPlan> Plans() const {
        std::vector<TagPlan> plans;
        for (const Polled &tag : tags_)
            plans.push_back(tag.plan);
        return plans;
    }

    int Run(Session &session) {
        const auto started = std::chrono::steady_clock::now();
        int rounds = 0;
        for (int round = 1;
             !g_interrupted && (line_.poll.rounds == 0 || round <= line_.poll.rounds); ++round) {
            const auto roundStart = std::chrono::steady_clock::now();
            uint32_t portError = 0;
            bool portFailedEverywhere = true;
            for (Polled &tag : tags_) {
                if (g_interrupted)
                    break;
                const uint32_t error = ReadOnce(session, tag, round);
                portFailedEverywhere = portFailedEverywhere && error != 0;
                portError = error != 0 ? error : portError;
            }
            rounds = round;
            if (redraw_)
                Draw(round);
            // A port that has failed is not a station that may answer again:
            // polling it on would only repeat the failure.
            portFailedRounds_ = portFailedEverywhere ? portFailedRounds_ + 1 : 0;
            if (portFailedRounds_ >= kPortFailedRoundsToStop) {
                fprintf(stderr,
                        "qivma: the port failed in %d rounds in a row (%s): poll stops; check the "
                        "device and start it again\n",
                        portFailedRounds_, SystemErrorText(portError).c_str());
                failures_ = true;
                break;
            }
            WaitForNextRound(roundStart, round);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        PrintSummary(rounds, seconds);
        return output_.Finish(failures_ ? kExitFailed : kExitDone);
    }

  private:
    // Reads the tag once; returns the port's error code if the port failed.
    uint32_t ReadOnce(Session &session, Polled &tag, int round) {
        const TagResult result = Transfer(session, tag.plan, Operation::kRead);
        tag.stats.Add(result.ok, result.milliseconds);
        tag.lastMs = result.milliseconds;
        failures_ = failures_ || !result.ok;
        const std::string time = Timestamp();
        for (size_t i = 0; i < tag.plan.elements.size(); ++i) {
            uint16_t words[2] = {0, 0};
            if (ElementWords(result, tag.plan.elements[i], words)) {
                tag.values[i] =
                    ShowValue(tag.plan.kind, words, line_.tag.format, line_.tag.wordOrder).text;
            } else {
                tag.values[i] = "failed: " + result.explanation.error;
            }
            if (csv_ != nullptr) {
                fprintf(csv_, "%s,%s,%s,%s,%s,%.1f\n", time.c_str(), tag.plan.address.c_str(),
                        tag.plan.elements[i].label.c_str(), CsvField(tag.values[i]).c_str(),
                        result.ok ? "ok" : CsvField("failed: " + result.explanation.error).c_str(),
                        result.milliseconds);
            }
        }
        if (csv_ != nullptr)
            fflush(csv_);
        Json record = ResultJson(result, line_.tag, line_.global.trace);
        record["round"] = round;
        record["time"] = time;
        std::vector<std::string> text;
        if (!redraw_) {
            for (const std::string &shown :
                 ResultText(result, line_.tag, line_.global.trace, showStation_)) {
                // A hint is said once, not every round.
                if (round > 1 && shown.find(" hint: ") != std::string::npos)
                    continue;
                char ms[24];
                snprintf(ms, sizeof ms, "  [%.1f ms]", result.milliseconds);
                text.push_back("round " + std::to_string(round) + "  " + shown +
                               (shown.rfind("   ", 0) == 0 ? "" : ms));
            }
        }
        output_.Record(record, text);
        return result.outcomes.empty() ? 0 : result.outcomes.back().portError;
    }

    void Draw(int round) {
        const int columns = TerminalColumns();
        const int rows = TerminalRows();
        std::vector<PollRow> table;
        for (const Polled &tag : tags_) {
            for (size_t i = 0; i < tag.plan.elements.size(); ++i) {
                const std::string label =
                    (showStation_ ? tag.plan.station + ":" : "") + tag.plan.elements[i].label;
                table.push_back({label, &tag.stats, tag.lastMs, tag.values[i]});
            }
        }
        const std::string title = "qivma poll: round " + std::to_string(round) + ", every " +
                                  std::to_string(line_.poll.intervalMs) +
                                  " ms; Ctrl-C ends it with a summary";
        // One column and one line spare: a character in the last column or a
        // line feed on the last line would make the terminal wrap or scroll.
        const std::vector<std::string> lines =
            PollTable(title, table, columns > 1 ? columns - 1 : 79, rows > 1 ? rows - 1 : 23);
        fputs(DrawInPlace(lines, !drawn_).c_str(), stdout);
        fflush(stdout);
        drawn_ = true;
    }

    void WaitForNextRound(std::chrono::steady_clock::time_point roundStart, int round) {
        if (line_.poll.rounds != 0 && round >= line_.poll.rounds)
            return;
        const auto next = roundStart + std::chrono::milliseconds(line_.poll.intervalMs);
        while (!g_interrupted && std::chrono::steady_clock::now() < next)
            SleepMilliseconds(10);
    }

    void PrintSummary(int rounds, double seconds) {
        char heading[160];
        snprintf(heading, sizeof heading, "--- poll summary: %d round%s in %.1f s ---", rounds,
                 rounds == 1 ? "" : "s", seconds);
        std::vector<std::string> text = {heading};
        Json summary = Json::array();
        for (const Polled &tag : tags_) {
            char label[32];
            snprintf(label, sizeof label, "%-10s ", tag.plan.address.c_str());
            text.push_back(label + tag.stats.Describe());
            summary.push_back({{"tag", tag.plan.address},
                               {"good", tag.stats.good},
                               {"failed", tag.stats.failed},
                               {"minMs", round(tag.stats.minMs * 10) / 10},
                               {"avgMs", round(tag.stats.AverageMs() * 10) / 10},
                               {"maxMs", round(tag.stats.maxMs * 10) / 10}});
        }
        output_.Set("rounds", rounds);
        output_.Set("seconds", round(seconds * 10) / 10);
        output_.Summary("summary", summary, text);
    }

    const CommandLine &line_;
    Output output_;
    std::vector<Polled> tags_;
    bool showStation_ = false;
    bool redraw_ = false;
    bool drawn_ = false;
    bool failures_ = false;
    int portFailedRounds_ = 0;  // rounds in a row in which the port failed for every tag
    FILE *csv_ = nullptr;
};

}  // namespace

int RunPoll(const CommandLine &line) {
    if (line.tag.arguments.empty())
        throw UsageError("poll needs an ADDRESS");
    Poller poller(line, PlanTags(line, line.tag.arguments, Operation::kRead));
    Session session(line.global.line);
    if (!StartFor(session, poller.Plans(), line))
        return kExitFailed;
    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
    return poller.Run(session);
}
