#include "protocol/transactions.h"

#include <string.h>

#include "address/numeric_text.h"
#include "protocol/answers.h"
#include "protocol/frames.h"
#include "serial/exchange.h"
#include "serial/timed_read.h"

namespace {

constexpr int32_t kResponseOverhead = 9;  // "%", station, "$", echo, block check, CR
constexpr int32_t kDataStart = 6;
// More than any input queue holds: what waited before a request is all read.
constexpr uint32_t kDiscardLimit = 4096;

bool IsDoubleWordDevice(int32_t device) {
    return device == 'E' || device == 'G';
}

int32_t SingleValueWords(const TagAccess &tag) {
    return tag.width == 32 ? 2 : 1;
}

// The words of a block: wide enough that doubling any count cannot overflow.
int64_t BlockWords(const TagAccess &tag) {
    return IsDoubleWordDevice(tag.device) ? int64_t{tag.count} * 2 : int64_t{tag.count};
}

// The channel's value pointers at words 1 and 0 of the host's buffer, where a
// single value's words are taken from and put.
void PointAtHostBuffer(DriverInstance &instance, const TagAccess &tag) {
    instance.valuePtr = tag.data + 1;
    instance.valuePtr0 = tag.data;
}

// A block moves at least one word and no more than one response carries.
bool IsBlockWithinAFrame(int64_t n) {
    return n >= 1 && n <= kMaxWordsPerFrame;
}

bool IsGlobalStation(const DriverRequest *request) {
    return static_cast<const TagAccess *>(request->params)->station == kGlobalStation;
}

void PutFrame(DriverInstance &instance, const char *frame) {
    const int32_t length = static_cast<int32_t>(strlen(frame));
    memcpy(instance.txFrame, frame, static_cast<size_t>(length) + 1);
    instance.txLength = length;
}

uint64_t After(uint64_t startUs, uint32_t ms) {
    return ms == kWaitWithoutEnd ? UINT64_MAX : startUs + uint64_t{ms} * 1000u;
}

bool IsGoodAnswer(DriverRequest *request, const AnswerText &answer) {
    return answer.complete && answer.length == request->instance->rxLength &&
           CheckResponse(request) == 0;
}

// The rule that ties an answer to its attempt: an attempt is answered only
// by an answer of the station it asked, well formed, its block check right,
// with the station and the echo of the request: a good answer, or that
// station's error answer. Anything else that comes answers nothing (noise,
// the echo of our own request that a two-wire adapter hears, a cut or
// corrupted frame, another station's answer): the station's own answer is
// still owed, and the attempt goes on listening for it.
bool AnswersAttempt(const void *context, const char *frame, int32_t length) {
    const DriverInstance &instance = *static_cast<const DriverInstance *>(context);
    return (length == instance.rxLength && IsGoodAnswerFrame(instance.txFrame, frame, length)) ||
           IsErrorAnswerFrame(instance.txFrame, frame, length);
}

// Once the horizon wait has begun, every complete frame is looked at by the
// caller: a good one may still answer the request, the rest is thrown away.
bool AnyFrame(const void *, const char *, int32_t) {
    return true;
}

// How long the answer takes on the line at the channel's rate, with one
// character more and a few milliseconds for the driver's thread to wake: the
// time an answer begun by its deadline has to complete.
uint32_t AnswerLineMs(const DriverInstance &instance) {
    constexpr uint32_t kWakeMs = 5;
    const SerialLineSettings &line = instance.openParams.lineSettings;
    if (line.baudRate == 0) {
        return kWakeMs;
    }
    const uint64_t bits = 1u + line.dataBits + (line.parity != QIV_PARITY_NONE ? 1u : 0u) +
                          (line.stopBits == QIV_STOPBITS_ONE ? 1u : 2u);
    const uint64_t characters = static_cast<uint64_t>(instance.rxLength) + 1;
    return static_cast<uint32_t>((characters * bits * 1000 + line.baudRate - 1) / line.baudRate) +
           kWakeMs;
}

AnswerDeadlines DeadlinesFrom(uint64_t startUs, uint32_t startWithinMs, uint32_t lineMs) {
    const uint64_t startBy = After(startUs, startWithinMs);
    return {startBy, startBy == UINT64_MAX ? UINT64_MAX : startBy + uint64_t{lineMs} * 1000u};
}

// The status of an attempt whose answer did not pass: 1 for an answer that
// was wrong or incomplete, or bytes that were no answer; 2 when nothing came.
int32_t FailedAttemptStatus(const AnswerText &answer) {
    return answer.complete || answer.heard > 0 ? QIV_STATUS_REFUSED : QIV_STATUS_LINE_FAILURE;
}

// Reads what the station still sends until the horizon: the answers of this
// transaction's attempts that went unanswered in their time. A good one that
// comes now still answers the request, if none has yet; nothing that comes
// is left for the channel's next transaction to take.
int32_t WaitOutLateAnswers(DriverRequest *request, TimedReads *reads,
                           const AnswerDeadlines &horizon, int32_t status) {
    DriverInstance &instance = *request->instance;
    char spare[QIV_RX_FRAME_SIZE];
    reads->reportAs = status == QIV_STATUS_OK ? QIV_LINE_DISCARDED : QIV_LINE_READ;
    for (;;) {
        AnswerText answer;
        StartAnswer(&answer, status == QIV_STATUS_OK ? spare : instance.rxFrame, instance.rxLength);
        const Heard heard = ListenForAnswer(reads, &answer, horizon, AnyFrame, nullptr);
        if (heard == Heard::kAnswer && status != QIV_STATUS_OK && IsGoodAnswer(request, answer)) {
            status = QIV_STATUS_OK;
        }
        // Once the request has its answer, what still comes is only waited out.
        reads->reportAs = status == QIV_STATUS_OK ? QIV_LINE_DISCARDED : QIV_LINE_READ;
        if (heard != Heard::kAnswer) {
            return status;
        }
    }
}

// Every attempt of a transaction sends the same frame, so any good answer
// that comes while the transaction runs answers it, whichever attempt it
// answers. What must never happen is that an answer to this transaction is
// taken by a later one. So: what waits before the first attempt is thrown
// away, for it was not sent for this request; an attempt listens for its
// answer by two deadlines, its "%" within the time-out T and all of it
// within its line time after that, and is retried at once when nothing that
// answers it came; and once an attempt has gone unanswered, its answer may
// still be on its way, so before it returns the transaction listens on until
// the horizon of its last attempt has passed.
//
// So an operation ends, whatever the line carries, within
//   3 x (X + T + L) + G + 3 ms
// where X is the time to send a frame with its RTS lead, L the answer's line
// time with its slack (AnswerLineMs) and G the guard (AnswerHorizonMs).
int32_t RunAttempts(DriverRequest *request) {
    DriverInstance &instance = *request->instance;
    TimedReads reads;
    BeginTimedReads(&reads, instance.port);
    const uint32_t timeoutMs = HostReadTimeoutMs(reads);
    const uint32_t lineMs = AnswerLineMs(instance);
    DiscardArrived(&reads, kDiscardLimit);

    int32_t status = QIV_STATUS_REFUSED;
    bool answersOnTheirWay = false;
    uint64_t lastSentUs = 0;
    for (int attempt = 0; attempt < kAttempts && status != QIV_STATUS_OK; ++attempt) {
        const int32_t sent =
            TransmitFrame(instance.port, instance.txFrame, instance.txLength, kRtsLeadMs, 0, 0);
        if (sent != kExchangeComplete) {
            status = sent;  // a frame that did not go out whole is answered by nobody
            continue;
        }
        // What came while the frame went out stays: an answer to an earlier
        // attempt answers this one too, and the tail of a broken one is
        // skipped. A discard here would race a fast peer (a pseudo-terminal,
        // a virtual null modem) and could throw its answer away.
        lastSentUs = PlatformMonotonicMicroseconds();
        AnswerText answer;
        StartAnswer(&answer, instance.rxFrame, instance.rxLength);
        const Heard heard =
            ListenForAnswer(&reads, &answer, DeadlinesFrom(lastSentUs, timeoutMs, lineMs),
                            AnswersAttempt, &instance);
        if (heard == Heard::kAnswer) {
            // The station's good answer, or its error answer: retried at once.
            status = IsGoodAnswer(request, answer) ? QIV_STATUS_OK : QIV_STATUS_REFUSED;
        } else {
            status =
                heard == Heard::kLineFailed ? QIV_STATUS_LINE_FAILURE : FailedAttemptStatus(answer);
            ClearLineErrors(instance.port);
            answersOnTheirWay = true;
        }
    }
    if (answersOnTheirWay) {
        const AnswerDeadlines horizon =
            DeadlinesFrom(lastSentUs, AnswerHorizonMs(timeoutMs) + kHorizonMarginMs, lineMs);
        status = WaitOutLateAnswers(request, &reads, horizon, status);
    }
    EndTimedReads(&reads);
    return status;
}

// A frame to the global station goes out once; nobody answers it.
int32_t Broadcast(DriverInstance &instance) {
    return TransmitFrame(instance.port, instance.txFrame, instance.txLength, kRtsLeadMs, 0, 0);
}

}  // namespace

