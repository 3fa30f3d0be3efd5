// The comm primitives beneath the port module and the exchange. Each has
// exactly the meaning of the Win32 call whose name it carries; the build links
// one implementation: the Win32 calls themselves, termios on POSIX, or a
// scripted fake for unit tests.
#pragma once

#include <stdint.h>

#include "qivma.h"

// The line configuration, field for field the Win32 DCB.
struct CommState {
    uint32_t length;  // DCBlength
    uint32_t baudRate;
    uint8_t fBinary;
    uint8_t fParity;
    uint8_t fOutxCtsFlow;
    uint8_t fOutxDsrFlow;
    uint8_t fDtrControl;  // kDtrControl*
    uint8_t fDsrSensitivity;
    uint8_t fTXContinueOnXoff;
    uint8_t fOutX;
    uint8_t fInX;
    uint8_t fErrorChar;
    uint8_t fNull;
    uint8_t fRtsControl;  // kRtsControl*
    uint8_t fAbortOnError;
    uint32_t fDummy2;
    uint16_t wReserved;
    uint16_t xonLim;
    uint16_t xoffLim;
    uint8_t byteSize;
    uint8_t parity;    // QIV_PARITY_*
    uint8_t stopBits;  // QIV_STOPBITS_*
    char xonChar;
    char xoffChar;
    char errorChar;
    char eofChar;
    char evtChar;
    uint16_t wReserved1;
};

constexpr uint8_t kDtrControlDisable = 0;
constexpr uint8_t kDtrControlEnable = 1;
constexpr uint8_t kDtrControlHandshake = 2;
constexpr uint8_t kRtsControlDisable = 0;
constexpr uint8_t kRtsControlEnable = 1;
constexpr uint8_t kRtsControlHandshake = 2;
constexpr uint8_t kRtsControlToggle = 3;

// The time-outs, field for field the Win32 COMMTIMEOUTS, in milliseconds.
struct CommTimeouts {
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t writeTotalTimeoutMultiplier;
    uint32_t writeTotalTimeoutConstant;
};

// What ClearCommError reports besides the error word: of COMSTAT's counts,
// the one the driver uses. (The bytes still to be sent are not asked: on
// POSIX that would cost a system call of its own each time.)
struct CommStat {
    uint32_t cbInQue;  // bytes waiting to be read
};

// EscapeCommFunction codes.
enum CommEscape : uint32_t { kSetRts = 3, kClrRts = 4, kSetDtr = 5, kClrDtr = 6 };

constexpr uint32_t kEvTxEmpty = 0x0004;       // event: the last byte has left the transmitter
constexpr uint32_t kMsCtsOn = 0x0010;         // modem status: CTS is on
constexpr uint32_t kPstUnspecified = 0x0000;  // COMMPROP subtypes
constexpr uint32_t kPstRs232 = 0x0001;

// CreateFileA(name, GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING):
// the open handle, or QIV_INVALID_PORT_HANDLE.
QivPortHandle PlatformCreateFile(const char *name);
bool PlatformCloseHandle(QivPortHandle port);
bool PlatformGetCommState(QivPortHandle port, CommState *state);
bool PlatformSetCommState(QivPortHandle port, const CommState *state);
bool PlatformGetCommTimeouts(QivPortHandle port, CommTimeouts *timeouts);
bool PlatformSetCommTimeouts(QivPortHandle port, const CommTimeouts *timeouts);
bool PlatformSetupComm(QivPortHandle port, uint32_t inQueue, uint32_t outQueue);
// Synchronous reads and writes; the count transferred goes to *done.
bool PlatformReadFile(QivPortHandle port, void *buffer, uint32_t count, uint32_t *done);
// ReadFile for `count` bytes by a reader that expects `expected` (count or
// more) to come in one run: a platform that paces its reads at the line's
// rate may go on until all of them can have come, as long as the read's
// time-out allows, and keeps those beyond `count` for the next read. So a
// frame that may end early (an error answer) or run on to the length
// expected costs one wake-up, not one for each place it may end. Win32's own
// reads return once `count` have come.
bool PlatformReadFileExpecting(QivPortHandle port, void *buffer, uint32_t count, uint32_t expected,
                               uint32_t *done);
bool PlatformWriteFile(QivPortHandle port, const void *bytes, uint32_t count, uint32_t *done);
bool PlatformClearCommError(QivPortHandle port, uint32_t *errors, CommStat *stat);
bool PlatformEscapeCommFunction(QivPortHandle port, uint32_t function);
bool PlatformGetCommModemStatus(QivPortHandle port, uint32_t *status);
bool PlatformSetCommMask(QivPortHandle port, uint32_t mask);
// GetCommProperties, of which only the provider's subtype is kept: kPstRs232
// for a serial port whose bytes take their time on a line, anything else for
// a device that only plays one (a pseudo-terminal, a network link).
bool PlatformGetCommProperties(QivPortHandle port, uint32_t *providerSubType);
bool PlatformWaitCommEvent(QivPortHandle port, uint32_t *events);
void PlatformSleep(uint32_t milliseconds);
// A clock that only goes forward, in microseconds (QueryPerformanceCounter),
// for the deadlines of the driver's own waits.
uint64_t PlatformMonotonicMicroseconds();
// The platform's code for why the last failed call failed (GetLastError).
uint32_t PlatformLastError();
