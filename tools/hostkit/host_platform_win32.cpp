#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "tools/hostkit/host_platform.h"

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
