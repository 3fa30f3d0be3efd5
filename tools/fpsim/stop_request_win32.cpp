#include <windows.h>

#include "tools/fpsim/stop_request.h"

namespace fpsim {

namespace {

HANDLE g_requested = nullptr;  // set by the console's handler
HANDLE g_stopped = nullptr;    // set once fpsim has closed its port
volatile LONG g_kind = -1;     // the console event that asked

// Windows ends the process once the handler of a close, logoff or shutdown
// event returns (after a few seconds at most), so that handler waits for fpsim
// to have stopped; Ctrl-C and Ctrl-Break only ask.
constexpr DWORD kLongestCloseWaitMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD kind) {
    InterlockedCompareExchange(&g_kind, static_cast<LONG>(kind), -1);
    SetEvent(g_requested);
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_stopped, kLongestCloseWaitMs);
    return TRUE;
}

const char *ConsoleEventName(LONG kind) {
    switch (kind) {
        case CTRL_C_EVENT:
            return "Ctrl-C";
        case CTRL_BREAK_EVENT:
            return "Ctrl-Break";
        case CTRL_CLOSE_EVENT:
            return "console closed";
        case CTRL_LOGOFF_EVENT:
            return "logoff";
        case CTRL_SHUTDOWN_EVENT:
            return "shutdown";
        default:
            return "stop request";
    }
}

}  // namespace

bool PrepareForStopRequests(std::string *error) {
    g_requested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_requested == nullptr || g_stopped == nullptr ||
        !SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
        *error = "cannot watch for Ctrl-C (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

std::string AwaitStopRequest() {
    WaitForSingleObject(g_requested, INFINITE);
    return ConsoleEventName(g_kind);
}

void ConfirmStopped() {
    SetEvent(g_stopped);
}

}  // namespace fpsim
