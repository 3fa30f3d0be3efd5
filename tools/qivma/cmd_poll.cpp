// qivma poll: the addresses read again and again. On a terminal a table kept
// in place; elsewhere plain lines; a summary per tag at the end, as after
// Ctrl-C. Every read can go to a CSV log as well.
#include <math.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <fstream>

#include "tools/qivma/commands.h"
#include "tools/qivma/interrupt.h"
#include "tools/qivma/poll_screen.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tags.h"
#include "tools/qivma/tool_platform.h"

namespace {

// After this many rounds in which the port failed for every tag, poll stops.
constexpr int kPortFailedRoundsToStop = 3;

const char kCsvHeader[] = "time,tag,label,raw,value,status,message,ms,attempts";

// Local time with milliseconds and the offset from UTC:
// 2026-12-08T13:04:16.123+01:00.
std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    struct tm local = *localtime(&seconds);
    struct tm utc = *gmtime(&seconds);
    utc.tm_isdst = local.tm_isdst;
    const long offset = static_cast<long>(difftime(seconds, mktime(&utc))) / 60;
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    char stamped[96];
    snprintf(stamped, sizeof stamped, "%s.%03ld%c%02ld:%02ld", text, ms, offset < 0 ? '-' : '+',
             labs(offset) / 60, labs(offset) % 60);
    return stamped;
}

// A field as RFC 4180 has it: quoted when it holds a comma, a quote or a
// line break, or starts or ends with a space.
std::string CsvField(const std::string &text) {
    const bool plain = text.find_first_of(",\"\r\n") == std::string::npos &&
                       (text.empty() || (text.front() != ' ' && text.back() != ' '));
    if (plain)
        return text;
    std::string field = "\"";
    for (const char c : text)
        field += c == '"' ? std::string("\"\"") : std::string(1, c);
    return field + "\"";
}

// The element's words as one number, as they lie in the controller.
std::string RawValue(ValueKind kind, const uint16_t words[2], WordOrder order) {
    if (kind != ValueKind::kDoubleWord)
        return std::to_string(words[0]);
    const uint32_t low = order == WordOrder::kLowFirst ? words[0] : words[1];
    const uint32_t high = order == WordOrder::kLowFirst ? words[1] : words[0];
    return std::to_string(high << 16 | low);
}

// One tag of the poll: its plan, its statistics and what its last read showed.
struct Polled {
    TagPlan plan;
    PollStats stats;
    double lastMs = 0;
    std::vector<std::string> values;  // per element, as the table shows them
    std::string advice;               // the last read's hint or note, or ""
    std::string saidHint;             // the hint the plain lines said last
};

class CsvLog {
  public:
    explicit CsvLog(const std::string &path) {
        if (path.empty())
            return;
        toStdout_ = path == "-";
        file_ = toStdout_ ? stdout : fopen(path.c_str(), "a");
        if (file_ == nullptr)
            throw UsageError("--csv: " + path + " cannot be opened to append to");
        // /dev/stdout, or a name of whatever stdout is, is stdout.
        struct stat log, out;
        if (!toStdout_ && fstat(fileno(file_), &log) == 0 && fstat(fileno(stdout), &out) == 0 &&
            log.st_dev == out.st_dev && log.st_ino == out.st_ino) {
            fclose(file_);
            file_ = stdout;
            toStdout_ = true;
        }
        // A file that already holds lines keeps them, under its header; a
        // new or empty file, a pipe or a terminal gets the header first.
        struct stat info;
        const bool appending = !toStdout_ && fstat(fileno(file_), &info) == 0 &&
                               S_ISREG(info.st_mode) && info.st_size > 0;
        if (appending) {
            std::ifstream in(path);
            std::string first;
            std::getline(in, first);
            if (!first.empty() && first.back() == '\r')
                first.pop_back();
            if (first != kCsvHeader) {
                fclose(file_);
                file_ = nullptr;
                throw UsageError("--csv: the first line of " + path + " is not the header " +
                                 kCsvHeader + ": name a new file for this log");
            }
        } else {
            fprintf(file_, "%s\n", kCsvHeader);
            fflush(file_);
        }
    }
    ~CsvLog() {
        if (file_ != nullptr && !toStdout_)
            fclose(file_);
    }
    bool Open() const { return file_ != nullptr; }
    bool ToStdout() const { return toStdout_; }

