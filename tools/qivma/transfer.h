// A tag's read or write, frame after frame, and what it came to.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/qivma/explain.h"
#include "tools/qivma/session.h"
#include "tools/qivma/tag_plan.h"

struct TagResult {
    const TagPlan *plan = nullptr;
    Operation op = Operation::kRead;
    std::vector<Outcome> outcomes;  // one per chunk tried, in order
    std::vector<uint16_t> words;    // the plan's words: as read, or as written
    std::vector<bool> known;        // per word: read (or written) successfully
    bool ok = true;
    int32_t status = QIV_STATUS_OK;  // of the first failure
    size_t failedChunk = 0;          // its index
    double milliseconds = 0;         // all frames together
    Explanation explanation;         // of the first failure
};

// Moves the plan's chunks in order and stops at the first that fails: what
// follows a failed frame would only fail the same way, or leave a range half
// written without a word. `values` are the words to write, in address order.
TagResult Transfer(Session &session, const TagPlan &plan, Operation op,
                   const std::vector<uint16_t> &values = {});

// The element's words as ShowValue takes them: a contact's 0 or 1, or the
// value's one or two words. false when they were not read.
bool ElementWords(const TagResult &result, const Element &element, uint16_t words[2]);
