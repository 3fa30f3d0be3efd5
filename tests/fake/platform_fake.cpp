#include "tests/fake/platform_fake.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <map>

namespace fake_platform {

const QivPortHandle kHandle = reinterpret_cast<QivPortHandle>(static_cast<intptr_t>(0x4321));

namespace {

// Bytes that arrive together: byte i at `startUs` + i x `charUs`.
struct Burst {
    int64_t startUs;
    int64_t charUs;
    std::string bytes;
    size_t taken = 0;

    int64_t ArrivalUs(size_t i) const { return startUs + static_cast<int64_t>(i) * charUs; }
    // How many bytes not yet taken have arrived by `us`.
    size_t ArrivedBy(int64_t us) const {
        if (taken >= bytes.size() || ArrivalUs(taken) > us)
            return 0;
        const size_t arrived =
            charUs == 0 ? bytes.size() : static_cast<size_t>((us - startUs) / charUs) + 1;
        return std::min(arrived, bytes.size()) - taken;
    }
};

struct World {
    std::vector<Call> calls;
    std::map<std::string, int> failNext;
    std::map<std::string, bool> failAlways;
    std::vector<Burst> bursts;  // in order of their start
    std::deque<uint32_t> writeCounts;
    std::deque<QivPortHandle> handles;
    std::deque<Reply> replies;  // waiting for their write
    std::function<Reply(const std::string &, int)> station;
    int writes = 0;
    uint32_t modemStatus = 0;
    uint32_t events = kEvTxEmpty;
    uint32_t lastError = 6;  // ERROR_INVALID_HANDLE
    CommState state = {};
    CommTimeouts timeouts = {};
    std::string written;
    int64_t nowUs = 0;
    bool blockedForever = false;
    int64_t txCharUs = 0;       // a written byte's time on the line; 0: none
    int64_t transmittedUs = 0;  // when the last byte written has left
    int64_t txWakeLateUs = 0;   // how long after that WaitCommEvent returns
    uint32_t providerSubType = kPstRs232;
};

World &W() {
    static World world;
    return world;
}

// Records the call and tells whether it is to succeed. Like Win32, every
// call on a handle that is not open (null, or all bits set) fails.
bool Enter(const char *name, QivPortHandle port, const std::string &detail = "",
           bool takesHandle = true) {
    World &w = W();
    w.calls.push_back({name, port, detail});
    const bool badHandle = port == QIV_INVALID_PORT_HANDLE || port == nullptr;
    if ((takesHandle && badHandle) || w.failAlways[name]) {
        return false;
    }
    int &pending = w.failNext[name];
    if (pending > 0) {
        --pending;
        return false;
    }
    return true;
}

std::string Number(uint32_t value) {
    return std::to_string(value);
}

const char *EscapeName(uint32_t function) {
    switch (function) {
        case kSetRts:
            return "SETRTS";
        case kClrRts:
            return "CLRRTS";
        case kSetDtr:
            return "SETDTR";
        case kClrDtr:
            return "CLRDTR";
        default:
            return "?";
    }
}

}  // namespace

void Reset() {
    W() = World();
}
const std::vector<Call> &Calls() {
    return W().calls;
}

std::vector<std::string> CallLog() {
    std::vector<std::string> log;
    for (const Call &call : W().calls) {
        log.push_back(call.detail.empty() ? call.name : call.name + " " + call.detail);
    }
    return log;
}

void NextHandle(QivPortHandle handle) {
    W().handles.push_back(handle);
}
void FailNext(const std::string &name, int times) {
    W().failNext[name] += times;
}
void FailAlways(const std::string &name) {
    W().failAlways[name] = true;
}

namespace {

int64_t Microseconds(double ms) {
    return static_cast<int64_t>(ms * 1000.0 + 0.5);
}

void Schedule(int64_t startUs, const std::string &bytes, int64_t charUs) {
    if (bytes.empty())
        return;
    std::vector<Burst> &bursts = W().bursts;
    auto at = std::upper_bound(bursts.begin(), bursts.end(), startUs,
                               [](int64_t us, const Burst &burst) { return us < burst.startUs; });
    bursts.insert(at, Burst{startUs, charUs, bytes});
}

// The oldest burst with bytes still to read, or null.
Burst *OldestBurst() {
    for (Burst &burst : W().bursts) {
        if (burst.taken < burst.bytes.size())
            return &burst;
    }
    return nullptr;
}

}  // namespace

double NowMs() {
    return static_cast<double>(W().nowUs) / 1000.0;
}
void Arrive(const std::string &bytes) {
    Schedule(W().nowUs, bytes, 0);
}
void ArriveAt(double atMs, const std::string &bytes, double charMs) {
    Schedule(Microseconds(atMs), bytes, Microseconds(charMs));
}
void Chatter(double firstMs, double gapMs, int count, char noise) {
    for (int i = 0; i < count; ++i)
        Schedule(Microseconds(firstMs + gapMs * i), std::string(1, noise), 0);
}
void NextWriteCount(uint32_t count) {
    W().writeCounts.push_back(count);
}
void ReplyToNextWrite(const std::string &bytes, double delayMs, double charMs) {
    W().replies.push_back({bytes, delayMs, charMs});
}
void AnswerEveryWrite(std::function<Reply(const std::string &frame, int write)> station) {
    W().station = std::move(station);
}
bool ReadBlockedForever() {
    return W().blockedForever;
}
size_t Unread() {
    size_t unread = 0;
    for (const Burst &burst : W().bursts)
        unread += burst.ArrivedBy(W().nowUs);
    return unread;
}

void SetModemStatus(uint32_t status) {
    W().modemStatus = status;
}
void SetEvents(uint32_t events) {
    W().events = events;
}
void SetLastError(uint32_t code) {
    W().lastError = code;
}
void TransmitAt(double charMs, double wakeLateMs) {
    W().txCharUs = Microseconds(charMs);
    W().txWakeLateUs = Microseconds(wakeLateMs);
}
void SetProviderSubType(uint32_t subType) {
    W().providerSubType = subType;
}
CommState &State() {
    return W().state;
}
CommTimeouts &Timeouts() {
    return W().timeouts;
}
const std::string &Written() {
    return W().written;
}

}  // namespace fake_platform

