#include "protocol/transactions.h"

#include <string.h>

#include "address/numeric_text.h"
#include "protocol/answers.h"
#include "protocol/frames.h"
#include "protocol/station_state.h"
#include "serial/exchange.h"
#include "serial/serial_port.h"
#include "serial/timed_read.h"
#include "wire/wire_rules.h"

namespace {

using wire::kDataStart;
// The longest frame a station sends: every answer fits it.
constexpr int32_t kMaxAnswerLength = wire::kMaxFrameLength - 1;
// The status answer as these controllers give it: "%", station, "$RT", 16
// characters of status, block check and carriage return. Reads of a marker's
// answer wait for this many; a longer one is read on to its carriage return.
constexpr int32_t kStatusAnswerLength = wire::AnswerLength(0) + 16;
// More than any input queue holds: what waited before a request is all read.
constexpr uint32_t kDiscardLimit = 4096;

int32_t SingleValueWords(const TagAccess &tag) {
    return tag.width == 32 ? 2 : 1;
}

// The words of a block: wide enough that doubling any count cannot overflow.
int64_t BlockWords(const TagAccess &tag) {
    return wire::IsDoubleWordDevice(tag.device) ? int64_t{tag.count} * 2 : int64_t{tag.count};
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

// A station's answer that no request is waiting for: whatever request of
// that station it answers, the next one could take it for its own. A status
// answer that a marker is still owed is the one exception: it is counted
// off, and no read's or write's answer can be taken for it, nor it for one.
void NoteStrayAnswer(DriverInstance &instance, const char *frame, int32_t length) {
    const int32_t station = AnsweringStation(frame, length);
    if (station >= 0) {
        StationState(instance, station)
            .AnswerUnasked(frame[3] == '$' && frame[4] == 'R' && frame[5] == 'T');
    }
}

// The rule that ties an answer to its attempt: an attempt is answered only
// by an answer of the station it asked, well formed, its block check right,
// with the station and the echo of the request: a good answer, or that
// station's error answer; and only by one that began after the station could
// have heard the whole request. Anything else that comes answers nothing
// (noise, the echo of our own request that a two-wire adapter hears, a cut
// or corrupted frame, another station's answer): the station's own answer is
// still owed, and the attempt goes on listening for it.
bool AnswersAttempt(void *context, const char *frame, int32_t length, bool early) {
    DriverInstance &instance = *static_cast<DriverInstance *>(context);
    const bool answers =
        !early &&
        ((length == instance.rxLength && IsGoodAnswerFrame(instance.txFrame, frame, length)) ||
         IsErrorAnswerFrame(instance.txFrame, frame, length));
    if (!answers) {
        NoteStrayAnswer(instance, frame, length);
    }
    return answers;
}

// Once the horizon wait has begun, every complete frame is looked at by the
// caller: a good one may still answer the request, the rest is thrown away.
bool AnyFrame(void *, const char *, int32_t, bool) {
    return true;
}

// The time `characters` take on the line at the channel's settings, in
// microseconds; 0 where the rate is not known.
uint64_t LineUs(const DriverInstance &instance, int32_t characters) {
    const SerialLineSettings &line = instance.openParams.lineSettings;
    if (line.baudRate == 0) {
        return 0;
    }
    const uint32_t halfBits =
        wire::HalfBitsPerCharacter(line.dataBits & 0xFF, line.parity & 0xFF, line.stopBits & 0xFF);
    return wire::LineMicroseconds(static_cast<uint64_t>(characters), halfBits, line.baudRate);
}

// How long an answer of `characters` takes on the line, with one character
// more and a few milliseconds for the driver's thread to wake: the time an
// answer begun by its deadline has to complete.
uint32_t AnswerLineMs(const DriverInstance &instance, int32_t characters) {
    constexpr uint32_t kWakeMs = 5;
    return static_cast<uint32_t>((LineUs(instance, characters + 1) + 999) / 1000) + kWakeMs;
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

// One transaction's view of the line.
struct LineView {
    TimedReads reads;
    uint32_t timeoutMs;
    // Whether the line keeps to its rate, so that what had come by the time a
    // frame had gone out began before the station could have heard it:
    // unknown until a frame has gone out in the time its characters take.
    enum { kUnknown, kPaced, kFaster } pace;
    // The line turned round for the next frame, and not yet used: when the
    // turn began, how it ended, and what had arrived by its end.
    bool turned;
    uint64_t turnBeganUs;
    int32_t turn;
    WaitingInput waiting;
};

void TurnLine(DriverInstance &instance, LineView &view) {
    view.turnBeganUs = PlatformMonotonicMicroseconds();
    view.turn = TurnLineRound(instance.port, kRtsLeadMs, 0, &view.waiting);
    view.turned = true;
}

// Sends `frame` and tells how many bytes that a listener will read next
// began to arrive before the station could have heard all of it. On any
// line, what had come by the time the frame began to be written: the second
// copy of an answer, or an answer to an earlier request that came while the
// line was turned round. On a serial port that keeps to its rate, what had
// come by the time its last byte left. A pseudo-terminal, a network link, or
// a driver that reports the transmitter empty before the bytes have gone
// hands the far end the frame at once, and could hand back its answer as
// soon: there nothing that comes once the write has begun is early.
int32_t SendFrame(DriverInstance &instance, LineView &view, const char *frame, int32_t length,
                  int32_t *early) {
    *early = 0;
    if (!view.turned) {
        TurnLine(instance, view);
    }
    view.turned = false;
    if (view.turn != kExchangeComplete) {
        return view.turn;
    }
    const uint64_t beganUs = view.turnBeganUs;
    // Bytes handed back unread count with those in the port's queue.
    const uint32_t before = view.waiting.counted ? view.reads.pendingCount + view.waiting.bytes : 0;
    const int32_t sent = SendOnTurnedLine(instance.port, frame, length, kRtsLeadMs, 0);
    if (sent != kExchangeComplete) {
        return sent;
    }
    *early = static_cast<int32_t>(before);
    const uint64_t lineUs = LineUs(instance, length);
    // The last byte cannot have left before this, on a line that keeps to
    // its rate.
    const uint64_t leftByUs = beganUs + uint64_t{kRtsLeadMs} * 1000u + lineUs;
    const bool tookItsTime = lineUs > 0 && PlatformMonotonicMicroseconds() >= leftByUs;
    if (!tookItsTime) {
        return sent;
    }
    if (view.pace == LineView::kUnknown) {
        view.pace = ReportsASerialLine(instance.port) ? LineView::kPaced : LineView::kFaster;
    }
    uint32_t arrived = 0;
    if (view.pace == LineView::kPaced && CountArrived(&view.reads, &arrived)) {
        // The thread may have woken well after the last byte left, and the
        // station answered meanwhile. The line carries no more characters
        // than its rate allows in the time since the last byte could have
        // left: as many of the last that had arrived may be the answer; the
        // ones before them had come while the frame went out.
        const uint64_t sinceUs = PlatformMonotonicMicroseconds() - leftByUs;
        const uint64_t mayBeAfter = sinceUs / LineUs(instance, 1);
        if (arrived > mayBeAfter && arrived - mayBeAfter > before) {
            *early = static_cast<int32_t>(arrived - mayBeAfter);
        }
    }
    return sent;
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
        if (heard == Heard::kAnswer) {
            if (status != QIV_STATUS_OK && IsGoodAnswer(request, answer)) {
                status = QIV_STATUS_OK;
            } else {
                NoteStrayAnswer(instance, answer.text, answer.length);
            }
        }
        // Once the request has its answer, what still comes is only waited out.
        reads->reportAs = status == QIV_STATUS_OK ? QIV_LINE_DISCARDED : QIV_LINE_READ;
        if (heard != Heard::kAnswer) {
            return status;
        }
    }
}

// What waited before a request is thrown away; an answer among it was sent
// for no request that is still waiting, so its station is doubtful.
struct DiscardScan {
    DriverInstance *instance;
    AnswerText frame;
    char text[kMaxAnswerLength];
};

bool NoteEveryFrame(void *context, const char *frame, int32_t length, bool) {
    NoteStrayAnswer(*static_cast<DriverInstance *>(context), frame, length);
    return false;
}

void ScanDiscarded(void *context, const char *bytes, uint32_t count) {
    DiscardScan &scan = *static_cast<DiscardScan *>(context);
    FeedAnswer(&scan.frame, bytes, static_cast<int32_t>(count), NoteEveryFrame, scan.instance);
}

// The line is turned round for the first frame before anything else, so
// that one count of what waits serves twice: what it counts waited before
// the request and is thrown away, and what it does not is what arrives
// before the frame goes out. Only where something was thrown away is the
// port asked again.
void DiscardWhatWaits(DriverInstance &instance, LineView &view) {
    TurnLine(instance, view);
    if (view.turn != kExchangeComplete) {
        return;
    }
    DiscardScan scan;
    scan.instance = &instance;
    StartAnswer(&scan.frame, scan.text, kMaxAnswerLength);
    if (DiscardArrived(&view.reads, view.waiting.counted, view.waiting.bytes, kDiscardLimit,
                       ScanDiscarded, &scan) > 0) {
        // (None were handed back yet: the count is the port's queue alone.)
        uint32_t waiting = 0;
        view.waiting.counted = CountArrived(&view.reads, &waiting);
        view.waiting.bytes = waiting;
    }
}

// The marker's listener: what it hears of the station tells how far the
// station's answers have come. It lasts for the operation's markers.
struct MarkerWatch {
    DriverInstance *instance;
    StationState *state;
    const char *marker;
    int32_t station;
    bool candidate;  // an answer that may be this marker's came, and nothing of the station since
};

// A status answer proves the station in step, or is counted off as owed to
// an earlier marker (StationState). An error answer (a station that does not
// know the command answers so, but so may a late answer to an earlier read)
// is taken only if nothing more of the station follows it until the marker's
// horizon; an answer of any other kind that follows shows that older answers
// were still coming.
bool AnswersMarker(void *context, const char *frame, int32_t length, bool early) {
    MarkerWatch &watch = *static_cast<MarkerWatch *>(context);
    if (IsStatusAnswerFrame(watch.marker, frame, length)) {
        return watch.state->StatusAnswerProves(early);
    }
    if (!early && IsErrorAnswerFrame(watch.marker, frame, length)) {
        watch.candidate = true;
        return false;
    }
    const int32_t station = AnsweringStation(frame, length);
    if (station == watch.station) {
        watch.candidate = false;
    } else if (station >= 0) {
        StationState(*watch.instance, station).Doubt();
    }
    return false;
}

// One attempt of an operation whose station is doubtful: the marker goes
// out, and everything the station sends before the marker's answer is
// thrown away. The answer is listened for as any attempt's is, its "%"
// within the time-out; a marker that goes unanswered, or whose answer is
// spoiled, cut short or another station's, costs this attempt and no more.
// The listening goes on until the marker's horizon after an error answer
// (which proves the station in step only if nothing of it follows), and
// after the operation's last attempt, whose marker may still be answered
// then. Returns 0 once the station is in step, else the attempt's status.
int32_t MarkerAttempt(DriverInstance &instance, LineView &view, MarkerWatch &watch,
                      bool lastAttempt) {
    char marker[kReadFrameArea];
    const int32_t length = ComposeStatusRequest(watch.station, marker, sizeof marker);
    watch.marker = marker;
    watch.candidate = false;
    int32_t early = 0;
    const int32_t sent = SendFrame(instance, view, marker, length, &early);
    if (sent != kExchangeComplete) {
        return sent;
    }
    watch.state->MarkerSent();
    const uint64_t sentUs = PlatformMonotonicMicroseconds();
    // Only the status answer's line time is waited for: a longer frame,
    // which cannot be the marker's answer, may be cut off by it.
    const uint32_t lineMs = AnswerLineMs(instance, kStatusAnswerLength);
    char text[kMaxAnswerLength];
    AnswerText answer;
    StartAnswer(&answer, text, kMaxAnswerLength);
    answer.expected = kStatusAnswerLength;
    answer.earlyLeft = early;
    Heard heard = ListenForAnswer(
        &view.reads, &answer, DeadlinesFrom(sentUs, view.timeoutMs, lineMs), AnswersMarker, &watch);
    if ((heard == Heard::kNothing || heard == Heard::kPart) && (watch.candidate || lastAttempt)) {
        heard = ListenForAnswer(
            &view.reads, &answer,
            DeadlinesFrom(sentUs, AnswerHorizonMs(view.timeoutMs) + kHorizonMarginMs, lineMs),
            AnswersMarker, &watch);
    }
    if (heard == Heard::kAnswer) {
        return QIV_STATUS_OK;
    }
    if (heard != Heard::kLineFailed && watch.candidate) {
        watch.state->InStepAfterErrorAnswer();
        return QIV_STATUS_OK;
    }
    if (heard == Heard::kLineFailed) {
        return QIV_STATUS_LINE_FAILURE;
    }
    ClearLineErrors(instance.port);
    return FailedAttemptStatus(answer);
}

// The channel's last answer, as it stood before a transaction.
struct PreviousAnswer {
    char text[kMaxAnswerLength];
    int32_t length;  // 0: none to compare with
};

PreviousAnswer PreviousAnswerOf(const DriverInstance &instance, bool sameRequestAsBefore) {
    PreviousAnswer previous;
    previous.length = 0;
    if (!sameRequestAsBefore && instance.rxLength > 0 && instance.rxLength <= kMaxAnswerLength) {
        previous.length = instance.rxLength;
        memcpy(previous.text, instance.rxFrame, static_cast<size_t>(previous.length));
    }
    return previous;
}

// On a line where nothing that comes once the frame is being written can be
// told early, a second copy of the previous answer that arrives then is
// taken by the next request of the same shape, and that request's own answer
// by the one after it, and so on. An answer to another request that is, byte
// for byte, the answer taken before may be such a copy: the value taken
// cannot be known wrong, but the station is brought in step before it is
// asked again, so that its own answer cannot go on to the next request. (Two
// registers that hold the same value cost one status exchange.)
//
// A write's acknowledgement carries no data, so every acknowledgement of a
// station looks alike, and a write that took the copy of the one before
// cannot be told this way; only reads are judged so.
bool MayBeACopy(const DriverInstance &instance, const PreviousAnswer &previous) {
    return instance.rxLength > wire::AnswerLength(0) && previous.length == instance.rxLength &&
           memcmp(previous.text, instance.rxFrame, static_cast<size_t>(previous.length)) == 0;
}

// Every attempt of a transaction sends the same frame, so any good answer
// that comes while the transaction runs answers it, whichever attempt it
// answers. What must never happen is that an answer to an earlier request is
// taken by this one, or this one's by a later one. So: what waits before the
// first attempt is thrown away, for it was not sent for this request; while
// the station's answers may still be on their way, an attempt sends it the
// marker instead, and the request goes out once the station is in step, with
// the attempts that the markers left (a marker answered in its time spends
// none) and at least one; an attempt listens for its
// answer by two deadlines, its "%" within the time-out T and all of it
// within its line time after that, and is retried at once when nothing that
// answers it came; and once an attempt of the request has gone unanswered,
// its answer may still be on its way, so before it returns the transaction
// listens on until the horizon of its last attempt has passed, and the
// station is doubtful afterwards.
//
// So an operation ends, whatever the line carries, within
//   m x (Xm + T + Lm) + r x (X + T + L) + w x (G + 3 ms)
// where m is the markers it sent (0 to 3), r the frames of the request (3
// less the markers that went unanswered, and at least 1), X the time to send a
// frame with its RTS lead, L the answer's line time with its slack
// (AnswerLineMs), Xm and Lm those of the marker and of the status answer,
// G the guard, and w the waits until a horizon: one after the last frame
// when an attempt went unanswered (the third marker's included), and one
// after each marker answered by an error answer. A station that never
// answers costs 3 x (Xm + T) + G + 3 ms, doubtful or not.
int32_t RunAttempts(DriverRequest *request, bool sameRequestAsBefore) {
    DriverInstance &instance = *request->instance;
    const PreviousAnswer previous = PreviousAnswerOf(instance, sameRequestAsBefore);
    const int32_t station = static_cast<const TagAccess *>(request->params)->station;
    LineView view;
    view.pace = LineView::kUnknown;
    view.turned = false;
    BeginTimedReads(&view.reads, instance.port);
    view.timeoutMs = HostReadTimeoutMs(view.reads);
    const uint32_t lineMs = AnswerLineMs(instance, instance.rxLength);
    DiscardWhatWaits(instance, view);

    // The attempts that the markers spent: only one whose answer did not
    // come in its time counts, as it would for the request.
    int attempt = 0;
    StationState state(instance, station);
    if (state.IsDoubtful()) {
        MarkerWatch watch = {&instance, &state, nullptr, station, false};
        int32_t inStep = QIV_STATUS_REFUSED;
        for (; attempt < kAttempts; ++attempt) {
            inStep = MarkerAttempt(instance, view, watch, attempt == kAttempts - 1);
            if (inStep == QIV_STATUS_OK) {
                break;
            }
        }
        if (inStep != QIV_STATUS_OK) {
            EndTimedReads(&view.reads);
            return inStep;
        }
        attempt = attempt < kAttempts ? attempt : kAttempts - 1;
    }

    int32_t status = QIV_STATUS_REFUSED;
    bool answersOnTheirWay = false;
    uint64_t lastSentUs = 0;
    for (; attempt < kAttempts && status != QIV_STATUS_OK; ++attempt) {
        int32_t early = 0;
        const int32_t sent = SendFrame(instance, view, instance.txFrame, instance.txLength, &early);
        if (sent != kExchangeComplete) {
            status = sent;  // a frame that did not go out whole is answered by nobody
            continue;
        }
        // What came while the frame went out is read by the attempt: the
        // tail of a broken answer is skipped, and on a line that keeps to its
        // rate an answer that began then is no answer to this frame. A
        // discard here would race a fast peer (a pseudo-terminal, a virtual
        // null modem) and could throw its answer away.
        lastSentUs = PlatformMonotonicMicroseconds();
        AnswerText answer;
        StartAnswer(&answer, instance.rxFrame, instance.rxLength);
        answer.earlyLeft = early;
        const Heard heard =
            ListenForAnswer(&view.reads, &answer, DeadlinesFrom(lastSentUs, view.timeoutMs, lineMs),
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
    bool answerMayBeAnothers = false;
    if (answersOnTheirWay) {
        const AnswerDeadlines horizon =
            DeadlinesFrom(lastSentUs, AnswerHorizonMs(view.timeoutMs) + kHorizonMarginMs, lineMs);
        status = WaitOutLateAnswers(request, &view.reads, horizon, status);
        state.Doubt();
    } else if (status == QIV_STATUS_OK && view.pace != LineView::kPaced &&
               MayBeACopy(instance, previous)) {
        state.Doubt();
        answerMayBeAnothers = true;
    }
    if (status == QIV_STATUS_OK && !answerMayBeAnothers) {
        // The station answers one request after another: once it answered
        // this one, an answer to a marker sent before it either came first
        // or will never come. Left counted, a marker that was lost would
        // have a later marker's answer counted off against it, and every
        // resynchronisation after it would fail once.
        state.RequestAnswered();
    }
    EndTimedReads(&view.reads);
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
    const bool sameRequest = strcmp(request->instance->txFrame, frame) == 0;
    PutFrame(*request->instance, frame);
    request->instance->rxLength = wire::AnswerLength(n);
    // Nobody answers the global station: a read of it could only fail. The
    // frame is composed all the same, as for any station, so that the
    // channel's fields show what was asked.
    if (IsGlobalStation(request)) {
        return QIV_STATUS_REFUSED;
    }
    return RunAttempts(request, sameRequest);
}

int32_t WriteTransaction(DriverRequest *request, int32_t n, const int16_t *blockData) {
    char frame[kWriteFrameArea];
    if (SetMewtocolCmd(request, FrameKind::kWrite, n, frame, sizeof frame, blockData) != 0) {
        return QIV_STATUS_REFUSED;
    }
    const bool sameRequest = strcmp(request->instance->txFrame, frame) == 0;
    PutFrame(*request->instance, frame);
    request->instance->rxLength = wire::AnswerLength(0);
    if (IsGlobalStation(request)) {
        return Broadcast(*request->instance);
    }
    return RunAttempts(request, sameRequest);
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
