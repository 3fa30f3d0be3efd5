#include "tools/qivma/tags.h"

#include <stdio.h>

#include "tools/qivma/address_rules.h"
#include "tools/qivma/report.h"
#include "tools/qivma/transfer.h"

namespace {

// A float takes two registers. D and F hold 16-bit words, and their 32-bit
// views are E and G, from an even register; other devices take --type dword.
std::string FloatRefusal(const TagPlan &plan) {
    const char device = static_cast<char>(plan.base.definition.device);
    const char view = MemoryView(device, 2);
    const std::string &label = plan.elements.front().label;
    if (view == device) {
        return plan.address + ": --format float needs 32-bit values, and " + label +
               " holds 16 bits: --type dword --format float reads " + label +
               " and the word after it as one float";
    }
    const long word = plan.base.definition.wordAddress;
    const auto viewAt = [&](long at) {
        return TagAddress(plan.station, view, at) + " (" + WordLabel(device, at) + "-" +
               WordLabel(device, at + 1) + ")";
    };
    std::string ways = word % 2 == 0 ? viewAt(word) : viewAt(word - 1) + " or " + viewAt(word + 1);
    return plan.address + ": --format float needs 32-bit values, and " + label +
           " holds 16 bits; a float in two registers is read as " + std::string(1, view) +
           ", from an even register: " + ways + " --format float";
}

}  // namespace

TagPlan PlanAddress(const std::string &address, int32_t dataType, int count, Operation op) {
    if (dataType == kTypeFromAddress)
        dataType = InferredDataType(address);
    try {
        return PlanTag(address, dataType, count, op);
    } catch (const PlanError &error) {
        const Tag &refused = error.Refused();
        if (refused.address.empty())
            throw UsageError(error.what());
        std::vector<std::string> reasons =
            AddressProblems(refused.address, refused.dataType, refused.count);
        if (reasons.empty())
            reasons.push_back("the driver refuses it");
        throw UsageError(refused.address + " is refused:", reasons);
    }
}

std::vector<TagPlan> PlanTags(const CommandLine &line, const std::vector<std::string> &addresses,
                              Operation op) {
    RequirePort(line);
    std::vector<TagPlan> plans;
    for (const std::string &address : addresses) {
        plans.push_back(PlanAddress(address, line.tag.dataType, line.tag.count, op));
        if (line.tag.format == ValueFormat::kFloat && plans.back().kind != ValueKind::kDoubleWord)
            throw UsageError(FloatRefusal(plans.back()));
    }
    return plans;
}

bool SeveralStations(const std::vector<TagPlan> &plans) {
    for (const TagPlan &plan : plans) {
        if (plan.station != plans.front().station)
            return true;
    }
    return false;
}

namespace {

// The driver's default when it is enough; longer where the line is too slow
// for it: the longest request with its answer takes its line time, and the
// margin, before the answer is all in.
void PickTimeout(Session &session, const std::vector<TagPlan> &plans, const GlobalOptions &global) {
    const LineOptions &line = global.line;
    const int floor = Session::Info().defaultTimeout * 10;
    size_t longest = 0;
    std::string which;
    for (const TagPlan &plan : plans) {
        for (size_t i = 0; i < plan.chunks.size(); ++i) {
            const Exchange exchange = ExchangeOf(plan, i);
            const size_t characters = exchange.requestCharacters + exchange.answerCharacters;
            if (characters > longest) {
                longest = characters;
                which = plan.chunks[i].tag.address + " (" +
                        std::to_string(exchange.requestCharacters) + " characters out, " +
                        std::to_string(exchange.answerCharacters) + " back)";
            }
        }
    }
    LineOptions picked = line;
    picked.timeoutMs = longest == 0 ? floor : TimeoutFor(line, longest, floor);
    session.SetTimeout(picked.timeoutMs);
    if (!global.verbose || longest == 0)
        return;
    fprintf(stderr,
            "qivma: time-out %d ms%s: at %s the longest exchange, %s, takes %.0f ms on the line, "
            "and %d ms more are allowed; --timeout MS sets another\n",
            picked.timeoutMs, picked.timeoutMs == floor ? " (the driver's default)" : "",
            LineSettingsText(line.settings).c_str(), which.c_str(), LineMilliseconds(line, longest),
            kTimeoutMarginMs);
}

}  // namespace

bool StartFor(ToolSession &session, const std::vector<TagPlan> &plans, const CommandLine &line,
              bool simulatePlans) {
    if (!line.global.timeoutGiven)
        PickTimeout(session, plans, line.global);
    std::vector<Tag> tags;
    for (const TagPlan &plan : simulatePlans ? plans : std::vector<TagPlan>())
        tags.push_back(plan.base);
    std::string error;
    if (session.Start(tags, &error))
        return true;
    fprintf(stderr, "qivma: %s\n", error.c_str());
    if (line.global.output != OutputMode::kText) {
        Json record = {{"command", line.command}, {"ok", false}, {"status", 1}, {"error", error}};
        printf("%s\n", Dump(record, line.global.output == OutputMode::kJson).c_str());
    }
    return false;
}
