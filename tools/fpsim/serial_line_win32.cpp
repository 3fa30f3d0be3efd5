// The line on Windows: a COM port, opened for overlapped I/O. One read is
// kept pending on the port; the serve thread waits for it, for its wake-up
// event and for its deadline at once (WaitForMultipleObjects), so that a
// request is taken as soon as it comes and a stop needs no polling.
#include <windows.h>

#include <timeapi.h>

#include <algorithm>
#include <string>

#include "tools/fpsim/serial_line.h"

namespace fpsim {

namespace {

// A read ends this long after the last byte that came: the request's bytes
// come in as they arrive, and the read never ends before the first one.
constexpr DWORD kReadIntervalMs = 1;
// A write that the port cannot take within this time takes fewer bytes (an
// answer then waits for room, a noise byte is dropped).
constexpr DWORD kWriteTimeoutMs = 100;
// How long an answer that found no room waits before it is tried again: the
// port reports no room of its own.
constexpr DWORD kRoomRetryMs = 10;

std::string SystemError(const std::string &what, DWORD code = GetLastError()) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty())
        message = "system error";
    return what + ": " + message + " (error " + std::to_string(code) + ")";
}

// "COM12" is opened as "\\.\COM12", the only form that reaches ports above
// COM9; a name given in that form already is kept.
std::string DeviceNamespacePath(const std::string &name) {
    return name.rfind("\\\\", 0) == 0 ? name : "\\\\.\\" + name;
}

BYTE ParityCode(char parity) {
    switch (parity) {
        case 'N':
            return NOPARITY;
        case 'E':
            return EVENPARITY;
        case 'M':
            return MARKPARITY;
        case 'S':
            return SPACEPARITY;
        default:
            return ODDPARITY;
    }
}

BYTE StopBitsCode(double stopBits) {
    if (stopBits > 1.9)
        return TWOSTOPBITS;
    return stopBits > 1 ? ONE5STOPBITS : ONESTOPBIT;
}

// The line format, without flow control of any kind, with DTR and RTS held on
// so that a host on the far end of a null-modem cable sees DSR and CTS.
bool SetFormat(HANDLE port, const std::string &name, const LineFormat &format, std::string *error) {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        // NUL, a file: nothing that has a line to set.
        *error =
            SystemError(name + " is not a serial port: it takes no line settings (GetCommState");
        error->push_back(')');
        return false;
    }
    if (format.baud != 0)
        dcb.BaudRate = format.baud;
    dcb.ByteSize = static_cast<BYTE>(format.dataBits);
    dcb.Parity = ParityCode(format.parity);
    dcb.StopBits = StopBitsCode(format.stopBits);
    dcb.fBinary = TRUE;
    dcb.fParity = format.parity != 'N';
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(port, &dcb)) {
        *error = SystemError(name + " refused the line settings " +
                             (format.baud == 0 ? format.Characters() + " at the port's own rate"
                                               : format.Describe()));
        return false;
    }
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!SetCommTimeouts(port, &timeouts)) {
        *error = SystemError("SetCommTimeouts " + name);
        return false;
    }
    return true;
}

// Milliseconds until `until`, rounded up so that a wait never ends early and
// spins; INFINITE for no limit.
DWORD MillisecondsUntil(SerialLine::TimePoint until) {
    if (until == SerialLine::TimePoint::max())
        return INFINITE;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
            .count();
    return static_cast<DWORD>(std::clamp<long long>(left, 0, INFINITE - 1));
}

}  // namespace

bool PseudoTerminalsOffered() {
    return false;
}

// SetCommState refuses what the port's driver cannot do; nothing is known
// about a port before it is opened.
bool DeviceTakesRate(unsigned) {
    return true;
}

std::string DeviceRates() {
    return "any rate that the port's driver takes";
}

struct SerialLine::State {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE wake = nullptr;  // auto-reset: one Wake ends one Wait
    OVERLAPPED reading = {};
    OVERLAPPED writing = {};
    bool readPending = false;
    bool failed = false;      // a read failed; Read reports it once
    bool finerTimer = false;  // timeBeginPeriod(1) holds while the port is served
    char readBuffer[512];
    std::string held;  // what completed reads brought and Read has not handed out

    // Starts the one pending read, unless it runs already.
    void StartRead();
    // Collects the pending read if it has ended.
    void FinishRead();
};

void SerialLine::State::StartRead() {
    if (readPending || failed || port == INVALID_HANDLE_VALUE)
        return;
    ResetEvent(reading.hEvent);
    if (ReadFile(port, readBuffer, sizeof readBuffer, nullptr, &reading) ||
        GetLastError() == ERROR_IO_PENDING) {
        readPending = true;
        FinishRead();  // a read that found bytes waiting ends at once
    } else {
        failed = true;
    }
}

void SerialLine::State::FinishRead() {
    DWORD count = 0;
    if (GetOverlappedResult(port, &reading, &count, FALSE)) {
        readPending = false;
        held.append(readBuffer, count);
    } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
        readPending = false;
        failed = true;
    }
}

