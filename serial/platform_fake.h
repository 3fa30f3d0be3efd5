// A scripted comm platform for unit tests: every call is recorded with its
// arguments, every result can be scripted, and sleeps are recorded instead
// of slept. Linked into tests in place of a real platform.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "serial/comm_platform.h"

namespace fake_platform {

// The handle that a scripted open returns.
extern const QivPortHandle kHandle;

struct Call {
    std::string name;  // the primitive's Win32 name, e.g. "ReadFile"
    QivPortHandle port;
    std::string detail;  // its arguments that matter, e.g. "512" or "SETRTS"
};

// Forgets every call and script; the port starts with zero time-outs and an
// empty input queue.
void Reset();

const std::vector<Call> &Calls();
// "ReadFile 512", "EscapeCommFunction SETRTS", "Sleep 1", ... in call order.
std::vector<std::string> CallLog();

// The next `times` calls of the primitive `name` fail.
void FailNext(const std::string &name, int times = 1);
// Every call of `name` fails until Reset.
void FailAlways(const std::string &name);

// Bytes that arrive for reading as one burst: a read takes what it asks for
// from the oldest burst only, so that bursts come in separate read passes.
void Arrive(const std::string &bytes);
// The answer to the next write not yet answered: it arrives once that write
// is made, and only at the `afterReads`+1-th read after it (0: at once), as an
// answer that comes late. An empty answer is silence.
void ReplyToNextWrite(const std::string &bytes, int afterReads = 0);
// The next WriteFile reports `count` bytes written.
void NextWriteCount(uint32_t count);
void SetModemStatus(uint32_t status);
// The events that WaitCommEvent reports (EV_TXEMPTY unless changed).
void SetEvents(uint32_t events);
void SetLastError(uint32_t code);

// The port's line state and time-outs, as Set* left them.
CommState &State();
CommTimeouts &Timeouts();
// The bytes written so far.
const std::string &Written();

}  // namespace fake_platform
