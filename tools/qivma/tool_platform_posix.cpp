#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "tools/fpsim/simulator.h"
#include "tools/qivma/tool_platform.h"

namespace {

std::unique_ptr<fpsim::Simulator> g_simulator;

bool WindowSize(struct winsize &size) {
    return isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
}

}  // namespace

QivMainFunction DriverEntry() {
    return QivMain;
}

QivSetLineMonitorFunction LineMonitorEntry() {
    return QivSetLineMonitor;
}

uint64_t MonotonicMicroseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

int TerminalColumns() {
    struct winsize size;
    return WindowSize(size) ? size.ws_col : 0;
}

int TerminalRows() {
    struct winsize size;
    return WindowSize(size) ? size.ws_row : 0;
}

void SleepMilliseconds(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void EnableTerminalSequences() {}

// A device in /dev goes by its name there, as the driver reads a name
// without a leading "/"; a longer path by a short link in /tmp.
std::string HostPortName(const std::string &device, std::string *link) {
    std::string name = device;
    if (name.rfind("/dev/", 0) == 0)
        name = name.substr(5);
    if (name.size() < QIV_PORT_NAME_SIZE)
        return name;
    for (int i = 0; i < 10000; ++i) {
        const std::string candidate = "/tmp/qv" + std::to_string((getpid() + i) % 10000);
        if (candidate.size() < QIV_PORT_NAME_SIZE &&
            symlink(device.c_str(), candidate.c_str()) == 0) {
            *link = candidate;
            return candidate;
        }
    }
    return name;
}

void RemoveLink(const std::string &link) {
    if (!link.empty())
        unlink(link.c_str());
}

std::string DiagnosePort(const std::string &device) {
    const std::string full = device[0] == '/' ? device : "/dev/" + device;
    struct stat info;
    if (stat(full.c_str(), &info) != 0)
        return strerror(errno);
    const int fd = open(full.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return strerror(errno);
    std::string why;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        why = "another program has it open";
    } else if (!isatty(fd)) {
        why = "it is not a serial device";
    } else {
        why = "the device refused the line settings";
    }
    close(fd);
    return why;
}

const char *ExamplePort() {
    return "/dev/ttyUSB0";
}

bool HasSimulator() {
    return true;
}

bool CheckSimulatorFault(const std::string &faultText, std::string *error) {
    fpsim::Fault fault;
    return fpsim::ParseFault(faultText, fault, error);
}

bool StartSimulator(const SimulatorLine &line, std::string *device, std::string *error) {
    fpsim::Options options;
    options.stations = line.stations;
    options.line.baud = line.baud;
    options.line.dataBits = line.dataBits;
    options.line.parity = line.parity;
    options.line.stopBits = line.stopBits;
    g_simulator = std::make_unique<fpsim::Simulator>(options);
    for (const std::string &faultText : line.faults) {
        fpsim::Fault fault;
        if (!fpsim::ParseFault(faultText, fault, error))
            return false;
        g_simulator->FaultOnce(fault);
    }
    if (!g_simulator->Start(error))
        return false;
    *device = g_simulator->PortPath();
    return true;
}

void StopSimulator() {
    g_simulator.reset();
}

std::string SystemErrorText(uint32_t code) {
    if (code == UINT32_MAX)
        return "no error code";
    return std::string(strerror(static_cast<int>(code))) + ", system error " + std::to_string(code);
}
