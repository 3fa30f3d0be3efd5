#include "serial/platform_fake.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <map>

namespace fake_platform {

const QivPortHandle kHandle = reinterpret_cast<QivPortHandle>(static_cast<intptr_t>(0x4321));

namespace {

struct World {
    std::vector<Call> calls;
    std::map<std::string, int> failNext;
    std::map<std::string, bool> failAlways;
    std::deque<std::string> bursts;
    std::deque<uint32_t> writeCounts;
    struct Reply {
        std::string bytes;
        int afterReads;
    };
    std::deque<Reply> replies;   // waiting for their write
    std::deque<Reply> inFlight;  // written, not yet arrived
    uint32_t modemStatus = 0;
    uint32_t events = kEvTxEmpty;
    uint32_t lastError = 6;  // ERROR_INVALID_HANDLE
    CommState state = {};
    CommTimeouts timeouts = {};
    std::string written;
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

void FailNext(const std::string &name, int times) {
    W().failNext[name] += times;
}
void FailAlways(const std::string &name) {
    W().failAlways[name] = true;
}
void Arrive(const std::string &bytes) {
    W().bursts.push_back(bytes);
}
void NextWriteCount(uint32_t count) {
    W().writeCounts.push_back(count);
}
void ReplyToNextWrite(const std::string &bytes, int afterReads) {
    W().replies.push_back({bytes, afterReads});
}

namespace {

// Answers whose time has come join the input queue.
void Deliver() {
    World &w = W();
    while (!w.inFlight.empty() && w.inFlight.front().afterReads <= 0) {
        if (!w.inFlight.front().bytes.empty())
            w.bursts.push_back(w.inFlight.front().bytes);
        w.inFlight.pop_front();
    }
}

}  // namespace
void SetModemStatus(uint32_t status) {
    W().modemStatus = status;
}
void SetEvents(uint32_t events) {
    W().events = events;
}
void SetLastError(uint32_t code) {
    W().lastError = code;
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
    return Enter("CreateFile", nullptr, name, false) ? kHandle : QIV_INVALID_PORT_HANDLE;
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

bool PlatformReadFile(QivPortHandle port, void *buffer, uint32_t count, uint32_t *done) {
    *done = 0;
    if (!Enter("ReadFile", port, Number(count)))
        return false;
    Deliver();
    std::deque<std::string> &bursts = W().bursts;
    if (!bursts.empty()) {
        std::string &burst = bursts.front();
        const size_t taken = std::min<size_t>(count, burst.size());
        memcpy(buffer, burst.data(), taken);
        burst.erase(0, taken);
        if (burst.empty())
            bursts.pop_front();
        *done = static_cast<uint32_t>(taken);
    }
    // Otherwise the read time-out passed with nothing. Late answers come closer.
    for (auto &reply : W().inFlight)
        --reply.afterReads;
    return true;
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
    if (!W().replies.empty()) {
        W().inFlight.push_back(W().replies.front());
        W().replies.pop_front();
        Deliver();
    }
    return true;
}

bool PlatformClearCommError(QivPortHandle port, uint32_t *errors, CommStat *stat) {
    if (!Enter("ClearCommError", port))
        return false;
    *errors = 0;
    stat->cbInQue = 0;
    for (const std::string &burst : W().bursts) {
        stat->cbInQue += static_cast<uint32_t>(burst.size());
    }
    stat->cbOutQue = 0;
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

bool PlatformWaitCommEvent(QivPortHandle port, uint32_t *events) {
    if (!Enter("WaitCommEvent", port))
        return false;
    *events = W().events;
    return true;
}

void PlatformSleep(uint32_t milliseconds) {
    Enter("Sleep", nullptr, Number(milliseconds), false);
}

uint32_t PlatformLastError() {
    return W().lastError;
}
