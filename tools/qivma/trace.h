// Every frame on the line, as the driver's line monitor reported it: each
// attempt numbered, times from the operation's start, discarded bytes marked.
#pragma once

#include <string>
#include <vector>

#include "tools/hostkit/value_format.h"

#include "tools/qivma/session.h"

// One text line per attempt's request, per answer and per discard.
std::vector<std::string> TraceLines(const Outcome &outcome);

// The same as JSON: [{"attempt": 1, "ms": 0.3, "direction": "sent", "bytes": ...}].
Json TraceJson(const Outcome &outcome);
