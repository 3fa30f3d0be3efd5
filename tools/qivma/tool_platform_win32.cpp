#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "tools/qivma/tool_platform.h"

namespace {

HMODULE DriverModule() {
    static HMODULE module = [] {
        HMODULE loaded = LoadLibraryA("qivma.dll");
        if (loaded == nullptr) {
            fprintf(stderr, "qivma: cannot load qivma.dll (error %lu)\n", GetLastError());
            exit(1);
        }
        return loaded;
    }();
    return module;
}

void *Export(const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(DriverModule(), name));
}

bool ConsoleSize(CONSOLE_SCREEN_BUFFER_INFO &info) {
    return StdoutIsTerminal() &&
           GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0;
}

}  // namespace

QivMainFunction DriverEntry() {
    static QivMainFunction entry = [] {
        void *address = Export("QivMain");
        if (address == nullptr) {
            fprintf(stderr, "qivma: qivma.dll exports no QivMain\n");
            exit(1);
        }
        return reinterpret_cast<QivMainFunction>(address);
    }();
    return entry;
}

QivSetLineMonitorFunction LineMonitorEntry() {
    return reinterpret_cast<QivSetLineMonitorFunction>(Export("QivSetLineMonitor"));
}

// The driver's own reckoning of the performance counter, so that the tool's
// times and the line monitor's agree.
uint64_t MonotonicMicroseconds() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    const uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

namespace {

// A console takes the sequences once they are turned on; TERM=dumb, as an
// editor's shell sets it, asks for none.
bool TermTakesSequences() {
    const char *term = getenv("TERM");
    return term == nullptr || strcmp(term, "dumb") != 0;
}

}  // namespace

bool StdoutTakesSequences() {
    return StdoutIsTerminal() && TermTakesSequences();
}

bool StderrTakesSequences() {
    if (!StderrIsTerminal() || !TermTakesSequences())
        return false;
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) &&
           SetConsoleMode(console, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    return ConsoleSize(info) ? info.srWindow.Right - info.srWindow.Left + 1 : 0;
}

int TerminalRows() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    return ConsoleSize(info) ? info.srWindow.Bottom - info.srWindow.Top + 1 : 0;
}

void SleepMilliseconds(int milliseconds) {
    Sleep(static_cast<DWORD>(milliseconds));
}

// Consoles of Windows 10 and later understand the same escape sequences as
// terminals elsewhere once asked to.
void EnableTerminalSequences() {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode))
        SetConsoleMode(console, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
}

// COM names are short; the device namespace's long form is kept as given.
std::string HostPortName(const std::string &device, std::string *) {
    return device;
}

void RemoveLink(const std::string &) {}

std::string DiagnosePort(const std::string &device) {
    if (device.rfind("/dev/", 0) == 0 || device.rfind("tty", 0) == 0) {
        return device +
               " is a Linux name; Windows names serial ports COM1, COM3 and so on (the Device "
               "Manager lists them under Ports)";
    }
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return "the device refused the line settings";
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return "no such port";
    if (error == ERROR_ACCESS_DENIED)
        return "another program has it open";
    return "Windows error " + std::to_string(error);
}

const char *ExamplePort() {
    return "COM3";
}

bool HasSimulator() {
    return false;
}

std::string SimulatorFaultNames() {
    return "";
}

bool CheckSimulatorFaultEvery(const std::string &, int *, std::string *error) {
    *error = "the Windows tool has no built-in simulator";
    return false;
}

bool CheckSimulatorFault(const std::string &, std::string *error) {
    *error = "the Windows tool has no built-in simulator";
    return false;
}

// fpsim.exe runs as a program of its own on the far end of a null-modem
// pair; the tool opens the near end as it opens any port, and says which.
bool StartSimulator(const SimulatorLine &line, std::string *device, std::string *error) {
    if (line.port.empty()) {
        *error = "--sim needs --sim-port COMn: the port whose far end fpsim.exe serves";
        return false;
    }
    fprintf(stderr,
            "qivma: --sim: using %s; the simulator is fpsim.exe, serving the other end of "
            "%s's null-modem pair\n",
            line.port.c_str(), line.port.c_str());
    *device = line.port;
    return true;
}

void StopSimulator() {}

std::string SystemErrorText(uint32_t code) {
    if (code == UINT32_MAX)
        return "no error code";
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string described(text, length);
    while (!described.empty() && (described.back() == '\n' || described.back() == '\r' ||
                                  described.back() == ' ' || described.back() == '.'))
        described.pop_back();
    if (described.empty())
        described = "system error";
    return described + ", system error " + std::to_string(code);
}
