// Reads that end by deadlines. The driver's own waits on the line (listening
// for an answer, waiting out the answers still on their way) must be bounded
// in time whatever the line carries, so each wait takes what has arrived at
// once and waits only for the first byte of what has not, up to the time it is
// given. The port's read time-out is changed as each wait needs and put back
// exactly as the host left it.
#pragma once

#include <stdint.h>

#include "qivma.h"
#include "serial/comm_platform.h"

// A wait that only the arrival of a byte ends.
constexpr uint32_t kWaitWithoutEnd = UINT32_MAX;

struct TimedReads {
    QivPortHandle port;
    CommTimeouts host;  // the time-outs as the host left them
    bool hostKnown;     // they could be read; if not, the port's time-outs are left alone
    uint32_t waitMs;    // the read time-out on the port now
    int32_t reportAs;   // how the line monitor is told of what is read (QIV_LINE_*)
    // Bytes read from the port and handed back, unused: the next read takes
    // them first.
    char pending[QIV_RX_FRAME_SIZE];
    uint32_t pendingCount;
};

// Reads the port's time-outs, to work with and to put back.
void BeginTimedReads(TimedReads *reads, QivPortHandle port);
// Puts the host's time-outs back if a wait changed them.
void EndTimedReads(TimedReads *reads);

// The host's read time-out in milliseconds; kWaitWithoutEnd when it is 0,
// which asks a read to wait for every byte.
uint32_t HostReadTimeoutMs(const TimedReads &reads);

// Takes up to `room` bytes that have arrived (those handed back first); when
// none has, waits up to
// `waitMs` (0: not at all) for the first. *got is 0 when nothing came; false
// when the port cannot be read.
bool ReadArrived(TimedReads *reads, char *buffer, uint32_t room, uint32_t waitMs, uint32_t *got);

// Hands back the last `count` bytes of what a read gave, unused: they are
// the next read's first. At most QIV_RX_FRAME_SIZE bytes wait so.
void PutBack(TimedReads *reads, const char *bytes, uint32_t count);

// Throws away what has arrived, at most `limit` bytes, without waiting.
void DiscardArrived(QivPortHandle port, uint32_t limit);

// Milliseconds from now until `deadlineUs` on the platform's clock, rounded
// up so that a wait never ends before its deadline; 0 once it has passed.
uint32_t MsUntil(uint64_t deadlineUs);
