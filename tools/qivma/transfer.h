// A tag's read or write, frame after frame, and what it came to.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/hostkit/tag_plan.h"
#include "tools/qivma/explain.h"
#include "tools/qivma/session.h"

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
    // What a frame that needed more than one attempt says of the line (the
    // first such frame's), or "".
    std::string note;
    int attempts = 0;          // the requests of all frames together
    bool interrupted = false;  // Ctrl-C stopped it between two frames
};

// The exchange that moves the plan's chunk, for the explanations.
Exchange ExchangeOf(const TagPlan &plan, size_t chunk);

// Moves the plan's chunks in order and stops at the first that fails: what
// follows a failed frame would only fail the same way, or leave a range half
// written without a word. It stops too before a frame once Ctrl-C was
// pressed. `values` are the words to write, in address order; `progress`,
// if given, hears of each frame before it goes.
TagResult Transfer(Session &session, const TagPlan &plan, Operation op,
                   const std::vector<uint16_t> &values = {},
                   const std::function<void(size_t chunk)> &progress = nullptr);

// Shows a long transfer's frames on a terminal's stderr as they go, on one
// line that it clears at the end; silent elsewhere and for one frame.
class Progress {
  public:
    Progress(const TagPlan &plan, bool quiet);
    ~Progress() { Clear(); }
    void operator()(size_t chunk);
    // Takes the line away, before the results are printed.
    void Clear();
    std::function<void(size_t)> Callback();

  private:
    const TagPlan &plan_;
    bool shown_;
    bool drawn_ = false;
};

// The element's words as ShowValue takes them: a contact's 0 or 1, or the
// value's one or two words. false when they were not read.
bool ElementWords(const TagResult &result, const Element &element, uint16_t words[2]);
