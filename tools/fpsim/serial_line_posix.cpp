// The line on POSIX: a pseudo-terminal of our own or a serial device, both
// non-blocking; waits by ppoll on the line and a wake-up pipe.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "tools/fpsim/line_rate.h"
#include "tools/fpsim/pseudo_terminal.h"
#include "tools/fpsim/serial_line.h"
#include "tools/fpsim/tcp_listener.h"

namespace fpsim {

namespace {

// The rates that a device is set to through termios' own speed codes.
const struct {
    unsigned baud;
    speed_t speed;
} kDeviceRates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

// The rates of the speed constants, for reading a line's rate where the
// kernel's call for the rate in bit/s is not there.
const struct {
    unsigned baud;
    speed_t speed;
} kSpeedConstants[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

unsigned RateOf(speed_t speed) {
    for (const auto &constant : kSpeedConstants) {
        if (constant.speed == speed)
            return constant.baud;
    }
    return 0;
}

speed_t SpeedOf(unsigned baud) {
    for (const auto &rate : kDeviceRates) {
        if (rate.baud == baud)
            return rate.speed;
    }
    return B0;
}

tcflag_t CharacterSize(int dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

// Why `path` did not open, in words that say what to do about it.
std::string OpenFailure(const std::string &path, int error) {
    const std::string cannot = "cannot open " + path + ": ";
    switch (error) {
        case ENOENT:
            return cannot +
                   "there is no such device (a USB adapter appears as /dev/ttyUSB0 or "
                   "/dev/ttyACM0 once it is plugged in, a built-in port as /dev/ttyS0)";
        case EACCES:
        case EPERM: {
            struct stat info;
            const group *owner = stat(path.c_str(), &info) == 0 ? getgrgid(info.st_gid) : nullptr;
            if (owner == nullptr || info.st_gid == 0)
                return cannot + "permission denied";
            const std::string name = owner->gr_name;
            return cannot + "permission denied; the device belongs to the group " + name +
                   ": add yourself to it (sudo usermod -aG " + name + " $USER) and log in again";
        }
        case EBUSY:
            return cannot + "it is busy: another program holds it";
        case EISDIR:
            return path + " is a directory, not a serial device";
        case ENXIO:
        case ENODEV:
            return cannot + "no device answers behind it (unplugged, or no such port here)";
        default:
            return cannot + strerror(error);
    }
}

// The serve thread never blocks in a write: a noise byte that the line
// cannot take is dropped, an answer waits for room while reading goes on.
bool MakeNonBlocking(int fd, std::string *error) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = "cannot make the line non-blocking";
        return false;
    }
    return true;
}

// Whether the stick-parity flag set on `fd` reads back: qemu-user drops it.
// The line is left as it was.
bool KeepsStickFlag(int fd) {
    termios before;
    if (tcgetattr(fd, &before) != 0)
        return false;
    termios stick = before;
    stick.c_cflag |= CMSPAR;
    termios after;
    const bool kept = tcsetattr(fd, TCSANOW, &stick) == 0 && tcgetattr(fd, &after) == 0 &&
                      (after.c_cflag & CMSPAR) != 0;
    return tcsetattr(fd, TCSANOW, &before) == 0 && kept;
}

bool SetFormat(int fd, const std::string &path, const LineFormat &format, std::string *error) {
    termios settings;
    if (!SetRawMode(fd, error) || tcgetattr(fd, &settings) != 0) {
        return false;
    }
    if (format.baud != 0) {
        const speed_t speed = SpeedOf(format.baud);
        if (speed == B0) {
            *error = "rate " + std::to_string(format.baud) + " is not offered for devices";
            return false;
        }
        cfsetispeed(&settings, speed);
        cfsetospeed(&settings, speed);
    }
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CMSPAR);
    settings.c_cflag |= CharacterSize(format.dataBits);
    if (format.parity != 'N')
        settings.c_cflag |= PARENB;
    if (format.parity == 'O' || format.parity == 'M')
        settings.c_cflag |= PARODD;
    if (format.parity == 'M' || format.parity == 'S')
        settings.c_cflag |= CMSPAR;
    if (format.stopBits > 1)
        settings.c_cflag |= CSTOPB;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        const std::string settings = format.baud == 0
                                         ? format.Characters() + " at the device's own rate"
                                         : format.Describe();
        *error = path + " refused the line settings " + settings + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool PseudoTerminalsOffered() {
    return true;
}

bool DeviceTakesRate(unsigned baud) {
    return baud == 0 || SpeedOf(baud) != B0;
}

std::string DeviceRates() {
    std::string text;
    for (const auto &rate : kDeviceRates)
        text += (text.empty() ? "" : ", ") + std::to_string(rate.baud);
    return text;
}

struct SerialLine::State {
    int fd = -1;  // the line that fpsim reads and writes
    PseudoTerminal pty;
    std::string linkPath;
    int linkClaim = -1;      // held while the link is served (ClaimLink)
    bool stickShows = true;  // CMSPAR survives on the pseudo-terminal
    bool device = false;
    int listener = -1;  // on TCP; fd is then the master's connection, -1 while none
    int tcpPort = 0;
    int wake[2] = {-1, -1};
};

SerialLine::SerialLine() : state_(std::make_unique<State>()) {
    if (pipe2(state_->wake, O_CLOEXEC | O_NONBLOCK) != 0)
        state_->wake[0] = state_->wake[1] = -1;
}

SerialLine::~SerialLine() {
    Close();
    for (const int fd : state_->wake) {
        if (fd >= 0)
            close(fd);
    }
}

bool SerialLine::OpenPseudoTerminal(const std::string &linkPath, std::string *error) {
    State &s = *state_;
    if (s.wake[0] < 0) {
        *error = "pipe failed";
        return false;
    }
    // The link is claimed before anything else: another fpsim that serves
    // it keeps it, and this one creates nothing.
    if (!linkPath.empty() && !ClaimLink(linkPath, &s.linkClaim, error))
        return false;
    if (!::fpsim::OpenPseudoTerminal(s.pty, error) ||
        (!linkPath.empty() && !PublishLink(linkPath, s.pty.driverPath, error))) {
        ClosePseudoTerminal(s.pty);
        close(s.linkClaim);
        s.linkClaim = -1;
        return false;
    }
    s.linkPath = linkPath;
    s.fd = s.pty.controllerFd;
    s.stickShows = KeepsStickFlag(s.pty.driverSideFd);
    if (!MakeNonBlocking(s.fd, error)) {
        Close();
        return false;
    }
    return true;
}

bool SerialLine::OpenDevice(const std::string &name, const LineFormat &format, std::string *error) {
    State &s = *state_;
    if (s.wake[0] < 0) {
        *error = "pipe failed";
        return false;
    }
    // Without waiting for a modem line; fpsim's own waits come after.
    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = OpenFailure(name, errno);
        return false;
    }
    if (!isatty(fd)) {
        // /dev/null, a file: nothing that has a line to set.
        *error = name +
                 " is not a serial device: it takes no line settings (a serial device is a "
                 "terminal such as /dev/ttyS0, /dev/ttyUSB0 or a pseudo-terminal)";
        close(fd);
        return false;
    }
    if (!SetFormat(fd, name, format, error) || !MakeNonBlocking(fd, error)) {
        close(fd);
        return false;
    }
    s.fd = fd;
    s.device = true;
    return true;
}

bool SerialLine::ListenTcp(int port, std::string *error) {
    State &s = *state_;
    if (s.wake[0] < 0) {
        *error = "pipe failed";
        return false;
    }
    s.listener = ListenOnLoopback(port, &s.tcpPort, error);
    return s.listener >= 0;
}

int SerialLine::TcpPort() const {
    return state_->tcpPort;
}

std::string SerialLine::PseudoTerminalPath() const {
    return state_->pty.driverPath;
}

bool SerialLine::ReadMasterLine(MasterLine *seen) const {
    const State &s = *state_;
    termios settings;
    // On a pseudo-terminal both ends share one set of settings: those that
    // the master gave its end, read here from ours.
    if (s.device || s.fd < 0 || tcgetattr(s.fd, &settings) != 0)
        return false;
    seen->oddFlag = (settings.c_cflag & PARODD) != 0;
    seen->stickFlag = (settings.c_cflag & CMSPAR) != 0;
    seen->stickShows = s.stickShows;
    if (!ReadLineRate(s.fd, &seen->baud))
        seen->baud = RateOf(cfgetospeed(&settings));
    return true;
}

SerialLine::Readiness SerialLine::Wait(bool forInput, bool forRoom, TimePoint until) {
    State &s = *state_;
    timespec timeout = {0, 0};
    if (until != TimePoint::max()) {
        const auto left = std::max(until - std::chrono::steady_clock::now(),
                                   std::chrono::steady_clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
        timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    const short lineEvents = static_cast<short>((forInput ? POLLIN : 0) | (forRoom ? POLLOUT : 0));
    pollfd fds[3] = {{lineEvents != 0 ? s.fd : -1, lineEvents, 0},
                     {s.wake[0], POLLIN, 0},
                     {forInput ? s.listener : -1, POLLIN, 0}};
    Readiness ready;
    if (ppoll(fds, 3, until == TimePoint::max() ? nullptr : &timeout, nullptr) <= 0) {
        return ready;  // the time came, or a signal
    }
    if ((fds[2].revents & POLLIN) != 0)
        TakeConnection(s.listener, &s.fd);
    if ((fds[1].revents & POLLIN) != 0) {
        char drain[64];
        while (read(s.wake[0], drain, sizeof drain) > 0) {
        }
    }
    ready.input = forInput && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    ready.room = forRoom && (fds[0].revents & POLLOUT) != 0;
    return ready;
}

long SerialLine::Read(char *buffer, size_t size) {
    State &s = *state_;
    const ssize_t n = read(s.fd, buffer, size);
    if (n > 0)
        return static_cast<long>(n);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    // An end of file: the far side hung up. On TCP the master went: the next
    // one may connect.
    if (s.listener >= 0 && s.fd >= 0) {
        close(s.fd);
        s.fd = -1;
    }
    return -1;
}

long SerialLine::Write(const char *bytes, size_t count) {
    for (;;) {
        const ssize_t n = write(state_->fd, bytes, count);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EAGAIN)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

void SerialLine::Wake() {
    const char wake = 0;
    if (state_->wake[1] >= 0 && write(state_->wake[1], &wake, 1) < 0) {
        // A full pipe already holds a wake-up.
    }
}

void SerialLine::Close() {
    State &s = *state_;
    if ((s.device || s.listener >= 0) && s.fd >= 0)
        close(s.fd);
    if (s.listener >= 0)
        close(s.listener);
    s.listener = -1;
    s.tcpPort = 0;
    if (!s.linkPath.empty() && !s.pty.driverPath.empty())
        WithdrawLink(s.linkPath, s.pty.driverPath);
    // Only once the link is gone may another simulator claim its path.
    if (s.linkClaim >= 0)
        close(s.linkClaim);
    s.linkClaim = -1;
    // The pseudo-terminal's path stays known after it is closed, for
    // messages about the run that used it.
    ClosePseudoTerminal(s.pty);
    s.linkPath.clear();
    s.device = false;
    s.fd = -1;
}

}  // namespace fpsim