    void Write(const std::vector<std::string> &fields) {
        std::string line;
        for (const std::string &field : fields)
            line += (line.empty() ? "" : ",") + CsvField(field);
        fprintf(file_, "%s\n", line.c_str());
        fflush(file_);
    }

  private:
    FILE *file_ = nullptr;
    bool toStdout_ = false;
};

class Poller {
  public:
    Poller(const CommandLine &line, std::vector<TagPlan> plans)
        : line_(line), output_(line.global.output, "poll"), csv_(line.poll.csvPath) {
        for (TagPlan &plan : plans) {
            Polled polled;
            polled.plan = std::move(plan);
            polled.values.assign(polled.plan.elements.size(), "-");
            tags_.push_back(std::move(polled));
        }
        showStation_ = SeveralStations(Plans());
        // stdout is the log's, or the values', alone.
        plain_ = !csv_.ToStdout() && !line.global.quiet;
        redraw_ = plain_ && !output_.Json() && StdoutTakesSequences();
        if (redraw_)
            EnableTerminalSequences();
    }

    std::vector<TagPlan> Plans() const {
        std::vector<TagPlan> plans;
        for (const Polled &tag : tags_)
            plans.push_back(tag.plan);
        return plans;
    }

    int Run(Session &session) {
        banner_ = session.PortText() + " " + LineSettingsText(session.Options().settings) +
                  ", time-out " + std::to_string(session.Options().timeoutMs) + " ms, every " +
                  std::to_string(line_.poll.intervalMs) + " ms";
        output_.Set("port", session.PortName());
        output_.Set("line", LineSettingsText(session.Options().settings));
        output_.Set("timeoutMs", session.Options().timeoutMs);
        if (!output_.Json() && !redraw_) {
            FILE *to = plain_ ? stdout : stderr;
            fprintf(to, "qivma poll: %s\n", banner_.c_str());
            fflush(to);
        }
        const auto started = std::chrono::steady_clock::now();
        int rounds = 0;
        bool cutShort = false;
        for (int round = 1;
             !Interrupted() && (line_.poll.rounds == 0 || round <= line_.poll.rounds); ++round) {
            const auto roundStart = std::chrono::steady_clock::now();
            std::string portFailure;
            bool portFailedEverywhere = true;
            std::vector<TagResult> results;
            trace_.clear();
            for (Polled &tag : tags_) {
                if (Interrupted())
                    break;
                results.push_back(ReadOnce(session, tag, round));
                const TagResult &result = results.back();
                const uint32_t error =
                    result.outcomes.empty() ? 0 : result.outcomes.back().portError;
                portFailedEverywhere = portFailedEverywhere && error != 0;
                if (error != 0)
                    portFailure = result.outcomes.back().portFailure;
            }
            // A round counts when every tag was read in it, so that each
            // tag's reads add up to the rounds.
            if (results.size() < tags_.size()) {
                cutShort = true;
                break;
            }
            for (size_t i = 0; i < tags_.size(); ++i) {
                const TagResult &result = results[i];
                tags_[i].stats.Add(result.ok, result.milliseconds,
                                   result.attempts - static_cast<long>(result.outcomes.size()));
            }
            rounds = round;
            if (line_.global.quiet)
                PrintQuietRound(results);
            if (redraw_)
                Draw(round);
            // A port that has failed is not a station that may answer again:
            // polling it on would only repeat the failure.
            portFailedRounds_ = portFailedEverywhere ? portFailedRounds_ + 1 : 0;
            if (portFailedRounds_ >= kPortFailedRoundsToStop) {
                fprintf(stderr,
                        "qivma: the port failed in %d rounds in a row (%s): poll stops; check the "
                        "device and start it again\n",
                        portFailedRounds_, portFailure.c_str());
                failures_ = true;
                break;
            }
            WaitForNextRound(roundStart, round);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        PrintSummary(rounds, seconds, cutShort);
        return output_.Finish(failures_ ? kExitFailed : kExitDone);
    }

  private:
    TagResult ReadOnce(Session &session, Polled &tag, int round) {
        TagResult result = Transfer(session, tag.plan, Operation::kRead);
        tag.lastMs = result.milliseconds;
        failures_ = failures_ || !result.ok;
        const std::string time = Timestamp();
        const TagOptions &options = line_.tag;
        for (size_t i = 0; i < tag.plan.elements.size(); ++i) {
            const Element &element = tag.plan.elements[i];
            uint16_t words[2] = {0, 0};
            const bool read = ElementWords(result, element, words);
            ShownValue shown;
            if (read) {
                shown = ShowValue(tag.plan.kind, words, options.format, options.wordOrder);
                tag.values[i] = shown.text;
            } else {
                tag.values[i] = "failed: " + result.explanation.error;
            }
            if (csv_.Open()) {
                char ms[24];
                snprintf(ms, sizeof ms, "%.1f", result.milliseconds);
                csv_.Write({time, tag.plan.address, ElementLabel(tag.plan, element, showStation_),
                            read ? RawValue(tag.plan.kind, words, options.wordOrder) : "",
                            read ? PlainValue(shown) : "", std::to_string(result.status),
                            result.ok ? result.note : result.explanation.error, ms,
                            std::to_string(result.attempts)});
            }
        }
        tag.advice = !result.ok && !result.explanation.hint.empty()
                         ? RangeLabel(tag.plan, showStation_) + "  hint: " + result.explanation.hint
                     : result.ok && !result.note.empty()
                         ? RangeLabel(tag.plan, showStation_) + "  note: " + result.note
                         : "";
        Json record = ResultJson(result, options, line_.global.trace);
        record["round"] = round;
        record["time"] = time;
        TextLines text = ResultText(result, options, line_.global.trace, showStation_);
        if (line_.global.trace) {
            trace_.push_back(RangeLabel(tag.plan, showStation_) + ":");
            for (const std::string &shown : text.out) {
                if (shown.rfind("   ", 0) == 0)
                    trace_.push_back(shown);
            }
        }
        TextLines said;
        if (!redraw_) {
            char ms[24];
            snprintf(ms, sizeof ms, "  [%.1f ms]", result.milliseconds);
            const std::string prefix = "round " + std::to_string(round) + "  ";
            // Values to stdout unless the quiet line or the log has it.
            for (const std::string &shown : plain_ ? text.out : std::vector<std::string>())
                said.out.push_back(prefix + shown + (shown.rfind("   ", 0) == 0 ? "" : ms));
            for (const std::string &shown : text.err) {
                // A hint is said once, and again only when it changes.
                if (shown.find(" hint: ") != std::string::npos) {
                    if (shown == tag.saidHint)
                        continue;
                    tag.saidHint = shown;
                }
                said.err.push_back(prefix + shown);
            }
        }
        output_.Record(record, said);
        return result;
    }

    void PrintQuietRound(const std::vector<TagResult> &results) {
        if (output_.Json() || csv_.ToStdout())
            return;
        std::string line;
        for (size_t t = 0; t < tags_.size(); ++t) {
            const TagPlan &plan = tags_[t].plan;
            for (const Element &element : plan.elements) {
                uint16_t words[2] = {0, 0};
                std::string value = "-";
                if (ElementWords(results[t], element, words))
                    value = PlainValue(
                        ShowValue(plan.kind, words, line_.tag.format, line_.tag.wordOrder));
                line += (line.empty() ? "" : " ") + value;
            }
        }
        printf("%s\n", line.c_str());
        fflush(stdout);
    }

    void Draw(int round) {
        const int columns = TerminalColumns();
        const int rows = TerminalRows();
        std::vector<PollRow> table;
        std::vector<std::string> notes;
        for (const Polled &tag : tags_) {
            for (size_t i = 0; i < tag.plan.elements.size(); ++i) {
                table.push_back({ElementLabel(tag.plan, tag.plan.elements[i], showStation_),
                                 &tag.stats, tag.lastMs, tag.values[i]});
            }
            if (!tag.advice.empty())
                notes.push_back(tag.advice);
        }
        for (const std::string &line : trace_)
            notes.push_back(line);
        const std::string title = "qivma poll, round " + std::to_string(round) + ": " + banner_;
        // One column and one line spare: a character in the last column or a
        // line feed on the last line would make the terminal wrap or scroll.
        const std::vector<std::string> lines =
            PollTable(title, table, notes, "Ctrl-C ends the poll with a summary",
                      columns > 1 ? columns - 1 : 79, rows > 1 ? rows - 1 : 23);
        fputs(DrawInPlace(lines, !drawn_).c_str(), stdout);
        fflush(stdout);
        drawn_ = true;
    }

    void WaitForNextRound(std::chrono::steady_clock::time_point roundStart, int round) {
        if (line_.poll.rounds != 0 && round >= line_.poll.rounds)
            return;
        const auto next = roundStart + std::chrono::milliseconds(line_.poll.intervalMs);
        while (!Interrupted() && std::chrono::steady_clock::now() < next)
            SleepMilliseconds(10);
    }

    void PrintSummary(int rounds, double seconds, bool cutShort) {
        char heading[160];
        snprintf(heading, sizeof heading, "--- poll summary: %d round%s in %.1f s ---", rounds,
                 rounds == 1 ? "" : "s", seconds);
        std::vector<std::string> labels;
        std::vector<const PollStats *> stats;
        Json summary = Json::array();
        for (const Polled &tag : tags_) {
            const std::string label = RangeLabel(tag.plan, showStation_);
            labels.push_back(label);
            stats.push_back(&tag.stats);
            summary.push_back({{"tag", tag.plan.address},
                               {"label", label},
                               {"good", tag.stats.good},
                               {"failed", tag.stats.failed},
                               {"lostPercent", tag.stats.LostPercent()},
                               {"retries", tag.stats.retries},
                               {"minMs", round(tag.stats.minMs * 10) / 10},
                               {"avgMs", round(tag.stats.AverageMs() * 10) / 10},
                               {"maxMs", round(tag.stats.maxMs * 10) / 10}});
        }
        std::vector<std::string> text = {heading};
        for (const std::string &row : SummaryTable(labels, stats))
            text.push_back(row);
        if (cutShort) {
            text.push_back("(round " + std::to_string(rounds + 1) +
                           ", cut short by Ctrl-C, is not counted)");
        }
        output_.Set("rounds", rounds);
        output_.Set("seconds", round(seconds * 10) / 10);
        // Under the table, over the ^C that the terminal echoed.
        if (drawn_)
            fputs("\r\x1b[K", stdout);
        if (!plain_ && !output_.Json()) {
            // stdout holds the values or the log alone.
            for (const std::string &line : text)
                fprintf(stderr, "%s\n", line.c_str());
            return;
        }
        output_.Summary("summary", summary, text);
    }

    const CommandLine &line_;
    Output output_;
    CsvLog csv_;
    std::vector<Polled> tags_;
    std::string banner_;
    std::vector<std::string> trace_;  // the round's frames, for the table
    bool showStation_ = false;
    bool plain_ = true;
    bool redraw_ = false;
    bool drawn_ = false;
    bool failures_ = false;
    int portFailedRounds_ = 0;  // rounds in a row in which the port failed for every tag
};

}  // namespace

int RunPoll(const CommandLine &line) {
    if (line.tag.arguments.empty())
        throw UsageError("poll needs an ADDRESS");
    if (line.poll.csvPath == "-" && (line.global.output != OutputMode::kText || line.global.quiet))
        throw UsageError("--csv - puts the log on stdout, which --json and --quiet want too");
    Poller poller(line, PlanTags(line, line.tag.arguments, Operation::kRead));
    ToolSession session(line.global.line, line.global.sim);
    if (!StartFor(session, poller.Plans(), line))
        return kExitFailed;
    CatchInterrupts();
    return poller.Run(session);
}
