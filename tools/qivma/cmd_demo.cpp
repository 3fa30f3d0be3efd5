// qivma demo: the simulator, and reads and writes of every kind, traced.
#include <stdio.h>

#include "tools/qivma/commands.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tags.h"
#include "tools/qivma/tool_platform.h"

namespace {

struct Step {
    const char *what;
    const char *address;
    int count;
    std::vector<std::string> write;  // empty: a read
    bool failsOnPurpose;
};

const Step kSteps[] = {
    {"a data register", "01D00100", 0, {}, false},
    {"write it", "01D00100", 0, {"4660"}, false},
    {"and read it back", "01D00100", 0, {}, false},
    {"a 32-bit value in D200 and D201", "01E00200", 0, {"-123456"}, false},
    {"read back", "01E00200", 0, {}, false},
    {"a float (written with --format float)", "01E00202", 0, {"3.25"}, false},
    {"read back", "01E00202", 0, {}, false},
    {"three relay contacts from R12A: one single-contact frame each",
     "01R0012A",
     3,
     {"1", "0", "1"},
     false},
    {"read back: through the contact word that holds them", "01R0012A", 3, {}, false},
    {"thirty registers: two frames, as one answer holds at most 27 words",
     "01D00000",
     30,
     {},
     false},
    {"a timer's set value", "01S0005", 0, {}, false},
    {"an input word", "01X0001", 0, {}, false},
    {"inputs cannot be written: the controller refuses", "01X0001", 0, {"1"}, true},
    // A station that the simulator does not play: fpsim.exe plays 01 by default.
    {"a station that is not there: three attempts, then no answer", "07D00100", 0, {}, true},
};

}  // namespace

int RunDemo(const CommandLine &given) {
    CommandLine line = given;
    line.global.sim.on = true;
    line.global.sim.stations = {"01"};
    line.global.trace = true;
    line.global.output = OutputMode::kText;
    RunInfo(line);
    if (HasSimulator()) {
        printf(
            "\nThe built-in simulator plays station 01; every frame on the line is traced, each "
            "attempt numbered,\nwith its time from the start of the operation.\n\n");
    } else {
        printf(
            "\nfpsim.exe plays station 01 at the far end of %s; every frame on the line is "
            "traced, each attempt\nnumbered, with its time from the start of the operation. "
            "The tool cannot set faults in\nfpsim.exe, so the failures shown are the "
            "controller's refusal and station 07, which\nfpsim.exe does not play (unless it "
            "was started with --station 07): it gets no answer.\n\n",
            line.global.sim.port.c_str());
    }
    std::vector<TagPlan> plans;
    for (const Step &step : kSteps) {
        plans.push_back(PlanAddress(step.address, kTypeFromAddress, step.count,
                                    step.write.empty() ? Operation::kRead : Operation::kWrite));
    }
    ToolSession session(line.global.line, line.global.sim);
    if (!StartFor(session, plans, line))
        return kExitFailed;
    printf("port: %s (%s)\n\n", session.PortText().c_str(),
           HasSimulator() ? "the simulator's pseudo-terminal"
                          : "fpsim.exe serves the other end of its null-modem pair");
    bool unexpected = false;
    for (size_t i = 0; i < plans.size(); ++i) {
        const Step &step = kSteps[i];
        const TagPlan &plan = plans[i];
        printf("# %s\n", step.what);
        TagResult result;
        if (step.write.empty()) {
            result = Transfer(session, plan, Operation::kRead);
        } else {
            std::vector<uint16_t> words;
            std::string error;
            for (const std::string &value : step.write) {
                const bool real = value.find('.') != std::string::npos;
                ParseValue(value, plan.kind, real ? ValueFormat::kFloat : ValueFormat::kDefault,
                           WordOrder::kLowFirst, words, &error);
            }
            std::string values;
            for (const std::string &value : step.write)
                values += " " + value;
            printf("%-10s <-%s\n", step.address, values.c_str());
            result = Transfer(session, plan, Operation::kWrite, words);
        }
        // A tour on stdout: the failures in their place, before the frames.
        const TextLines text = ResultText(result, line.tag, true, false);
        for (const auto *part :
             result.ok ? std::vector<const std::vector<std::string> *>{&text.out, &text.err}
                       : std::vector<const std::vector<std::string> *>{&text.err, &text.out}) {
            for (const std::string &shown : *part)
                printf("%s\n", shown.c_str());
        }
        printf("\n");
        unexpected = unexpected || result.ok == step.failsOnPurpose;
    }
    return unexpected ? kExitFailed : kExitDone;
}
