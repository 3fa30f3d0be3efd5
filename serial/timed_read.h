// Reads that end by deadlines. The driver's own waits on the line (listening
// for an answer, waiting out the answers still on their way) must be bounded
// in time whatever the line carries, so each wait is a read of the bytes that
// the listener needs next, with the time left as its time-out: it returns the
// moment they are all there, or with what came once the time has passed. So a
// listener wakes once for a run of characters, not at every one. The port's
// read time-out is changed as each wait needs and put back exactly as the host
// left it.
#pragma once

#include <stdint.h>

#include "qivma.h"
#include "serial/comm_platform.h"
#include "wire/wire_rules.h"

// A wait that only the arrival of a byte ends.
using wire::kWaitWithoutEnd;

struct TimedReads {
    QivPortHandle port;
    CommTimeouts host;  // the time-outs as the host left them
    bool hostKnown;     // they could be read; if not, the port's time-outs are left alone
    uint32_t waitMs;    // the read time-out on the port now
    // The port told what waited when the line was turned round for the
    // first frame: a read with time to wait then goes to it without asking
    // again. A port that could not tell is asked before every read, and the
    // read fails where it still cannot.
    bool countable;
    int32_t reportAs;  // how the line monitor is told of what is read (QIV_LINE_*)
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

// Takes bytes of the line into `buffer`. Bytes handed back come first, up to
// `room`, without a wait. Otherwise, with `waitMs` 0, what has arrived, up to
// `room`, without a wait; else a read of `wanted` bytes (1 to `room`) that
// waits up to `waitMs` for them all, and that may wait until `expected` (at
// least `wanted`) can have come in the same run, keeping the rest for the
// next read (PlatformReadFileExpecting). *got is 0 when nothing came; false
// when the port cannot be read.
bool ReadArrived(TimedReads *reads, char *buffer, uint32_t room, uint32_t wanted, uint32_t expected,
                 uint32_t waitMs, uint32_t *got);

// Hands back the last `count` bytes of what a read gave, unused: they are
// the next read's first. At most QIV_RX_FRAME_SIZE bytes wait so.
void PutBack(TimedReads *reads, const char *bytes, uint32_t count);

// Throws away the `waiting` bytes that the port last told of (`counted`:
// it could tell), at most `limit`, without waiting, and notes whether the
// port could tell. `seen`, when given, is shown each run of bytes thrown
// away. Returns how many were.
using DiscardObserver = void (*)(void *context, const char *bytes, uint32_t count);
uint32_t DiscardArrived(TimedReads *reads, bool counted, uint32_t waiting, uint32_t limit,
                        DiscardObserver seen = nullptr, void *context = nullptr);

// How many bytes a read would take now without waiting: those handed back
// and those waiting in the port's input queue. False when the port cannot
// tell.
bool CountArrived(TimedReads *reads, uint32_t *count);

// Milliseconds from now until `deadlineUs` on the platform's clock, rounded
// up so that a wait never ends before its deadline; 0 once it has passed.
uint32_t MsUntil(uint64_t deadlineUs);
// The whole milliseconds from now until `deadlineUs`, rounded down.
uint32_t WholeMsUntil(uint64_t deadlineUs);
