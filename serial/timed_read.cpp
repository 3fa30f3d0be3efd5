#include "serial/timed_read.h"

#include <string.h>

#include <algorithm>

#include "serial/line_monitor.h"

namespace {

constexpr uint32_t kDiscardChunk = 64;

// The read time-out for a wait of `ms`: 0 on the port means without end.
bool SetWait(TimedReads *reads, uint32_t ms) {
    if (!reads->hostKnown) {
        return true;
    }
    const uint32_t wanted = ms == kWaitWithoutEnd ? 0 : ms;
    if (reads->waitMs == wanted) {
        return true;
    }
    CommTimeouts timeouts = reads->host;
    timeouts.readIntervalTimeout = 0;
    timeouts.readTotalTimeoutMultiplier = 0;
    timeouts.readTotalTimeoutConstant = wanted;
    if (!PlatformSetCommTimeouts(reads->port, &timeouts)) {
        return false;
    }
    reads->waitMs = wanted;
    return true;
}

// Bytes waiting in the input queue; false when the port cannot tell.
bool Waiting(QivPortHandle port, uint32_t *count) {
    uint32_t errors = 0;
    CommStat stat = {0};
    if (!PlatformClearCommError(port, &errors, &stat)) {
        return false;
    }
    *count = stat.cbInQue;
    return true;
}

}  // namespace

void BeginTimedReads(TimedReads *reads, QivPortHandle port) {
    reads->port = port;
    reads->hostKnown = PlatformGetCommTimeouts(port, &reads->host);
    if (!reads->hostKnown) {
        // Such a port fails its reads anyway; the open's time-out stands in.
        reads->host = {0, 0, 1000, 0, 0};
    }
    reads->waitMs = reads->host.readTotalTimeoutConstant;
    reads->reportAs = QIV_LINE_READ;
    reads->countable = false;
    reads->pendingCount = 0;
}

void EndTimedReads(TimedReads *reads) {
    if (reads->hostKnown && reads->waitMs != reads->host.readTotalTimeoutConstant) {
        PlatformSetCommTimeouts(reads->port, &reads->host);
        reads->waitMs = reads->host.readTotalTimeoutConstant;
    }
}

uint32_t HostReadTimeoutMs(const TimedReads &reads) {
    const uint32_t ms = reads.host.readTotalTimeoutConstant;
    return ms == 0 ? kWaitWithoutEnd : ms;
}

bool ReadArrived(TimedReads *reads, char *buffer, uint32_t room, uint32_t wanted, uint32_t expected,
                 uint32_t waitMs, uint32_t *got) {
    *got = 0;
    if (reads->pendingCount > 0) {
        // Already read, and already shown to the line monitor.
        *got = std::min(room, reads->pendingCount);
        memcpy(buffer, reads->pending, *got);
        reads->pendingCount -= *got;
        memmove(reads->pending, reads->pending + *got, reads->pendingCount);
        return true;
    }
    // No more than the reader has room for, and at least one byte.
    wanted = std::min(std::max(wanted, 1u), room);
    expected = std::max(expected, wanted);
    bool read;
    if (waitMs == 0 || !reads->countable) {
        // With no time left to wait, only a count of what has arrived tells
        // how much can be read without a wait.
        uint32_t waiting = 0;
        if (!Waiting(reads->port, &waiting)) {
            ReportLineFailure(reads->port);
            return false;
        }
        if (waiting > 0) {
            read = PlatformReadFile(reads->port, buffer, std::min(waiting, room), got);
        } else if (waitMs == 0) {
            return true;
        } else {
            read = SetWait(reads, waitMs) &&
                   PlatformReadFileExpecting(reads->port, buffer, wanted, expected, got);
        }
    } else {
        // The read takes what has arrived and returns once the rest of
        // `wanted` is there, or when the time is up: one wake-up for the lot.
        read = SetWait(reads, waitMs) &&
               PlatformReadFileExpecting(reads->port, buffer, wanted, expected, got);
    }
    if (!read) {
        ReportLineFailure(reads->port);
    }
    ReportLine(reads->port, reads->reportAs, buffer, *got);
    return read;
}

void PutBack(TimedReads *reads, const char *bytes, uint32_t count) {
    const uint32_t room = static_cast<uint32_t>(sizeof reads->pending) - reads->pendingCount;
    count = std::min(count, room);
    memmove(reads->pending + count, reads->pending, reads->pendingCount);
    memcpy(reads->pending, bytes, count);
    reads->pendingCount += count;
}

uint32_t DiscardArrived(TimedReads *reads, bool counted, uint32_t waiting, uint32_t limit,
                        DiscardObserver seen, void *context) {
    const QivPortHandle port = reads->port;
    reads->countable = counted;
    if (!counted) {
        return 0;
    }
    char scratch[kDiscardChunk];
    const uint32_t all = std::min(waiting, limit);
    uint32_t left = all;
    while (left > 0) {
        uint32_t got = 0;
        if (!PlatformReadFile(port, scratch, std::min(left, kDiscardChunk), &got) || got == 0) {
            break;
        }
        ReportLine(port, QIV_LINE_DISCARDED, scratch, got);
        if (seen != nullptr)
            seen(context, scratch, got);
        left -= got;
    }
    return all - left;
}

bool CountArrived(TimedReads *reads, uint32_t *count) {
    uint32_t waiting = 0;
    if (!Waiting(reads->port, &waiting))
        return false;
    *count = reads->pendingCount + waiting;
    return true;
}

uint32_t MsUntil(uint64_t deadlineUs) {
    const uint64_t now = PlatformMonotonicMicroseconds();
    if (now >= deadlineUs) {
        return 0;
    }
    const uint64_t ms = (deadlineUs - now + 999) / 1000;
    return ms >= kWaitWithoutEnd ? kWaitWithoutEnd - 1 : static_cast<uint32_t>(ms);
}

uint32_t WholeMsUntil(uint64_t deadlineUs) {
    const uint64_t now = PlatformMonotonicMicroseconds();
    if (now >= deadlineUs) {
        return 0;
    }
    const uint64_t ms = (deadlineUs - now) / 1000;
    return ms >= kWaitWithoutEnd ? kWaitWithoutEnd - 1 : static_cast<uint32_t>(ms);
}
