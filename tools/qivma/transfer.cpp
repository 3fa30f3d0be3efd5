#include "tools/qivma/transfer.h"

TagResult Transfer(Session &session, const TagPlan &plan, Operation op,
                   const std::vector<uint16_t> &values) {
    TagResult result;
    result.plan = &plan;
    result.op = op;
    result.words = op == Operation::kWrite ? values : std::vector<uint16_t>(plan.words, 0);
    result.words.resize(plan.words, 0);
    result.known.assign(plan.words, false);
    for (size_t i = 0; i < plan.chunks.size(); ++i) {
        const Chunk &chunk = plan.chunks[i];
        const auto first = result.words.begin() + static_cast<long>(chunk.firstWord);
        const std::vector<uint16_t> words(first, first + static_cast<long>(chunk.words));
        Outcome outcome =
            op == Operation::kRead ? session.Read(chunk.tag) : session.Write(chunk.tag, words);
        result.milliseconds += outcome.milliseconds;
        const bool ok = outcome.status == QIV_STATUS_OK;
        if (ok) {
            for (size_t w = 0; w < chunk.words; ++w) {
                if (op == Operation::kRead)
                    result.words[chunk.firstWord + w] = outcome.words[w];
                result.known[chunk.firstWord + w] = true;
            }
        }
        result.outcomes.push_back(std::move(outcome));
        if (!ok) {
            result.ok = false;
            result.status = result.outcomes.back().status;
            result.failedChunk = i;
            result.explanation =
                Explain(session.Options(), plan.station, op, chunk.words, result.outcomes.back());
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
