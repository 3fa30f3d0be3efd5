#include "tools/qivma/tags.h"

#include <stdio.h>

#include "tools/qivma/report.h"

std::vector<TagPlan> PlanTags(const CommandLine &line, const std::vector<std::string> &addresses,
                              Operation op) {
    RequirePort(line);
    std::vector<TagPlan> plans;
    for (const std::string &address : addresses) {
        plans.push_back(PlanTag(address, line.tag.type, line.tag.count, op));
        if (line.tag.format == ValueFormat::kFloat && plans.back().kind != ValueKind::kDoubleWord)
            throw UsageError(address +
                             ": --format float needs 32-bit values (E or G, or "
                             "--type dword)");
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

bool StartFor(Session &session, const std::vector<TagPlan> &plans, const CommandLine &line) {
    std::vector<Tag> tags;
    for (const TagPlan &plan : plans)
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
