// qivma read: each address once, any number of elements from it.
#include "tools/qivma/commands.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tags.h"

int RunRead(const CommandLine &line) {
    if (line.tag.arguments.empty())
        throw UsageError("read needs an ADDRESS");
    const std::vector<TagPlan> plans = PlanTags(line, line.tag.arguments, Operation::kRead);
    Session session(line.global.line);
    if (!StartFor(session, plans, line))
        return kExitFailed;
    Output output(line.global.output, "read");
    const bool showStation = SeveralStations(plans);
    int status = kExitDone;
    for (const TagPlan &plan : plans) {
        const TagResult result = Transfer(session, plan, Operation::kRead);
        if (!result.ok)
            status = kExitFailed;
        output.Record(ResultJson(result, line.tag, line.global.trace),
                      ResultText(result, line.tag, line.global.trace, showStation));
    }
    return output.Finish(status);
}
