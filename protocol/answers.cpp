#include "protocol/answers.h"

#include "qivma.h"

namespace {

constexpr char kFrameStart = '%';
constexpr char kCarriageReturn = '\r';

uint32_t WaitUntil(uint64_t deadlineUs) {
    return deadlineUs == UINT64_MAX ? kWaitWithoutEnd : MsUntil(deadlineUs);
}

}  // namespace

void StartAnswer(AnswerText *answer, char *text, int32_t capacity) {
    answer->text = text;
    answer->capacity = capacity;
    answer->length = 0;
    answer->heard = 0;
    answer->dropped = 0;
    answer->complete = false;
}

int32_t FeedAnswer(AnswerText *answer, const char *bytes, int32_t count, AnswerTest test,
                   const void *context) {
    int32_t used = 0;
    while (used < count && !answer->complete) {
        const char c = bytes[used++];
        ++answer->heard;
        if (c == kFrameStart) {
            if (answer->length > 0)
                ++answer->dropped;  // cut off by a new frame
            answer->length = 0;
        } else if (answer->length == 0) {
            continue;
        }
        answer->text[answer->length++] = c;
        if (c != kCarriageReturn && answer->length < answer->capacity)
            continue;
        if (test(context, answer->text, answer->length)) {
            answer->complete = true;
        } else {
            ++answer->dropped;
            answer->length = 0;
        }
    }
    return used;
}

Heard ListenForAnswer(TimedReads *reads, AnswerText *answer, const AnswerDeadlines &deadlines,
                      AnswerTest test, const void *context) {
    char chunk[QIV_RX_FRAME_SIZE];
    while (!answer->complete) {
        const bool begun = answer->length > 0;
        // A frame that has begun may take until the answer's whole deadline;
        // before one begins, the first "%" has its own, earlier one.
        const uint32_t waitMs = WaitUntil(begun ? deadlines.completeByUs : deadlines.startByUs);
        // No more than the frame still lacks, so that what follows an answer
        // stays on the line for whoever listens next. Past the deadline, what
        // has already arrived is still taken: a thread that woke late must
        // not miss an answer that came in time.
        const uint32_t room = static_cast<uint32_t>(answer->capacity - answer->length);
        uint32_t got = 0;
        if (!ReadArrived(reads, chunk, room, waitMs, &got)) {
            return Heard::kLineFailed;
        }
        if (got == 0) {
            // Nothing more by the deadline (or, without one, a device at its
            // end: a null device returns at once).
            if (waitMs == 0 || waitMs == kWaitWithoutEnd)
                return begun ? Heard::kPart : Heard::kNothing;
            continue;  // the wait ended early: look at the clock again
        }
        const int32_t used = FeedAnswer(answer, chunk, static_cast<int32_t>(got), test, context);
        // What follows the answer in the same read is the next listener's.
        PutBack(reads, chunk + used, got - static_cast<uint32_t>(used));
        // A pass after its deadline takes what had arrived, and no more is
        // waited for: a line that never stops (noise, a flood of "%") cannot
        // hold the listener past the answer's whole deadline.
        if (!answer->complete && waitMs == 0 &&
            (answer->length == 0 || WaitUntil(deadlines.completeByUs) == 0)) {
            return answer->length > 0 ? Heard::kPart : Heard::kNothing;
        }
    }
    return Heard::kAnswer;
}
