#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "tools/qivma/tool_platform.h"

QivMainFunction DriverEntry() {
    static QivMainFunction entry = [] {
        HMODULE module = LoadLibraryA("qivma.dll");
        if (module == nullptr) {
            fprintf(stderr, "qivma: cannot load qivma.dll (error %lu)\n", GetLastError());
            exit(1);
        }
        FARPROC address = GetProcAddress(module, "QivMain");
        if (address == nullptr) {
            fprintf(stderr, "qivma: qivma.dll exports no QivMain\n");
            exit(1);
        }
        return reinterpret_cast<QivMainFunction>(reinterpret_cast<void *>(address));
    }();
    return entry;
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

void SleepMilliseconds(int milliseconds) {
    Sleep(static_cast<DWORD>(milliseconds));
}

// COM names are short; the device namespace's long form is kept as given.
std::string HostPortName(const std::string &device, std::string *) {
    return device;
}

void RemoveLink(const std::string &) {}

std::string DiagnosePort(const std::string &device) {
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

bool StartSimulator(const SimulatorLine &, std::string *, std::string *error) {
    *error = "the built-in simulator runs on Linux: start fpsim there and map its port";
    return false;
}

void StopSimulator() {}
