// The reads of a POSIX terminal: a read-ahead that keeps what the terminal
// held beyond what a read asked for, and reads paced at the line's rate,
// which wake once for a run of characters instead of at each of them.
#pragma once

#include <stdint.h>

// More than the longest answer, so that one read takes a whole answer.
constexpr uint32_t kReadAhead = 256;

// What the reads of one terminal keep from one read to the next.
struct ReadPacing {
    // Bytes read from a terminal and not yet taken by a read: its input
    // queue goes on here. Reads take them first; the count of waiting input
    // counts them.
    char ahead[kReadAhead] = {};
    uint32_t aheadAt = 0, aheadCount = 0;
    // A character's time on the line at the rate and format set (0: not
    // known). A run of characters on the line: the latest time at which its
    // first can have come, as the reads of it so far tell, and how many have
    // come. And when the line was last turned round: the open, or a frame
    // that began to go out; nothing that comes later can have begun before.
    int64_t characterUs = 0;
    bool inRun = false;
    int64_t runStartUs = 0;
    int64_t runBytes = 0;
    int64_t turnedUs = 0;
    bool drained = false;  // the last read of the device left nothing waiting
};

// The monotonic clock, in microseconds.
int64_t NowMicroseconds();

// Takes what was read ahead, up to `count` in all.
void TakeAhead(ReadPacing &pacing, char *bytes, uint32_t count, uint32_t *done);

// A read of the terminal `fd` that waits for all `count` bytes, until
// `deadline` (-1: without end), waking as seldom as it can. A quiet line is
// waited on in poll, which wakes at the first byte to come. That byte starts
// a run of characters, one every character time: the last byte expected (the
// `expected`th, `count` or more) can be there no sooner than as many
// character times after the first as lie between them, so the read sleeps
// until then (or its deadline) and takes them together; bytes beyond `count`
// stay read ahead for the next read. A run that ends sooner (a shorter frame)
// is taken as it is at that time, once `count` are there. (poll
// would wake at every character, whatever VMIN says: the terminal wakes its
// pollers at each one it receives.) A byte that is not there when it could
// be (the far end paused, a USB adapter hands bytes on in bursts) is waited
// for in poll again, and starts a run afresh. So is every byte of a line
// that brings more than its rate could since it was turned round (a
// pseudo-terminal, a USB port that only plays a serial line, a network
// link): its bytes come sooner than any time that the rate tells. (Such a
// line that hands on a first byte alone, and the rest at once, costs a read
// the line time of what it asked for, once.) False, with errno set, when the
// line failed.
bool ReadAll(int fd, ReadPacing &pacing, char *bytes, uint32_t count, uint32_t expected,
             int64_t deadline, uint32_t *done);
