// What read, write and poll share: the plans of the command's addresses, and
// a channel started for them.
#pragma once

#include <string>
#include <vector>

#include "tools/hostkit/tag_plan.h"
#include "tools/qivma/commands.h"

// The plan of `count` elements from `address` as `dataType` (or the type the
// address suggests). Throws UsageError for an address that the driver
// refuses (with every rule it breaks) or a range that cannot be moved,
// before anything is opened.
TagPlan PlanAddress(const std::string &address, int32_t dataType, int count, Operation op);

// The plans of `addresses`; throws UsageError for the first that cannot be
// moved, before anything is opened.
std::vector<TagPlan> PlanTags(const CommandLine &line, const std::vector<std::string> &addresses,
                              Operation op);

// Whether the plans name more than one station, so that labels need theirs.
bool SeveralStations(const std::vector<TagPlan> &plans);

// Starts the session for the plans; false (said on stderr, and in the JSON
// output) when the port does not open. Without --timeout the channel gets
// the time-out that the plans' longest exchange needs (said with --verbose).
// The simulator plays the plans' stations unless `simulatePlans` is false.
bool StartFor(ToolSession &session, const std::vector<TagPlan> &plans, const CommandLine &line,
              bool simulatePlans = true);
