// A station's answer as it comes off the line, framed: what comes before a
// "%" is not an answer (noise, or the tail of an answer cut off); a "%"
// starts a frame afresh, and the frame it cuts off is dropped; a frame ends
// at its carriage return, or when it has as many characters as the answer
// expected. So an error answer, shorter than the data it replaces, ends the
// moment its carriage return arrives.
//
// A complete frame is put to a test that the listener is given: a frame that
// does not pass it (the echo of the request, another station's answer, a
// corrupted frame) answers nothing, and the listener goes on with what
// follows it on the line, within the same deadlines.
#pragma once

#include <stdint.h>

#include "serial/timed_read.h"

struct AnswerText {
    char *text;
    int32_t capacity;  // the characters the longest answer that is looked for has
    // Where the answer is expected to end: reads wait for no more than that;
    // past it, a frame that has not ended is read a character at a time.
    int32_t expected;
    int32_t length;   // characters of the frame so far; 0 while waiting for "%"
    int32_t heard;    // every byte taken from the line, noise included
    int32_t dropped;  // frames begun that answered nothing: cut off, or refused by the test
    bool complete;    // `text` holds a frame that passed the test
    // Bytes still to come that began to arrive before the station could have
    // heard the whole request: a frame whose "%" is among them cannot answer it.
    int32_t earlyLeft;
    bool frameEarly;  // the frame in `text` began among them
};

// Whether a complete frame of `length` characters answers what was asked;
// `early` when it began before the station could have heard the request. The
// test may note what the frame tells of the station that sent it.
using AnswerTest = bool (*)(void *context, const char *frame, int32_t length, bool early);

// When an answer must have come: its "%" by `startByUs` and all of it by
// `completeByUs`, on the platform's clock (UINT64_MAX: without end). A
// listener never waits past the later of the two.
struct AnswerDeadlines {
    uint64_t startByUs;
    uint64_t completeByUs;
};

// Starts an answer of `capacity` characters, expected to have them all.
void StartAnswer(AnswerText *answer, char *text, int32_t capacity);
// Takes `count` bytes of the line. Returns how many it used: those after a
// frame that passed the test are left.
int32_t FeedAnswer(AnswerText *answer, const char *bytes, int32_t count, AnswerTest test,
                   void *context);

enum class Heard {
    kAnswer,      // a complete frame that passed the test
    kPart,        // a frame had begun and did not complete by its deadline
    kNothing,     // no frame began, or none that passed the test completed, in time
    kLineFailed,  // the port could not be read
};

// Listens for one answer that passes `test`, until the deadlines.
Heard ListenForAnswer(TimedReads *reads, AnswerText *answer, const AnswerDeadlines &deadlines,
                      AnswerTest test, void *context);
