#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "tools/qivma/tool_platform.h"

namespace {

bool ConsoleSize(CONSOLE_SCREEN_BUFFER_INFO &info) {
    return StdoutIsTerminal() &&
           GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0;
}

}  // namespace

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
