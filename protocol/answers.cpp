#include "protocol/answers.h"

#include "qivma.h"

namespace {

constexpr char kFrameStart = '%';
constexpr char kCarriageReturn = '\r';

}  // namespace

void StartAnswer(AnswerText *answer, char *text, int32_t capacity) {
    answer->text = text;
    answer->capacity = capacity;
    answer->length = 0;
    answer->heard = 0;
    answer->complete = false;
}

void FeedAnswer(AnswerText *answer, const char *bytes, int32_t count) {
    for (int32_t i = 0; i < count && !answer->complete; ++i) {
        const char c = bytes[i];
        ++answer->heard;
        if (c == kFrameStart) {
            answer->length = 0;
        } else if (answer->length == 0) {
            continue;
        }
        answer->text[answer->length++] = c;
        answer->complete = c == kCarriageReturn || answer->length == answer->capacity;
    }
}

Heard ListenForAnswer(TimedReads *reads, AnswerText *answer, uint64_t startByUs,
                      uint32_t charWaitMs) {
    char chunk[QIV_RX_FRAME_SIZE];
    while (!answer->complete) {
        const bool begun = answer->length > 0;
        const uint32_t waitMs =
            begun ? charWaitMs : (startByUs == UINT64_MAX ? kWaitWithoutEnd : MsUntil(startByUs));
        // No more than the answer still lacks, so that what follows it stays
        // on the line for whoever listens next. Past the deadline, what has
        // already arrived is still taken: a thread that woke late must not
        // miss an answer that came in time.
        const uint32_t room = static_cast<uint32_t>(answer->capacity - answer->length);
        uint32_t got = 0;
        if (!ReadArrived(reads, chunk, room, waitMs, &got)) {
            return Heard::kLineFailed;
        }
        if (got == 0 && !begun && waitMs == 0) {
            return Heard::kNothing;
        }
        if (got == 0 && begun) {
            return Heard::kPart;
        }
        if (got == 0 && waitMs == kWaitWithoutEnd) {
            return Heard::kNothing;  // a device at its end (a null device) returns at once
        }
        FeedAnswer(answer, chunk, static_cast<int32_t>(got));
    }
    return Heard::kAnswer;
}
