// qivma check: how the driver takes an address, or every rule that refuses
// it; with --count, the frames that the range needs.
#include <string>
#include <vector>

#include "tools/hostkit/tag_plan.h"
#include "tools/qivma/address_rules.h"
#include "tools/qivma/commands.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tags.h"

namespace {

const char *KindName(ValueKind kind) {
    return kind == ValueKind::kBit          ? "contact"
           : kind == ValueKind::kDoubleWord ? "32-bit"
                                            : "16-bit";
}

// The frames an operation on the range takes, or why it cannot be done.
struct FrameCount {
    size_t frames = 0;
    std::string refusal;  // empty when the operation can be done

    std::string Text() const {
        return refusal.empty() ? std::to_string(frames) : "none: " + refusal;
    }
};

FrameCount Frames(const TagOptions &options, const std::string &address, Operation op) {
    try {
        return {PlanAddress(address, options.dataType, options.count, op).chunks.size(), ""};
    } catch (const UsageError &error) {
        return {0, error.what()};
    }
}

// In JSON a count is a number; an operation that cannot be done has none,
// and says why beside it.
void PutFrames(Json &record, const char *name, const char *refusedName, const FrameCount &count) {
    if (count.refusal.empty()) {
        record[name] = count.frames;
    } else {
        record[name] = nullptr;
        record[refusedName] = count.refusal;
    }
}

// An accepted address: what the driver made of it.
void Accepted(Output &output, const TagOptions &options, const TagPlan &plan) {
    const TagDefinition &d = plan.base.definition;
    const std::string device(1, static_cast<char>(d.device));
    const FrameCount reads = Frames(options, plan.address, Operation::kRead);
    const FrameCount writes = Frames(options, plan.address, Operation::kWrite);
    Json record = {{"address", plan.address},
                   {"accepted", true},
                   {"station", plan.station},
                   {"device", device},
                   {"word", d.wordAddress},
                   {"bit", nullptr},
                   {"width", d.width},
                   {"dataType", plan.base.dataType},
                   {"first", plan.elements.front().from}};
    if (d.bitNumber != 255)
        record["bit"] = d.bitNumber;
    std::vector<std::string> text = {
        plan.address + "   accepted: " + KindName(plan.kind) + " " + plan.elements.front().label +
            " of station " + plan.station,
        "  device " + device + ", word " + std::to_string(d.wordAddress) +
            (d.bitNumber == 255 ? "" : ", bit " + std::to_string(d.bitNumber)) + ", width " +
            std::to_string(d.width) + ", host data type " + std::to_string(plan.base.dataType)};
    if (options.count > 0) {
        record["count"] = options.count;
        record["last"] = plan.elements.back().to;
        PutFrames(record, "readFrames", "readRefused", reads);
        PutFrames(record, "writeFrames", "writeRefused", writes);
        text.push_back("  --count " + std::to_string(options.count) + ": " +
                       plan.elements.front().from + " to " + plan.elements.back().to +
                       "; read frames " + reads.Text() + ", write frames " + writes.Text());
    }
    output.Record(record, text);
}

// The plan of a read, or of a write for what is only written (station FF).
TagPlan PlanForCheck(const TagOptions &options, const std::string &address) {
    try {
        return PlanAddress(address, options.dataType, options.count, Operation::kRead);
    } catch (const UsageError &readError) {
        try {
            return PlanAddress(address, options.dataType, options.count, Operation::kWrite);
        } catch (const UsageError &) {
            throw readError;
        }
    }
}

}  // namespace

int RunCheck(const CommandLine &line) {
    const TagOptions &options = line.tag;
    if (options.arguments.empty())
        throw UsageError("check needs an ADDRESS");
    Output output(line.global.output, "check");
    bool allAccepted = true;
    for (const std::string &address : options.arguments) {
        try {
            Accepted(output, options, PlanForCheck(options, address));
        } catch (const UsageError &error) {
            // A refused address has no station or word worth showing: only
            // the rules it breaks.
            allAccepted = false;
            std::vector<std::string> text = {address + "   refused"};
            for (const std::string &reason : error.reasons())
                text.push_back("  - " + reason);
            if (error.reasons().empty())
                text.push_back(std::string("  - ") + error.what());
            Json reasons =
                error.reasons().empty() ? Json::array({error.what()}) : Json(error.reasons());
            output.Record({{"address", address}, {"accepted", false}, {"reasons", reasons}}, text);
        }
    }
    return output.Finish(allAccepted ? kExitDone : kExitFailed);
}
