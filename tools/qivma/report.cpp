#include "tools/qivma/report.h"

#include <math.h>

#include "tools/qivma/trace.h"

namespace {

constexpr int kLabelWidth = 10;

double Tenths(double ms) {
    return round(ms * 10) / 10;
}

std::string Padded(const std::string &text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

const char *Noun(const TagResult &result, size_t n) {
    if (result.plan->kind == ValueKind::kBit)
        return n == 1 ? "contact" : "contacts";
    return n == 1 ? "value" : "values";
}

void AddTrace(const TagResult &result, std::vector<std::string> &lines) {
    const size_t frames = result.plan->chunks.size();
    for (size_t i = 0; i < result.outcomes.size(); ++i) {
        if (frames > 1) {
            lines.push_back("   frame " + std::to_string(i + 1) + " of " + std::to_string(frames) +
                            ": " + result.plan->chunks[i].tag.address);
        }
        for (const std::string &line : TraceLines(result.outcomes[i]))
            lines.push_back(line);
    }
}

std::string FailureText(const TagResult &result) {
    if (result.interrupted)
        return result.explanation.error;
    std::string text = "failed (status " + std::to_string(result.status) + ")";
    const size_t frames = result.plan->chunks.size();
    if (frames > 1) {
        text +=
            " in frame " + std::to_string(result.failedChunk + 1) + " of " + std::to_string(frames);
    }
    return text + ": " + result.explanation.error;
}

}  // namespace

std::string ElementLabel(const TagPlan &plan, const Element &element, bool showStation) {
    return (showStation ? plan.station + ":" : "") + element.label;
}

std::string RangeLabel(const TagPlan &plan, bool showStation) {
    const std::vector<Element> &elements = plan.elements;
    if (elements.size() == 1)
        return ElementLabel(plan, elements.front(), showStation);
    return (showStation ? plan.station + ":" : "") + elements.front().from + "-" +
           elements.back().to;
}

std::string PlainValue(const ShownValue &shown) {
    if (shown.json.is_string())
        return shown.json.get<std::string>();
    if (shown.json.is_null())
        return shown.text;
    return shown.json.dump();
}

Output::Output(OutputMode mode, const std::string &command) : mode_(mode) {
    document_["command"] = command;
}

void Output::Record(const ::Json &record, const TextLines &text) {
    if (mode_ == OutputMode::kText) {
        for (const std::string &line : text.out)
            printf("%s\n", line.c_str());
    } else if (mode_ == OutputMode::kJsonLines) {
        printf("%s\n", Dump(record, false).c_str());
    } else {
        document_["results"].push_back(record);
    }
    fflush(stdout);
    for (const std::string &line : text.err)
        fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
}

void Output::Set(const std::string &key, const ::Json &value) {
    document_[key] = value;
}

void Output::Summary(const std::string &key, const ::Json &value,
                     const std::vector<std::string> &text) {
    if (mode_ == OutputMode::kText) {
        for (const std::string &line : text)
            printf("%s\n", line.c_str());
    } else if (mode_ == OutputMode::kJsonLines) {
        printf("%s\n", Dump({{key, value}}, false).c_str());
    } else {
        document_[key] = value;
    }
    fflush(stdout);
}

int Output::Finish(int status) {
    if (mode_ == OutputMode::kJson) {
        document_["ok"] = status == kExitDone;
        printf("%s\n", Dump(document_, true).c_str());
    }
    fflush(stdout);
    return status;
}

std::string Dump(const Json &value, bool pretty) {
    return value.dump(pretty ? 2 : -1, ' ', false, Json::error_handler_t::replace);
}

TextLines ResultText(const TagResult &result, const TagOptions &options, bool trace,
                     bool showStation, bool quiet) {
    TextLines lines;
    const TagPlan &plan = *result.plan;
    if (result.op == Operation::kRead) {
        for (const Element &element : plan.elements) {
            uint16_t words[2] = {0, 0};
            if (!ElementWords(result, element, words))
                continue;
            const ShownValue shown = ShowValue(plan.kind, words, options.format, options.wordOrder);
            lines.out.push_back(
                quiet ? PlainValue(shown)
                      : Padded(ElementLabel(plan, element, showStation), kLabelWidth) + " = " +
                            shown.text);
        }
    }
    const std::string label = Padded(RangeLabel(plan, showStation), kLabelWidth);
    if (!result.ok) {
        lines.err.push_back(label + " " + FailureText(result));
        if (!result.explanation.hint.empty())
            lines.err.push_back(std::string(kLabelWidth, ' ') +
                                " hint: " + result.explanation.hint);
    } else if (result.op == Operation::kWrite && !quiet) {
        const size_t n = plan.elements.size(), frames = plan.chunks.size();
        std::string text = label + " written";
        if (n > 1) {
            text += " (" + std::to_string(n) + " " + Noun(result, n) + " in " +
                    std::to_string(frames) + (frames == 1 ? " frame)" : " frames)");
        }
        lines.out.push_back(text);
    }
    if (result.ok && !result.note.empty())
        lines.err.push_back(label + " note: " + result.note);
    if (trace)
        AddTrace(result, lines.out);
    return lines;
}

Json ResultJson(const TagResult &result, const TagOptions &options, bool trace) {
    const TagPlan &plan = *result.plan;
    Json record;
    record["tag"] = plan.address;
    record["station"] = plan.station;
    record["operation"] = result.op == Operation::kRead ? "read" : "write";
    record["ok"] = result.ok;
    record["status"] = result.status;
    record["ms"] = Tenths(result.milliseconds);
    record["frames"] = result.outcomes.size();
    record["attempts"] = result.attempts;
    Json values = Json::array();
    for (const Element &element : plan.elements) {
        uint16_t words[2] = {0, 0};
        if (!ElementWords(result, element, words))
            continue;
        const ShownValue shown = ShowValue(plan.kind, words, options.format, options.wordOrder);
        Json raw = Json::array();
        const size_t count = element.bit >= 0 ? 1 : WordsPerElement(plan.kind);
        for (size_t w = 0; w < count; ++w)
            raw.push_back(words[w]);
        values.push_back({{"address", element.label}, {"value", shown.json}, {"words", raw}});
    }
    record["values"] = values;
    if (!result.note.empty())
        record["note"] = result.note;
    if (result.interrupted)
        record["interrupted"] = true;
    if (!result.ok) {
        record["error"] = result.explanation.error;
        if (!result.explanation.hint.empty())
            record["hint"] = result.explanation.hint;
    }
    if (trace) {
        Json line = Json::array();
        for (size_t i = 0; i < result.outcomes.size(); ++i) {
            for (Json frame : TraceJson(result.outcomes[i])) {
                Json entry = {{"frame", i + 1}};
                entry.update(frame);
                line.push_back(entry);
            }
        }
        record["line"] = line;
    }
    return record;
}

void PrintUsageError(OutputMode mode, const std::string &command, const UsageError &error) {
    fprintf(stderr, "qivma: %s\n", error.what());
    for (const std::string &reason : error.reasons())
        fprintf(stderr, "  - %s\n", reason.c_str());
    fprintf(stderr, "(qivma help%s%s shows how)\n", command.empty() ? "" : " ", command.c_str());
    if (mode != OutputMode::kText) {
        Json record;
        if (!command.empty())
            record["command"] = command;
        record["ok"] = false;
        record["status"] = kExitUsage;
        record["error"] = error.what();
        record["reasons"] = error.reasons();
        printf("%s\n", Dump(record, mode == OutputMode::kJson).c_str());
    }
}
