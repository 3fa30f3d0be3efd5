#include "serial/posix_read_pacing.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

// Reads what the terminal holds into the read-ahead, as far as it has room,
// and notes whether nothing more waits. Bytes that a wait for the line
// brought start a run of characters; others go on with the one there is.
bool Fill(int fd, ReadPacing &pacing, bool startsRun) {
    for (;;) {
        const uint32_t room = kReadAhead - pacing.aheadAt - pacing.aheadCount;
        if (room == 0) {
            pacing.drained = false;
            return true;
        }
        const ssize_t n = read(fd, pacing.ahead + pacing.aheadAt + pacing.aheadCount, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        if (n > 0) {
            pacing.aheadCount += static_cast<uint32_t>(n);
            if (startsRun || !pacing.inRun) {
                pacing.inRun = true;
                pacing.runStartUs = INT64_MAX;
                pacing.runBytes = 0;
                startsRun = false;
            }
            pacing.runBytes += n;
            // The bytes of the run so far took a character time each after
            // the first: it came no later than that much before this read.
            const int64_t start = NowMicroseconds() - (pacing.runBytes - 1) * pacing.characterUs;
            if (start < pacing.runStartUs)
                pacing.runStartUs = start;
        }
        if (n < static_cast<ssize_t>(room)) {
            pacing.drained = true;
            return true;
        }
    }
}

void SleepUntil(int64_t us) {
    const timespec until = {static_cast<time_t>(us / 1000000),
                            static_cast<long>(us % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

}  // namespace

int64_t NowMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void TakeAhead(ReadPacing &pacing, char *bytes, uint32_t count, uint32_t *done) {
    const uint32_t n = count - *done < pacing.aheadCount ? count - *done : pacing.aheadCount;
    memcpy(bytes + *done, pacing.ahead + pacing.aheadAt, n);
    *done += n;
    pacing.aheadAt += n;
    pacing.aheadCount -= n;
    if (pacing.aheadCount == 0)
        pacing.aheadAt = 0;
}

bool ReadAll(int fd, ReadPacing &pacing, char *bytes, uint32_t count, uint32_t expected,
             int64_t deadline, uint32_t *done) {
    TakeAhead(pacing, bytes, count, done);
    while (*done < count) {
        const int64_t now = NowMicroseconds();
        if (deadline >= 0 && now >= deadline)
            return true;
        const int64_t characterUs = pacing.characterUs;
        // What the reader expects of the run that has not come yet.
        const int64_t missing = static_cast<int64_t>(expected > count ? expected : count) - *done;
        const bool paced = pacing.inRun && characterUs > 0 &&
                           pacing.runStartUs >= pacing.turnedUs - 2 * characterUs;
        const int64_t due =
            paced ? pacing.runStartUs + (pacing.runBytes + missing - 1) * characterUs : 0;
        bool waited = false, hungUp = false;
        if (!pacing.drained) {
            // More waits than the read-ahead took: read on at once.
        } else if (due > now) {
            SleepUntil(deadline >= 0 && due > deadline ? deadline : due);
        } else {
            waited = true;
            int wait = -1;
            if (deadline >= 0) {
                const int64_t leftMs = (deadline - now + 999) / 1000;
                wait = leftMs > INT32_MAX ? INT32_MAX : static_cast<int>(leftMs);
            }
            pollfd ready = {fd, POLLIN, 0};
            const int polled = poll(&ready, 1, wait);
            if (polled < 0 && errno != EINTR)
                return false;
            if (polled > 0 && (ready.revents & (POLLERR | POLLNVAL)) != 0) {
                errno = EIO;
                return false;
            }
            hungUp = polled > 0 && (ready.revents & POLLHUP) != 0;
        }
        const uint32_t before = *done;
        if (!Fill(fd, pacing, waited))
            return false;
        TakeAhead(pacing, bytes, count, done);
        // The far side gone (a pseudo-terminal whose other end closed) and
        // nothing to read: the line is lost.
        if (hungUp && *done == before) {
            errno = EIO;
            return false;
        }
    }
    return true;
}