int32_t ReadTransaction(DriverRequest *request, int32_t n) {
    char frame[kReadFrameArea];
    if (SetMewtocolCmd(request, FrameKind::kRead, n, frame, sizeof frame, nullptr) != 0) {
        return QIV_STATUS_REFUSED;
    }
    PutFrame(*request->instance, frame);
    request->instance->rxLength = 4 * n + kResponseOverhead;
    // Nobody answers the global station: a read of it could only fail. The
    // frame is composed all the same, as for any station, so that the
    // channel's fields show what was asked.
    if (IsGlobalStation(request)) {
        return QIV_STATUS_REFUSED;
    }
    return RunAttempts(request);
}

int32_t WriteTransaction(DriverRequest *request, int32_t n, const int16_t *blockData) {
    char frame[kWriteFrameArea];
    if (SetMewtocolCmd(request, FrameKind::kWrite, n, frame, sizeof frame, blockData) != 0) {
        return QIV_STATUS_REFUSED;
    }
    PutFrame(*request->instance, frame);
    request->instance->rxLength = kResponseOverhead;
    if (IsGlobalStation(request)) {
        return Broadcast(*request->instance);
    }
    return RunAttempts(request);
}

int32_t ReadValue(DriverRequest *request) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    DriverInstance &instance = *request->instance;
    PointAtHostBuffer(instance, tag);
    tag.data[0] = 0;
    tag.data[1] = 0;

    const int32_t n = SingleValueWords(tag);
    const int32_t status = ReadTransaction(request, n);
    if (status != QIV_STATUS_OK) {
        return status;
    }
    const char *data = instance.rxFrame + kDataStart;
    if (n == 1) {
        tag.data[1] = static_cast<int16_t>(SwappedHexToWord(data));
    } else {
        tag.data[0] = static_cast<int16_t>(SwappedHexToWord(data));
        tag.data[1] = static_cast<int16_t>(SwappedHexToWord(data + kDataWordChars));
    }
    if (tag.dataType == QIV_TYPE_BIT) {
        tag.data[1] = static_cast<int16_t>(TestBit(SwappedHexToWord(data), tag.bitNumber));
    }
    return QIV_STATUS_OK;
}