using namespace fake_platform;

QivPortHandle PlatformCreateFile(const char *name) {
    if (!Enter("CreateFile", nullptr, name, false))
        return QIV_INVALID_PORT_HANDLE;
    if (W().handles.empty())
        return kHandle;
    const QivPortHandle handle = W().handles.front();
    W().handles.pop_front();
    return handle;
}

bool PlatformCloseHandle(QivPortHandle port) {
    return Enter("CloseHandle", port);
}

bool PlatformGetCommState(QivPortHandle port, CommState *state) {
    if (!Enter("GetCommState", port, Number(state->length)))
        return false;
    const uint32_t length = state->length;
    *state = W().state;
    state->length = length;
    return true;
}

bool PlatformSetCommState(QivPortHandle port, const CommState *state) {
    if (!Enter("SetCommState", port))
        return false;
    W().state = *state;
    return true;
}

bool PlatformGetCommTimeouts(QivPortHandle port, CommTimeouts *timeouts) {
    if (!Enter("GetCommTimeouts", port))
        return false;
    *timeouts = W().timeouts;
    return true;
}

bool PlatformSetCommTimeouts(QivPortHandle port, const CommTimeouts *timeouts) {
    char detail[80];
    snprintf(detail, sizeof detail, "%u/%u/%u/%u/%u", timeouts->readIntervalTimeout,
             timeouts->readTotalTimeoutMultiplier, timeouts->readTotalTimeoutConstant,
             timeouts->writeTotalTimeoutMultiplier, timeouts->writeTotalTimeoutConstant);
    if (!Enter("SetCommTimeouts", port, detail))
        return false;
    W().timeouts = *timeouts;
    return true;
}

bool PlatformSetupComm(QivPortHandle port, uint32_t inQueue, uint32_t outQueue) {
    return Enter("SetupComm", port, Number(inQueue) + "/" + Number(outQueue));
}

