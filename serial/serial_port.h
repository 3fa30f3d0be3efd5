// The serial port module: open and configure a port, set its read time-out,
// discard pending input, write, read an exact count, close. It keeps no state,
// allocates nothing and logs nothing; its callers decide what to report.
#pragma once

#include <stdint.h>

#include "qivma.h"

// Result codes of the port module.
enum SerialResult : int32_t {
    kSerialOk = 0,
    kSerialOpenFailed = 1,       // the device did not open, or its time-outs were refused
    kSerialDiscardFailed = 1,    // DiscardInput: its last read failed
    kSerialShortWrite = 2,       // the platform wrote another count than asked
    kSerialStateUnreadable = 4,  // the line state could not be read
    kSerialStateRefused = 5,     // the line state was not accepted
    kSerialCallFailed = 7,       // the platform call failed, or a read pass brought nothing
};

// The read time-out right after an open, in milliseconds.
constexpr uint32_t kOpenReadTimeoutMs = 1000;
// Queue sizes asked for at the open.
constexpr uint32_t kQueueSize = 1200;

// Opens `name` and configures its line from `settings` and `openFlags`
// (QIV_OPEN_*). The name "NUL" opens the platform's null device unconfigured.
// On failure nothing stays open and *port is of no use.
int32_t OpenSerialPort(const char *name, const SerialLineSettings *settings, uint16_t openFlags,
                       QivPortHandle *port);
int32_t CloseSerialPort(QivPortHandle port);

// Sets the read time-out to `timeout` units of 10 ms and returns the previous
// one in the same units (rounded down), or 0 when it fails.
int32_t SetReadTimeout(QivPortHandle port, int32_t timeout);

// Reads and throws away what waits in the input queue, in reads of 50 ms at
// most, and puts the read time-out back exactly as it was. A line that keeps
// bringing bytes cannot hold it: it reads what waited when it was called and
// one read's worth more.
int32_t DiscardInput(QivPortHandle port);

int32_t WriteSerial(QivPortHandle port, const void *bytes, uint32_t count, uint32_t *written);

// Reads exactly `count` bytes (at most 65535), in as many read passes as the
// bytes take to come; a pass that brings nothing within the read time-out ends
// it with kSerialCallFailed. *received always holds the bytes so far.
int32_t ReadSerialExact(QivPortHandle port, void *buffer, uint32_t count, uint32_t *received);
// Whether the port reports itself a serial port (RS-232), whose bytes leave
// no faster than the line's rate; a pseudo-terminal, a network link or a
// virtual null modem does not.
bool ReportsASerialLine(QivPortHandle port);