int32_t ReadBlock(DriverRequest *request) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    DriverInstance &instance = *request->instance;
    PointAtHostBuffer(instance, tag);

    const int64_t words = BlockWords(tag);
    if (!IsBlockWithinAFrame(words)) {
        return QIV_STATUS_REFUSED;
    }
    const int32_t n = static_cast<int32_t>(words);
    const int32_t status = ReadTransaction(request, n);
    if (status != QIV_STATUS_OK) {
        return status;
    }
    for (int32_t i = 0; i < n; ++i) {
        tag.data[i] = static_cast<int16_t>(
            SwappedHexToWord(instance.rxFrame + kDataStart + kDataWordChars * i));
    }
    return QIV_STATUS_OK;
}

int32_t WriteValue(DriverRequest *request) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    DriverInstance &instance = *request->instance;
    PointAtHostBuffer(instance, tag);
    return WriteTransaction(request, SingleValueWords(tag), nullptr);
}

int32_t WriteBlock(DriverRequest *request) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    const int64_t n = BlockWords(tag);
    if (!IsBlockWithinAFrame(n)) {
        return QIV_STATUS_REFUSED;
    }
    // Word i of the buffer is the controller word at the start address + i.
    return WriteTransaction(request, static_cast<int32_t>(n), tag.data);
}
