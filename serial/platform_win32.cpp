// The comm primitives as the Win32 calls themselves.
#include <windows.h>

#include "serial/comm_platform.h"

namespace {

void ToDcb(const CommState &state, DCB &dcb) {
    dcb.DCBlength = state.length;
    dcb.BaudRate = state.baudRate;
    dcb.fBinary = state.fBinary;
    dcb.fParity = state.fParity;
    dcb.fOutxCtsFlow = state.fOutxCtsFlow;
    dcb.fOutxDsrFlow = state.fOutxDsrFlow;
    dcb.fDtrControl = state.fDtrControl;
    dcb.fDsrSensitivity = state.fDsrSensitivity;
    dcb.fTXContinueOnXoff = state.fTXContinueOnXoff;
    dcb.fOutX = state.fOutX;
    dcb.fInX = state.fInX;
    dcb.fErrorChar = state.fErrorChar;
    dcb.fNull = state.fNull;
    dcb.fRtsControl = state.fRtsControl;
    dcb.fAbortOnError = state.fAbortOnError;
    dcb.fDummy2 = state.fDummy2;
    dcb.wReserved = state.wReserved;
    dcb.XonLim = state.xonLim;
    dcb.XoffLim = state.xoffLim;
    dcb.ByteSize = state.byteSize;
    dcb.Parity = state.parity;
    dcb.StopBits = state.stopBits;
    dcb.XonChar = state.xonChar;
    dcb.XoffChar = state.xoffChar;
    dcb.ErrorChar = state.errorChar;
    dcb.EofChar = state.eofChar;
    dcb.EvtChar = state.evtChar;
    dcb.wReserved1 = state.wReserved1;
}

void FromDcb(const DCB &dcb, CommState &state) {
    state.length = dcb.DCBlength;
    state.baudRate = dcb.BaudRate;
    state.fBinary = static_cast<uint8_t>(dcb.fBinary);
    state.fParity = static_cast<uint8_t>(dcb.fParity);
    state.fOutxCtsFlow = static_cast<uint8_t>(dcb.fOutxCtsFlow);
    state.fOutxDsrFlow = static_cast<uint8_t>(dcb.fOutxDsrFlow);
    state.fDtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    state.fDsrSensitivity = static_cast<uint8_t>(dcb.fDsrSensitivity);
    state.fTXContinueOnXoff = static_cast<uint8_t>(dcb.fTXContinueOnXoff);
    state.fOutX = static_cast<uint8_t>(dcb.fOutX);
    state.fInX = static_cast<uint8_t>(dcb.fInX);
    state.fErrorChar = static_cast<uint8_t>(dcb.fErrorChar);
    state.fNull = static_cast<uint8_t>(dcb.fNull);
    state.fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    state.fAbortOnError = static_cast<uint8_t>(dcb.fAbortOnError);
    state.fDummy2 = dcb.fDummy2;
    state.wReserved = dcb.wReserved;
    state.xonLim = dcb.XonLim;
    state.xoffLim = dcb.XoffLim;
    state.byteSize = dcb.ByteSize;
    state.parity = dcb.Parity;
    state.stopBits = dcb.StopBits;
    state.xonChar = dcb.XonChar;
    state.xoffChar = dcb.XoffChar;
    state.errorChar = dcb.ErrorChar;
    state.eofChar = dcb.EofChar;
    state.evtChar = dcb.EvtChar;
    state.wReserved1 = dcb.wReserved1;
}

}  // namespace

QivPortHandle PlatformCreateFile(const char *name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool PlatformCloseHandle(QivPortHandle port) {
    return CloseHandle(port) != 0;
}

bool PlatformGetCommState(QivPortHandle port, CommState *state) {
    DCB dcb = {};
    dcb.DCBlength = state->length;
    if (!GetCommState(port, &dcb))
        return false;
    FromDcb(dcb, *state);
    return true;
}

bool PlatformSetCommState(QivPortHandle port, const CommState *state) {
    DCB dcb = {};
    ToDcb(*state, dcb);
    return SetCommState(port, &dcb) != 0;
}

bool PlatformGetCommTimeouts(QivPortHandle port, CommTimeouts *timeouts) {
    COMMTIMEOUTS t = {};
    if (!GetCommTimeouts(port, &t))
        return false;
    *timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return true;
}

bool PlatformSetCommTimeouts(QivPortHandle port, const CommTimeouts *timeouts) {
    COMMTIMEOUTS t = {timeouts->readIntervalTimeout, timeouts->readTotalTimeoutMultiplier,
                      timeouts->readTotalTimeoutConstant, timeouts->writeTotalTimeoutMultiplier,
                      timeouts->writeTotalTimeoutConstant};
    return SetCommTimeouts(port, &t) != 0;
}

bool PlatformSetupComm(QivPortHandle port, uint32_t inQueue, uint32_t outQueue) {
    return SetupComm(port, inQueue, outQueue) != 0;
}

bool PlatformReadFile(QivPortHandle port, void *buffer, uint32_t count, uint32_t *done) {
    DWORD got = 0;
    const BOOL ok = ReadFile(port, buffer, count, &got, nullptr);
    *done = got;
    return ok != 0;
}

bool PlatformReadFileExpecting(QivPortHandle port, void *buffer, uint32_t count, uint32_t,
                               uint32_t *done) {
    return PlatformReadFile(port, buffer, count, done);
}

bool PlatformWriteFile(QivPortHandle port, const void *bytes, uint32_t count, uint32_t *done) {
    DWORD written = 0;
    const BOOL ok = WriteFile(port, bytes, count, &written, nullptr);
    *done = written;
    return ok != 0;
}

bool PlatformClearCommError(QivPortHandle port, uint32_t *errors, CommStat *stat) {
    DWORD word = 0;
    COMSTAT status = {};
    if (!ClearCommError(port, &word, &status))
        return false;
    *errors = word;
    stat->cbInQue = status.cbInQue;
    return true;
}

bool PlatformEscapeCommFunction(QivPortHandle port, uint32_t function) {
    return EscapeCommFunction(port, function) != 0;
}

bool PlatformGetCommModemStatus(QivPortHandle port, uint32_t *status) {
    DWORD lines = 0;
    if (!GetCommModemStatus(port, &lines))
        return false;
    *status = lines;
    return true;
}

bool PlatformSetCommMask(QivPortHandle port, uint32_t mask) {
    return SetCommMask(port, mask) != 0;
}

bool PlatformGetCommProperties(QivPortHandle port, uint32_t *providerSubType) {
    COMMPROP properties = {};
    if (!GetCommProperties(port, &properties))
        return false;
    *providerSubType = properties.dwProvSubType;
    return true;
}

bool PlatformWaitCommEvent(QivPortHandle port, uint32_t *events) {
    DWORD seen = 0;
    const BOOL ok = WaitCommEvent(port, &seen, nullptr);
    *events = seen;
    return ok != 0;
}

void PlatformSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}

uint64_t PlatformMonotonicMicroseconds() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    // Seconds and the rest apart, so that the product cannot overflow.
    const uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

uint32_t PlatformLastError() {
    return GetLastError();
}
