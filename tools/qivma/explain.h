// What a failed read or write means, in words a person can act on.
#pragma once

#include <stddef.h>

#include <string>

#include "tools/qivma/session.h"
#include "tools/qivma/tag_plan.h"

struct Explanation {
    std::string error;
    std::string hint;  // what to try, or empty
};

// Why the operation of `words` words of `station` failed.
Explanation Explain(const LineOptions &line, const std::string &station, Operation op, size_t words,
                    const Outcome &outcome);

// The controller's error code in an error answer ("%01!61.."), or "".
std::string ErrorCodeOf(const std::string &response);
// "data error: address out of range or data refused" for "61".
std::string ErrorCodeMeaning(const std::string &code);

// Milliseconds that `characters` characters take on the line.
double LineMilliseconds(const LineOptions &line, size_t characters);
