// A station's answer as it comes off the line. What comes before a "%" is
// not an answer (noise, or the tail of an answer cut off); a "%" starts an
// answer afresh; an answer ends at its carriage return, or when it has as
// many characters as the answer expected. So an error answer, shorter than
// the data it replaces, ends the moment its carriage return arrives.
#pragma once

#include <stdint.h>

#include "serial/timed_read.h"

struct AnswerText {
    char *text;
    int32_t capacity;  // the characters the expected answer has
    int32_t length;    // characters so far; 0 while waiting for "%"
    int32_t heard;     // every byte taken from the line, noise included
    bool complete;
};

void StartAnswer(AnswerText *answer, char *text, int32_t capacity);
// Takes `count` bytes of the line; those after a complete answer are not used.
void FeedAnswer(AnswerText *answer, const char *bytes, int32_t count);

enum class Heard {
    kAnswer,      // a complete answer
    kPart,        // an answer had begun and its characters stopped coming
    kNothing,     // no answer began before the deadline
    kLineFailed,  // the port could not be read
};

// Listens for one answer: for its "%" until `startByUs` on the platform's
// clock, then for each further character within `charWaitMs`, as long as they
// keep coming (kWaitWithoutEnd: without end).
Heard ListenForAnswer(TimedReads *reads, AnswerText *answer, uint64_t startByUs,
                      uint32_t charWaitMs);