SerialLine::SerialLine() : state_(std::make_unique<State>()) {
    state_->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

SerialLine::~SerialLine() {
    Close();
    if (state_->wake != nullptr)
        CloseHandle(state_->wake);
}

bool SerialLine::OpenPseudoTerminal(const std::string &, std::string *error) {
    *error =
        "fpsim creates no pseudo-terminal on Windows: serve a COM port with --device COMn, one "
        "of a pair of virtual COM ports joined like a null-modem cable";
    return false;
}

bool SerialLine::OpenDevice(const std::string &name, const LineFormat &format, std::string *error) {
    State &s = *state_;
    if (s.wake == nullptr) {
        *error = SystemError("CreateEvent");
        return false;
    }
    s.port = CreateFileA(DeviceNamespacePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (s.port == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            *error = "cannot open " + name +
                     ": there is no such port (Device Manager lists the COM ports under "
                     "\"Ports (COM & LPT)\")";
        } else if (code == ERROR_ACCESS_DENIED) {
            *error = "cannot open " + name +
                     ": it is busy: another program holds it (a COM port opens for one program "
                     "at a time)";
        } else {
            *error = SystemError("cannot open " + name, code);
        }
        return false;
    }
    s.reading.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s.writing.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (s.reading.hEvent == nullptr || s.writing.hEvent == nullptr) {
        *error = SystemError("CreateEvent");
        Close();
        return false;
    }
    if (!SetFormat(s.port, name, format, error)) {
        Close();
        return false;
    }
    // Windows' waits end on its timer's tick, 15.6 ms unless a program asks
    // for finer: the scan time and the pacing keep their milliseconds only
    // with it. Without it fpsim still serves, only later.
    s.finerTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    return true;
}

bool SerialLine::ListenTcp(int, std::string *error) {
    *error = "fpsim plays an Ethernet unit on Linux only; here it serves a COM port (--device)";
    return false;
}

int SerialLine::TcpPort() const {
    return 0;
}

std::string SerialLine::PseudoTerminalPath() const {
    return "";
}

bool SerialLine::ReadMasterLine(MasterLine *) const {
    return false;  // a COM port shows only its own settings
}

SerialLine::Readiness SerialLine::Wait(bool forInput, bool forRoom, TimePoint until) {
    State &s = *state_;
    Readiness ready;
    if (forInput) {
        s.StartRead();
        if (!s.held.empty() || s.failed) {
            ready.input = true;
            return ready;
        }
    }
    DWORD limit = MillisecondsUntil(until);
    if (forRoom)
        limit = std::min(limit, kRoomRetryMs);
    const HANDLE events[2] = {s.wake, s.reading.hEvent};
    const DWORD watched = forInput && s.readPending ? 2 : 1;
    const DWORD which = WaitForMultipleObjects(watched, events, FALSE, limit);
    if (which == WAIT_OBJECT_0 + 1) {
        s.FinishRead();
        ready.input = !s.held.empty() || s.failed;
    } else if (which == WAIT_TIMEOUT) {
        ready.room = forRoom;
    }
    return ready;
}

long SerialLine::Read(char *buffer, size_t size) {
    State &s = *state_;
    if (!s.held.empty()) {
        const size_t count = std::min(size, s.held.size());
        s.held.copy(buffer, count);
        s.held.erase(0, count);
        return static_cast<long>(count);
    }
    if (s.failed) {
        s.failed = false;  // the next Wait tries the port again
        return -1;
    }
    return 0;
}

long SerialLine::Write(const char *bytes, size_t count) {
    State &s = *state_;
    ResetEvent(s.writing.hEvent);
    DWORD written = 0;
    if (!WriteFile(s.port, bytes, static_cast<DWORD>(count), nullptr, &s.writing) &&
        GetLastError() != ERROR_IO_PENDING) {
        return -1;
    }
    // Bounded by the port's write time-out.
    if (!GetOverlappedResult(s.port, &s.writing, &written, TRUE))
        return -1;
    return static_cast<long>(written);
}

void SerialLine::Wake() {
    if (state_->wake != nullptr)
        SetEvent(state_->wake);
}

void SerialLine::Close() {
    State &s = *state_;
    if (s.port != INVALID_HANDLE_VALUE) {
        if (s.readPending) {
            DWORD count = 0;
            CancelIo(s.port);
            GetOverlappedResult(s.port, &s.reading, &count, TRUE);
        }
        CloseHandle(s.port);
    }
    for (OVERLAPPED *overlapped : {&s.reading, &s.writing}) {
        if (overlapped->hEvent != nullptr)
            CloseHandle(overlapped->hEvent);
        *overlapped = OVERLAPPED();
    }
    if (s.finerTimer)
        timeEndPeriod(1);
    s.finerTimer = false;
    s.port = INVALID_HANDLE_VALUE;
    s.readPending = false;
    s.failed = false;
    s.held.clear();
}

}  // namespace fpsim
