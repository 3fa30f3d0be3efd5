// qivma write: ADDRESS VALUE pairs, or one ADDRESS and --count values.
#include <stdio.h>

#include "tools/qivma/commands.h"
#include "tools/qivma/interrupt.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tags.h"

namespace {

struct WriteJob {
    std::string address;
    std::vector<std::string> values;
};

std::vector<WriteJob> Jobs(const TagOptions &options) {
    const std::vector<std::string> &a = options.arguments;
    std::vector<WriteJob> jobs;
    if (options.count > 0) {
        if (a.size() != static_cast<size_t>(options.count) + 1) {
            throw UsageError("write --count " + std::to_string(options.count) +
                             " takes one ADDRESS and " + std::to_string(options.count) +
                             " values, not " + std::to_string(a.empty() ? 0 : a.size() - 1));
        }
        jobs.push_back({a[0], {a.begin() + 1, a.end()}});
        return jobs;
    }
    if (a.empty() || a.size() % 2 != 0)
        throw UsageError("write takes ADDRESS VALUE pairs (or --count N, an ADDRESS and N values)");
    for (size_t i = 0; i < a.size(); i += 2)
        jobs.push_back({a[i], {a[i + 1]}});
    return jobs;
}

// The words of the job's values in address order, each value checked
// against what its element holds.
std::vector<uint16_t> WordsOf(const TagPlan &plan, const WriteJob &job, const TagOptions &options) {
    std::vector<uint16_t> words;
    for (size_t i = 0; i < job.values.size(); ++i) {
        std::string error;
        if (!ParseValue(job.values[i], plan.kind, options.format, options.wordOrder, words, &error,
                        options.allowNonfinite)) {
            throw UsageError(plan.elements[i].label + " (" + plan.address + "): " + error);
        }
    }
    return words;
}

}  // namespace

int RunWrite(const CommandLine &line) {
    const std::vector<WriteJob> jobs = Jobs(line.tag);
    std::vector<std::string> addresses;
    for (const WriteJob &job : jobs)
        addresses.push_back(job.address);
    const std::vector<TagPlan> plans = PlanTags(line, addresses, Operation::kWrite);
    std::vector<std::vector<uint16_t>> words;
    for (size_t i = 0; i < jobs.size(); ++i)
        words.push_back(WordsOf(plans[i], jobs[i], line.tag));

    ToolSession session(line.global.line, line.global.sim);
    if (!StartFor(session, plans, line))
        return kExitFailed;
    Output output(line.global.output, "write");
    const bool showStation = SeveralStations(plans);
    int status = kExitDone;
    CatchInterrupts();
    for (size_t i = 0; i < plans.size(); ++i) {
        if (Interrupted()) {
            fprintf(stderr, "qivma: interrupted (Ctrl-C): %s not written\n",
                    plans[i].address.c_str());
            status = kExitFailed;
            continue;
        }
        Progress progress(plans[i], line.global.quiet);
        const TagResult result =
            Transfer(session, plans[i], Operation::kWrite, words[i], progress.Callback());
        progress.Clear();
        if (!result.ok)
            status = kExitFailed;
        output.Record(
            ResultJson(result, line.tag, line.global.trace),
            ResultText(result, line.tag, line.global.trace, showStation, line.global.quiet));
    }
    return output.Finish(status);
}
