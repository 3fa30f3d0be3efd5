// What an operation's trace tells: why a read or write failed, what a
// success after retries says of the line, in words a person can act on.
#pragma once

#include <stddef.h>

#include <string>

#include "tools/qivma/session.h"

struct Explanation {
    std::string error;
    std::string hint;  // what to try, or empty
};

// The exchange an operation repeats: its station and the sizes of its
// request and of the answer it asks for.
struct Exchange {
    std::string station;  // two hexadecimal digits
    size_t requestCharacters = 0;
    size_t answerCharacters = 0;
};

// Why the operation failed, from what came back and when.
Explanation Explain(const LineOptions &line, const Exchange &exchange, const Outcome &outcome);

// One line on a success that took more than one attempt ("answered on
// attempt 3; 2 late answers: try --timeout 650 (...)"); "" after one.
std::string RetryNote(const LineOptions &line, const Exchange &exchange, const Outcome &outcome);

// The requests the operation sent, without the status request that brought
// a doubtful station back in step first; 1 when the driver has no line
// monitor.
int AttemptsOf(const Outcome &outcome);
// Whether `frame` is the status request ("%01#RT..").
bool IsStatusRequest(const std::string &frame);

// The controller's error code in an error answer ("%01!61.."), or "".
std::string ErrorCodeOf(const std::string &response);
// "data error: address out of range or data refused" for "61".
std::string ErrorCodeMeaning(const std::string &code);

// Milliseconds that `characters` characters take on the line.
double LineMilliseconds(const LineOptions &line, size_t characters);

// What the tool waits beyond an exchange's line time: the controller's scan
// and the host's own delays.
constexpr int kTimeoutMarginMs = 15;

// The time-out an exchange of `characters` characters (request and answer)
// needs at the line's rate: its line time and the margin, in the driver's
// 10 ms steps, and never less than `floorMs`.
int TimeoutFor(const LineOptions &line, size_t characters, int floorMs);
