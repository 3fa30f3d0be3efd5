// Reads and writes: one frame, up to three attempts, and the decoding of the
// answer into the host's buffer.
#pragma once

#include <stdint.h>

#include "qivma.h"
#include "serial/timed_read.h"

constexpr int kAttempts = 3;
// How long after its request an answer may still come and be told apart
// from the answer to a later request: the read time-out and a guard of at
// least kMinGuardMs, and at least the time-out itself. What comes later than
// this horizon no master can tell from a prompt answer to the next request.
constexpr uint32_t kMinGuardMs = 100;
constexpr uint32_t AnswerHorizonMs(uint32_t timeoutMs) {
    // Without a time-out the read itself waits for its answer.
    return timeoutMs == kWaitWithoutEnd
               ? kMinGuardMs
               : timeoutMs + (timeoutMs > kMinGuardMs ? timeoutMs : kMinGuardMs);
}
// An answer sent at the horizon itself still has to reach the driver: its
// first character takes its time on the line, and the driver's thread its
// time to wake. The wait for late answers lasts this much longer.
constexpr uint32_t kHorizonMarginMs = 3;

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
