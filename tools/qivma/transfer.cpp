#include "tools/qivma/transfer.h"

#include <stdio.h>

#include "tools/qivma/interrupt.h"
#include "tools/qivma/tool_platform.h"

namespace {

std::string ChunkLabel(const TagPlan &plan, size_t chunk) {
    const Chunk &c = plan.chunks[chunk];
    std::string first, last;
    for (const Element &element : plan.elements) {
        if (element.word >= c.firstWord && element.word < c.firstWord + c.words) {
            first = first.empty() ? element.from : first;
            last = element.to;
        }
    }
    return first == last ? first : first + "-" + last;
}

// "D54-D99": the registers of chunks `first` to `last`.
std::string Span(const TagPlan &plan, size_t first, size_t last) {
    const std::string begin = ChunkLabel(plan, first), end = ChunkLabel(plan, last);
    const std::string from = begin.substr(0, begin.find('-'));
    const size_t dash = end.rfind('-');
    const std::string to = dash == std::string::npos ? end : end.substr(dash + 1);
    return from == to ? from : from + "-" + to;
}

// "D54-D99 not read" for the chunks from `chunk` on; a write says what it
// wrote before them too.
std::string Untouched(const TagPlan &plan, size_t chunk, Operation op) {
    const std::string rest = Span(plan, chunk, plan.chunks.size() - 1);
    if (op == Operation::kRead)
        return rest + " not read";
    return Span(plan, 0, chunk - 1) + " written, " + rest + " not written";
}

}  // namespace

Exchange ExchangeOf(const TagPlan &plan, size_t chunk) {
    const Chunk &c = plan.chunks[chunk];
    return {plan.station, RequestCharacters(c, plan.op), AnswerCharacters(c, plan.op)};
}

TagResult Transfer(Session &session, const TagPlan &plan, Operation op,
                   const std::vector<uint16_t> &values,
                   const std::function<void(size_t chunk)> &progress) {
    TagResult result;
    result.plan = &plan;
    result.op = op;
    result.words = op == Operation::kWrite ? values : std::vector<uint16_t>(plan.words, 0);
    result.words.resize(plan.words, 0);
    result.known.assign(plan.words, false);
    for (size_t i = 0; i < plan.chunks.size(); ++i) {
        const Chunk &chunk = plan.chunks[i];
        if (i > 0 && Interrupted()) {
            result.ok = false;
            result.interrupted = true;
            result.status = QIV_STATUS_OK;
            result.failedChunk = i;
            result.explanation.error = "interrupted (Ctrl-C) after frame " + std::to_string(i) +
                                       " of " + std::to_string(plan.chunks.size()) + ": " +
                                       Untouched(plan, i, op);
            break;
        }
        if (progress)
            progress(i);
        const auto first = result.words.begin() + static_cast<long>(chunk.firstWord);
        const std::vector<uint16_t> words(first, first + static_cast<long>(chunk.words));
        Outcome outcome =
            op == Operation::kRead ? session.Read(chunk.tag) : session.Write(chunk.tag, words);
        result.milliseconds += outcome.milliseconds;
        result.attempts += AttemptsOf(outcome);
        const bool ok = outcome.status == QIV_STATUS_OK;
        if (ok) {
            for (size_t w = 0; w < chunk.words; ++w) {
                if (op == Operation::kRead)
                    result.words[chunk.firstWord + w] = outcome.words[w];
                result.known[chunk.firstWord + w] = true;
            }
            if (result.note.empty()) {
                const std::string note = RetryNote(session.Options(), ExchangeOf(plan, i), outcome);
                const size_t frames = plan.chunks.size();
                result.note = note.empty() || frames == 1
                                  ? note
                                  : "frame " + std::to_string(i + 1) + " of " +
                                        std::to_string(frames) + " " + note;
            }
        }
        result.outcomes.push_back(std::move(outcome));
        if (!ok) {
            result.ok = false;
            result.status = result.outcomes.back().status;
            result.failedChunk = i;
            result.explanation =
                Explain(session.Options(), ExchangeOf(plan, i), result.outcomes.back());
            break;
        }
    }
    return result;
}

bool ElementWords(const TagResult &result, const Element &element, uint16_t words[2]) {
    const size_t count = element.bit >= 0 ? 1 : WordsPerElement(result.plan->kind);
    for (size_t w = 0; w < count; ++w) {
        if (element.word + w >= result.words.size() || !result.known[element.word + w])
            return false;
        words[w] = result.words[element.word + w];
    }
    if (element.bit >= 0)
        words[0] = static_cast<uint16_t>(words[0] >> element.bit & 1);
    return true;
}

Progress::Progress(const TagPlan &plan, bool quiet)
    : plan_(plan), shown_(!quiet && plan.chunks.size() > 1 && StderrTakesSequences()) {}

void Progress::Clear() {
    if (drawn_) {
        fprintf(stderr, "\r\x1b[K");
        fflush(stderr);
    }
    drawn_ = false;
}

void Progress::operator()(size_t chunk) {
    if (!shown_)
        return;
    fprintf(stderr, "\r%s %s: frame %zu of %zu (%s)\x1b[K",
            plan_.op == Operation::kRead ? "reading" : "writing", plan_.address.c_str(), chunk + 1,
            plan_.chunks.size(), ChunkLabel(plan_, chunk).c_str());
    fflush(stderr);
    drawn_ = true;
}

std::function<void(size_t)> Progress::Callback() {
    return [this](size_t chunk) { (*this)(chunk); };
}
