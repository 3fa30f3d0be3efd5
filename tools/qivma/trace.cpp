#include "tools/qivma/trace.h"

#include <stdio.h>

#include <algorithm>

#include "tools/hostkit/value_format.h"
#include "tools/qivma/explain.h"

namespace {

// Bytes of one kind that came in one run, as one entry: an answer arrives in
// several reads.
struct Passage {
    int32_t kind;
    int attempt;
    double ms;  // when its last byte passed
    std::string bytes;
};

std::vector<Passage> Passages(const Outcome &outcome) {
    std::vector<Passage> passages;
    int attempt = 0;
    for (const LineEvent &event : outcome.line) {
        const double ms = event.sinceStart / 1000.0;
        if (event.kind == QIV_LINE_WRITTEN && IsStatusRequest(event.bytes)) {
            // The status request that brings a doubtful station back in
            // step: no attempt of the operation's own.
            passages.push_back({event.kind, 0, ms, event.bytes});
        } else if (event.kind == QIV_LINE_WRITTEN) {
            passages.push_back({event.kind, ++attempt, ms, event.bytes});
        } else if (!passages.empty() && passages.back().kind == event.kind &&
                   passages.back().attempt == attempt) {
            passages.back().ms = ms;
            passages.back().bytes += event.bytes;
        } else {
            passages.push_back({event.kind, attempt, ms, event.bytes});
        }
    }
    return passages;
}

const char *DirectionOf(int32_t kind) {
    return kind == QIV_LINE_WRITTEN ? "sent" : kind == QIV_LINE_READ ? "received" : "discarded";
}

std::string Line(const char *attempt, double ms, const std::string &what) {
    char prefix[48];
    snprintf(prefix, sizeof prefix, "   %-3s %8.1f ms  ", attempt, ms);
    return prefix + what;
}

}  // namespace

std::vector<std::string> TraceLines(const Outcome &outcome) {
    std::vector<std::string> lines;
    if (outcome.line.empty()) {
        // A driver without the monitor: the last request and its answer.
        if (outcome.request.empty())
            return {"   (nothing sent)"};
        lines.push_back("   -> " + PrintableFrame(outcome.request));
        lines.push_back("   <- " + (outcome.response.empty() ? std::string("(nothing)")
                                                             : PrintableFrame(outcome.response)));
        return lines;
    }
    const std::vector<Passage> passages = Passages(outcome);
    int attempts = 0;
    for (size_t i = 0; i < passages.size(); ++i) {
        const Passage &p = passages[i];
        const std::string bytes = PrintableFrame(p.bytes);
        if (p.kind == QIV_LINE_WRITTEN) {
            // Each attempt sends the status request while the station is
            // doubtful, and the request once it is in step.
            ++attempts;
            const std::string number = p.attempt > 0 ? "#" + std::to_string(p.attempt) : "rt";
            lines.push_back(Line(number.c_str(), p.ms, "-> " + bytes));
            const bool answered = i + 1 < passages.size() && passages[i + 1].kind == QIV_LINE_READ;
            const bool lastSent =
                std::none_of(passages.begin() + static_cast<std::ptrdiff_t>(i) + 1, passages.end(),
                             [](const Passage &q) { return q.kind == QIV_LINE_WRITTEN; });
            if (!answered && p.attempt == 0 && lastSent) {
                lines.push_back(std::string(20, ' ') + "(no answer by the horizon)");
            } else if (!answered) {
                lines.push_back(std::string(20, ' ') + "(no answer within " +
                                std::to_string(outcome.timeoutMs) + " ms)");
            }
        } else if (p.kind == QIV_LINE_READ) {
            lines.push_back(Line("", p.ms, "<- " + bytes));
        } else {
            lines.push_back(Line("", p.ms, "<- discarded: " + bytes));
        }
    }
    // After a retry the driver listens on for late answers before it returns.
    if (attempts > 1) {
        lines.push_back(Line("", outcome.milliseconds,
                             "(returned status " + std::to_string(outcome.status) + ")"));
    }
    return lines;
}

Json TraceJson(const Outcome &outcome) {
    Json frames = Json::array();
    for (const Passage &p : Passages(outcome)) {
        frames.push_back({{"attempt", p.attempt},
                          {"ms", static_cast<double>(static_cast<long long>(p.ms * 10)) / 10},
                          {"direction", DirectionOf(p.kind)},
                          {"bytes", PrintableFrame(p.bytes)}});
    }
    return frames;
}
