#include "protocol/answers.h"

#include "qivma.h"
#include "wire/wire_rules.h"

namespace {

constexpr char kFrameStart = '%';
constexpr char kCarriageReturn = '\r';
constexpr char kErrorMark = '!';
// The shortest frame that answers: an error answer, "%", the station, "!",
// two digits, the block check and the carriage return.
constexpr int32_t kShortestAnswer = wire::kErrorAnswerLength;
constexpr int32_t kKindAt = 3;  // "$" of a data answer, "!" of an error answer

uint32_t WaitUntil(uint64_t deadlineUs) {
    return deadlineUs == UINT64_MAX ? kWaitWithoutEnd : MsUntil(deadlineUs);
}

// How many more characters the line must bring before a frame that answers
// can be complete: a read asks for these and returns with no fewer, so that
// such a frame is looked at once its last character is there (no later than
// when the whole answer expected could be). With no frame begun, or one that
// can still be an error answer, that is the error answer's ninth character;
// once the frame can only be a data answer, its last. (A "%" in the middle of
// a frame starts it afresh: an error answer begun so is looked at when what
// was asked for has come, or at the deadline.)
uint32_t CharactersToAnEnd(const AnswerText &answer) {
    if (answer.length >= answer.expected) {
        return 1;
    }
    const int32_t room = answer.expected - answer.length;
    const bool mayBeAnError = answer.length <= kKindAt || answer.text[kKindAt] == kErrorMark;
    if (mayBeAnError && answer.length < kShortestAnswer && kShortestAnswer - answer.length < room) {
        return static_cast<uint32_t>(kShortestAnswer - answer.length);
    }
    return static_cast<uint32_t>(room);
}

}  // namespace

void StartAnswer(AnswerText *answer, char *text, int32_t capacity) {
    answer->text = text;
    answer->capacity = capacity;
    answer->expected = capacity;
    answer->length = 0;
    answer->heard = 0;
    answer->dropped = 0;
    answer->complete = false;
    answer->earlyLeft = 0;
    answer->frameEarly = false;
}

int32_t FeedAnswer(AnswerText *answer, const char *bytes, int32_t count, AnswerTest test,
                   void *context) {
    int32_t used = 0;
    while (used < count && !answer->complete) {
        const char c = bytes[used++];
        ++answer->heard;
        const bool early = answer->earlyLeft > 0;
        if (early)
            --answer->earlyLeft;
        if (c == kFrameStart) {
            if (answer->length > 0)
                ++answer->dropped;  // cut off by a new frame
            answer->length = 0;
            answer->frameEarly = early;
        } else if (answer->length == 0) {
            continue;
        }
        answer->text[answer->length++] = c;
        if (c != kCarriageReturn && answer->length < answer->capacity)
            continue;
        if (test(context, answer->text, answer->length, answer->frameEarly)) {
            answer->complete = true;
        } else {
            ++answer->dropped;
            answer->length = 0;
        }
    }
    return used;
}

Heard ListenForAnswer(TimedReads *reads, AnswerText *answer, const AnswerDeadlines &deadlines,
                      AnswerTest test, void *context) {
    char chunk[QIV_RX_FRAME_SIZE];
    while (!answer->complete) {
        const bool begun = answer->length > 0;
        // A frame that has begun may take until the answer's whole deadline;
        // before one begins, the first "%" has its own, earlier one.
        const uint64_t deadlineUs = begun ? deadlines.completeByUs : deadlines.startByUs;
        const uint32_t waitMs = WaitUntil(deadlineUs);
        // No more than the frame still lacks, so that what follows an answer
        // stays on the line for whoever listens next. Past the deadline, what
        // has already arrived is still taken: a thread that woke late must
        // not miss an answer that came in time.
        const uint32_t room = static_cast<uint32_t>(answer->capacity - answer->length);
        // A read for several characters waits the whole milliseconds left;
        // in the last fraction of one, a read for one ends at the first that
        // comes, so that no read runs on past the deadline for want of the
        // rest, and none ends before it.
        //
        // The read may sleep on until the whole answer expected can be
        // there: a frame that ends sooner (an error answer) is then looked
        // at no later than that, and one that runs on to its length costs
        // one wake-up, not one for each place where it may end.
        uint32_t wanted = CharactersToAnEnd(*answer);
        uint32_t expected = answer->length < answer->expected
                                ? static_cast<uint32_t>(answer->expected - answer->length)
                                : wanted;
        uint32_t readMs = waitMs;
        if (wanted > 1 && waitMs != 0 && waitMs != kWaitWithoutEnd) {
            readMs = WholeMsUntil(deadlineUs);
            if (readMs == 0) {
                wanted = 1;
                expected = 1;
                readMs = waitMs;
            }
        }
        uint32_t got = 0;
        if (!ReadArrived(reads, chunk, room, wanted, expected, readMs, &got)) {
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
