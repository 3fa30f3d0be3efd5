// qivma read: each address once, any number of elements from it.
#include <stdio.h>

#include "tools/qivma/commands.h"
#include "tools/qivma/interrupt.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tags.h"

int RunRead(const CommandLine &line) {
    if (line.tag.arguments.empty())
        throw UsageError("read needs an ADDRESS");
    const std::vector<TagPlan> plans = PlanTags(line, line.tag.arguments, Operation::kRead);
    ToolSession session(line.global.line, line.global.sim);
    if (!StartFor(session, plans, line))
        return kExitFailed;
    Output output(line.global.output, "read");
    const bool showStation = SeveralStations(plans);
    int status = kExitDone;
    CatchInterrupts();
    for (const TagPlan &plan : plans) {
        if (Interrupted()) {
            fprintf(stderr, "qivma: interrupted (Ctrl-C): %s not read\n", plan.address.c_str());
            status = kExitFailed;
            continue;
        }
        Progress progress(plan, line.global.quiet);
        const TagResult result = Transfer(session, plan, Operation::kRead, {}, progress.Callback());
        progress.Clear();
        if (!result.ok)
            status = kExitFailed;
        output.Record(
            ResultJson(result, line.tag, line.global.trace),
            ResultText(result, line.tag, line.global.trace, showStation, line.global.quiet));
    }
    return output.Finish(status);
}
