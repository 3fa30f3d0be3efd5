// qivma scan: which stations answer on the line, read by one register each.
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include <chrono>

#include "tools/qivma/commands.h"
#include "tools/qivma/explain.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tags.h"
#include "tools/qivma/tool_platform.h"
#include "tools/qivma/trace.h"
#include "wire/wire_rules.h"

namespace {

// Controllers are numbered 01 to 32, and a frame names a station by those two
// decimal digits as they are written: "10" is the controller numbered 10.
constexpr int kFirstStation = 1;
constexpr int kLastStation = 32;

int Station(const std::string &text) {
    long long value = 0;
    const bool digits = text.size() == 2 && isdigit(static_cast<unsigned char>(text[0])) &&
                        isdigit(static_cast<unsigned char>(text[1]));
    if (!digits || !ParseInteger(text, 0, kLastStation, value)) {
        throw UsageError(
            "scan takes stations as the controllers are numbered, two decimal digits from 00 "
            "to 32, not '" +
            text + "'");
    }
    return static_cast<int>(value);
}

void ParseRange(const std::string &range, int &first, int &last) {
    first = kFirstStation;
    last = kLastStation;
    if (range.empty())
        return;
    const size_t dash = range.find('-');
    first = Station(range.substr(0, dash));
    last = dash == std::string::npos ? first : Station(range.substr(dash + 1));
    if (first > last)
        throw UsageError("scan " + range + ": the first station comes after the last");
}

std::string TwoDigits(int station) {
    char text[8];
    snprintf(text, sizeof text, "%02d", station);
    return text;
}

// The register of one station: "D0" becomes 05D00000.
std::string AddressOf(int station, const std::string &reg) {
    if (reg.size() < 2 || reg.size() > 6)
        throw UsageError("--register takes a device and a number, e.g. D0 or X10, not '" + reg +
                         "'");
    const char device = static_cast<char>(toupper(static_cast<unsigned char>(reg[0])));
    const std::string number = reg.substr(1);
    const size_t width = static_cast<size_t>(wire::NumberDigits(device));
    if (number.size() > width)
        throw UsageError("--register " + reg + ": the number has at most " + std::to_string(width) +
                         " digits");
    return TwoDigits(station) + device + std::string(width - number.size(), '0') + number;
}

struct Found {
    int answered = 0, refused = 0, silent = 0;
};

void ShowProgress(int station, int done, int total, const Found &found) {
    fprintf(stderr, "\rscanning station %s (%d of %d): %d answered, %d refused\x1b[K",
            TwoDigits(station).c_str(), done, total, found.answered, found.refused);
    fflush(stderr);
}

}  // namespace

int RunScan(const CommandLine &line) {
    int first = 0, last = 0;
    ParseRange(line.scan.range, first, last);
    RequirePort(line);
    std::vector<TagPlan> plans;
    for (int station = first; station <= last; ++station)
        plans.push_back(
            PlanAddress(AddressOf(station, line.scan.reg), kTypeFromAddress, 0, Operation::kRead));

    ToolSession session(line.global.line, line.global.sim);
    // The simulator plays only the stations it is told to, not every one
    // that the scan asks for.
    if (!StartFor(session, plans, line, false))
        return kExitFailed;
    Output output(line.global.output, "scan");
    const int total = last - first + 1;
    const LineOptions &options = session.Options();
    const bool quiet = line.global.quiet;
    if (!output.Json()) {
        // Under 80 columns: a line that wraps on a terminal of 80 reads
        // badly, so a long time-out leaves out what a silent station costs.
        char header[160], cost[48];
        snprintf(header, sizeof header, "scanning %s-%s for %s at %s, time-out %d ms",
                 TwoDigits(first).c_str(), TwoDigits(last).c_str(),
                 plans.front().elements.front().label.c_str(),
                 LineSettingsText(options.settings).c_str(), options.timeoutMs);
        snprintf(cost, sizeof cost, " (%d ms a silent station)",
                 3 * options.timeoutMs + std::max(100, options.timeoutMs));
        const bool fits = strlen(header) + strlen(cost) < 80;
        fprintf(quiet ? stderr : stdout, "%s%s\n", header, fits ? cost : "");
        fflush(quiet ? stderr : stdout);
    }
    const bool progress = StderrTakesSequences() && !output.Json() && !line.global.trace;
    const auto started = std::chrono::steady_clock::now();
    Found found;
    for (int i = 0; i < total; ++i) {
        if (progress)
            ShowProgress(first + i, i + 1, total, found);
        const TagPlan &plan = plans[static_cast<size_t>(i)];
        const TagResult result = Transfer(session, plan, Operation::kRead);
        const std::string code = ErrorCodeOf(result.outcomes.back().response);
        Json record = {{"station", plan.station}, {"ms", round(result.milliseconds * 10) / 10}};
        std::vector<std::string> frames;
        if (line.global.trace) {
            frames = TraceLines(result.outcomes.back());
            Json traced = Json::array();
            for (Json frame : TraceJson(result.outcomes.back()))
                traced.push_back(frame);
            record["line"] = traced;
        }
        std::string text;
        if (result.ok) {
            ++found.answered;
            uint16_t words[2] = {0, 0};
            ElementWords(result, plan.elements.front(), words);
            const ShownValue value =
                ShowValue(plan.kind, words, ValueFormat::kDefault, WordOrder::kLowFirst);
            record["result"] = "answered";
            record["address"] = plan.elements.front().label;
            record["value"] = value.json;
            text = "answered   " + plan.elements.front().label + " = " + value.text;
        } else if (!code.empty()) {
            ++found.refused;
            record["result"] = "refused";
            record["code"] = code;
            record["error"] = ErrorCodeMeaning(code);
            text = "refused    error " + code + " (" + ErrorCodeMeaning(code) + ")";
        } else {
            ++found.silent;
            if (!line.global.trace)
                continue;
            record["result"] = "silent";
            text = "silent";
        }
        if (progress)
            fprintf(stderr, "\r\x1b[K");
        char ms[24];
        snprintf(ms, sizeof ms, "  [%.1f ms]", result.milliseconds);
        std::vector<std::string> shown = {"station " + plan.station + "  " + text + ms};
        if (quiet)
            shown = {plan.station};
        shown.insert(shown.end(), frames.begin(), frames.end());
        output.Record(record, shown);
    }
    if (progress)
        fprintf(stderr, "\r\x1b[K");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char summary[200];
    snprintf(summary, sizeof summary,
             "%d station%s scanned in %.1f s: %d answered, %d refused, %d silent", total,
             total == 1 ? "" : "s", seconds, found.answered, found.refused, found.silent);
    output.Set("first", TwoDigits(first));
    output.Set("last", TwoDigits(last));
    output.Set("register", plans.front().elements.front().label);
    output.Set("seconds", round(seconds * 10) / 10);
    if (quiet)
        fprintf(stderr, "%s\n", summary);
    output.Summary(
        "found",
        {{"answered", found.answered}, {"refused", found.refused}, {"silent", found.silent}},
        quiet ? std::vector<std::string>() : std::vector<std::string>{summary});
    return output.Finish(found.answered + found.refused > 0 ? kExitDone : kExitFailed);
}
