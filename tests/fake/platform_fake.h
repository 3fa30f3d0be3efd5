// A scripted comm platform for unit tests: every call is recorded with its
// arguments, every result can be scripted, and time is virtual: sleeps and
// reads that wait move a clock instead of passing time, and bytes arrive at
// the virtual times a test gives. Linked into tests in place of a real
// platform.
#pragma once

#include <stdint.h>

#include <functional>
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

// The handle that the next successful CreateFile returns (kHandle unless set).
void NextHandle(QivPortHandle handle);

// The next `times` calls of the primitive `name` fail.
void FailNext(const std::string &name, int times = 1);
// Every call of `name` fails until Reset.
void FailAlways(const std::string &name);

// The virtual clock, in milliseconds since Reset.
double NowMs();

// Bytes that arrive for reading as one burst, now: a read takes what it asks
// for from the oldest burst only, so that bursts come in separate read passes.
void Arrive(const std::string &bytes);
// A burst that starts arriving at `atMs` on the virtual clock, one byte every
// `charMs` (0: all at once).
void ArriveAt(double atMs, const std::string &bytes, double charMs = 0);
// The byte `noise` at `firstMs`, then every `gapMs`, `count` times: each its
// own burst, so that answers in between are read whole.
void Chatter(double firstMs, double gapMs, int count, char noise = '~');
// The answer to the next write not yet answered: it starts arriving `delayMs`
// after that write has returned, one byte every `charMs`. An empty answer is
// silence. No answer arrives with its request: its first character alone
// takes a character time on the line, hence the default.
void ReplyToNextWrite(const std::string &bytes, double delayMs = 1, double charMs = 0);
// A station at the other end: it answers every write that no reply scripted
// above answers. It is given the frame written and the number of the write
// (1 for the first since Reset).
struct Reply {
    std::string bytes;  // empty: no answer
    double delayMs = 1;
    double charMs = 0;
};
void AnswerEveryWrite(std::function<Reply(const std::string &frame, int write)> station);
// A read that, with no read time-out at all, found nothing more ever to come:
// on a real port it would have waited without end.
bool ReadBlockedForever();
// The next WriteFile reports `count` bytes written.
void NextWriteCount(uint32_t count);
void SetModemStatus(uint32_t status);
// The events that WaitCommEvent reports (EV_TXEMPTY unless changed).
void SetEvents(uint32_t events);
void SetLastError(uint32_t code);
// Written bytes take `charMs` each on the line: WaitCommEvent returns once
// the last has left (`wakeLateMs` later: a thread that woke late), and a
// reply starts after that. 0 (the default): at once.
void TransmitAt(double charMs, double wakeLateMs = 0);
// What GetCommProperties reports (kPstRs232 unless changed).
void SetProviderSubType(uint32_t subType);

// The port's line state and time-outs, as Set* left them.
CommState &State();
CommTimeouts &Timeouts();
// The bytes written so far.
const std::string &Written();
// Bytes that have arrived and not been read.
size_t Unread();

}  // namespace fake_platform
