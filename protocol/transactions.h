// Reads and writes: one frame, up to three attempts, and the decoding of the
// answer into the host's buffer.
#pragma once

#include <stdint.h>

#include "qivma.h"
#include "serial/timed_read.h"
#include "wire/wire_rules.h"

using wire::AnswerHorizonMs;
using wire::kAttempts;
using wire::kHorizonMarginMs;
using wire::kMinGuardMs;

// The global station: every controller executes what is sent to it, and none
// answers.
constexpr int32_t kGlobalStation = 0xFF;

// Run one transaction of n words with up to three attempts; 0, 1 or 2.
// `blockData` (writes only) gives the n words of a block write.
int32_t ReadTransaction(DriverRequest *request, int32_t n);
int32_t WriteTransaction(DriverRequest *request, int32_t n, const int16_t *blockData);

int32_t ReadValue(DriverRequest *request);
int32_t ReadBlock(DriverRequest *request);
int32_t WriteValue(DriverRequest *request);
int32_t WriteBlock(DriverRequest *request);
