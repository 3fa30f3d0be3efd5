// Reads and writes: one frame, up to three attempts, and the decoding of the
// answer into the host's buffer.
#pragma once

#include <stdint.h>

#include "qivma.h"

constexpr int kAttempts = 3;
// The exchange's reply time-out argument; the port's read time-out governs.
constexpr int32_t kReplyTimeout = 1000;
// After a failed attempt, the line must be quiet this long (10 ms units)
// before anything more is sent.
constexpr int32_t kQuietGuard = 10;

// Run one transaction of n words with up to three attempts; 0, 1 or 2.
// `blockData` (writes only) gives the n words of a block write.
int32_t ReadTransaction(DriverRequest *request, int32_t n);
int32_t WriteTransaction(DriverRequest *request, int32_t n, const int16_t *blockData);

int32_t ReadValue(DriverRequest *request);
int32_t ReadBlock(DriverRequest *request);
int32_t WriteValue(DriverRequest *request);
int32_t WriteBlock(DriverRequest *request);