namespace {

// As on Win32: a read returns when all asked for have come, or when the
// total time-out has passed with what came; with no time-out at all it waits
// for every byte, and an interval of MAXDWORD alone returns at once. A read
// that expects more than `count` waits, as a paced POSIX terminal read does,
// until all it expects can have come at the burst's pace (never past its
// time-out): the bytes beyond `count` are left for the next read, which finds
// them there, and a burst that ends sooner is taken at that time.
bool Read(QivPortHandle port, void *buffer, uint32_t count, uint32_t expected, uint32_t *done) {
    *done = 0;
    const std::string detail =
        expected > count ? Number(count) + "/" + Number(expected) : Number(count);
    if (!Enter("ReadFile", port, detail))
        return false;
    World &w = W();
    const CommTimeouts &t = w.timeouts;
    const int64_t totalUs =
        (static_cast<int64_t>(t.readTotalTimeoutMultiplier) * count + t.readTotalTimeoutConstant) *
        1000;
    const bool atOnce = t.readIntervalTimeout == UINT32_MAX && totalUs == 0;
    const bool forever = totalUs == 0 && !atOnce;
    const int64_t deadline = atOnce ? w.nowUs : w.nowUs + totalUs;

    Burst *burst = OldestBurst();
    if (count == 0 || burst == nullptr || (!forever && burst->ArrivalUs(burst->taken) > deadline)) {
        if (forever && count != 0) {
            // Nothing more will ever come: a real read would not return.
            w.blockedForever = true;
            w.nowUs += Microseconds(3600 * 1000.0);
        } else {
            w.nowUs = std::max(w.nowUs, deadline);
        }
        return true;
    }
    const size_t wanted = std::min<size_t>(count, burst->bytes.size() - burst->taken);
    int64_t lastArrival = burst->ArrivalUs(burst->taken + wanted - 1);
    if (expected > count && wanted == count) {
        const int64_t expectedBy = burst->ArrivalUs(burst->taken + expected - 1);
        lastArrival = std::max(lastArrival, forever ? expectedBy : std::min(expectedBy, deadline));
    }
    size_t taken = wanted;
    if (forever || lastArrival <= deadline) {
        w.nowUs = std::max(w.nowUs, lastArrival);
    } else {
        w.nowUs = std::max(w.nowUs, deadline);
        taken = burst->ArrivedBy(w.nowUs);
    }
    memcpy(buffer, burst->bytes.data() + burst->taken, taken);
    burst->taken += taken;
    *done = static_cast<uint32_t>(taken);
    return true;
}

}  // namespace

bool PlatformReadFile(QivPortHandle port, void *buffer, uint32_t count, uint32_t *done) {
    return Read(port, buffer, count, count, done);
}

bool PlatformReadFileExpecting(QivPortHandle port, void *buffer, uint32_t count, uint32_t expected,
                               uint32_t *done) {
    return Read(port, buffer, count, expected, done);
}

bool PlatformWriteFile(QivPortHandle port, const void *bytes, uint32_t count, uint32_t *done) {
    *done = 0;
    if (!Enter("WriteFile", port, Number(count)))
        return false;
    uint32_t written = count;
    if (!W().writeCounts.empty()) {
        written = W().writeCounts.front();
        W().writeCounts.pop_front();
    }
    W().written.append(static_cast<const char *>(bytes), std::min(written, count));
    *done = written;
    ++W().writes;
    Reply reply;
    if (!W().replies.empty()) {
        reply = W().replies.front();
        W().replies.pop_front();
    } else if (W().station) {
        reply = W().station(std::string(static_cast<const char *>(bytes), written), W().writes);
    }
    // The station hears the frame once its last byte has left.
    W().transmittedUs = W().nowUs + W().txCharUs * written;
    Schedule(W().transmittedUs + Microseconds(reply.delayMs), reply.bytes,
             Microseconds(reply.charMs));
    return true;
}

bool PlatformClearCommError(QivPortHandle port, uint32_t *errors, CommStat *stat) {
    if (!Enter("ClearCommError", port))
        return false;
    *errors = 0;
    stat->cbInQue = static_cast<uint32_t>(Unread());
    return true;
}

bool PlatformEscapeCommFunction(QivPortHandle port, uint32_t function) {
    return Enter("EscapeCommFunction", port, EscapeName(function));
}

bool PlatformGetCommModemStatus(QivPortHandle port, uint32_t *status) {
    if (!Enter("GetCommModemStatus", port))
        return false;
    *status = W().modemStatus;
    return true;
}

bool PlatformSetCommMask(QivPortHandle port, uint32_t mask) {
    return Enter("SetCommMask", port, Number(mask));
}

bool PlatformGetCommProperties(QivPortHandle port, uint32_t *providerSubType) {
    if (!Enter("GetCommProperties", port))
        return false;
    *providerSubType = W().providerSubType;
    return true;
}

// The transmitter is empty once the frame written last has taken its time
// on the line.
bool PlatformWaitCommEvent(QivPortHandle port, uint32_t *events) {
    if (!Enter("WaitCommEvent", port))
        return false;
    W().nowUs = std::max(W().nowUs, W().transmittedUs + W().txWakeLateUs);
    *events = W().events;
    return true;
}

void PlatformSleep(uint32_t milliseconds) {
    Enter("Sleep", nullptr, Number(milliseconds), false);
    W().nowUs += static_cast<int64_t>(milliseconds) * 1000;
}

uint64_t PlatformMonotonicMicroseconds() {
    return static_cast<uint64_t>(W().nowUs);
}

uint32_t PlatformLastError() {
    return W().lastError;
}
