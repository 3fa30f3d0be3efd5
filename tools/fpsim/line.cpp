#include "tools/fpsim/line.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace fpsim {

std::string LineFormat::Describe() const {
    if (baud == 0) {
        return "no pacing";
    }
    char text[64];
    snprintf(text, sizeof text, "%u bit/s %d%c%g", baud, dataBits, parity, stopBits);
    return text;
}

namespace {

std::string SystemError(const std::string &what) {
    return what + ": " + strerror(errno);
}

bool MakeRaw(int fd, std::string *error) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0) {
        *error = SystemError("tcgetattr");
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        *error = SystemError("tcsetattr");
        return false;
    }
    return true;
}

// The rates that a device is set to through termios' own speed codes.
const struct {
    unsigned baud;
    speed_t speed;
} kDeviceRates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

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

}  // namespace

bool DeviceTakesRate(unsigned baud) {
    return baud == 0 || SpeedOf(baud) != B0;
}

std::string DeviceRates() {
    std::string text;
    for (const auto &rate : kDeviceRates)
        text += (text.empty() ? "" : ", ") + std::to_string(rate.baud);
    return text;
}

bool OpenPseudoTerminal(PseudoTerminal &pty, std::string *error) {
    pty.controllerFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.controllerFd < 0) {
        *error = SystemError("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(pty.controllerFd) != 0 || unlockpt(pty.controllerFd) != 0 ||
        ptsname_r(pty.controllerFd, name, sizeof name) != 0) {
        *error = SystemError("pseudo-terminal");
        ClosePseudoTerminal(pty);
        return false;
    }
    pty.driverPath = name;
    pty.driverSideFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.driverSideFd < 0) {
        *error = SystemError("open " + pty.driverPath);
        ClosePseudoTerminal(pty);
        return false;
    }
    // Raw on both sides: no echo of the answers back to us, no line editing.
    if (!MakeRaw(pty.driverSideFd, error) || !MakeRaw(pty.controllerFd, error)) {
        ClosePseudoTerminal(pty);
        return false;
    }
    return true;
}

void ClosePseudoTerminal(PseudoTerminal &pty) {
    if (pty.driverSideFd >= 0)
        close(pty.driverSideFd);
    if (pty.controllerFd >= 0)
        close(pty.controllerFd);
    pty.driverSideFd = pty.controllerFd = -1;
}

int OpenSerialDevice(const std::string &path, const LineFormat &format, std::string *error) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = SystemError("open " + path);
        return -1;
    }
    termios settings;
    if (!MakeRaw(fd, error) || tcgetattr(fd, &settings) != 0) {
        close(fd);
        return -1;
    }
    if (format.baud != 0) {
        const speed_t speed = SpeedOf(format.baud);
        if (speed == B0) {
            *error = "rate " + std::to_string(format.baud) + " is not offered for devices";
            close(fd);
            return -1;
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
        *error = SystemError("tcsetattr " + path);
        close(fd);
        return -1;
    }
    return fd;
}

bool PublishLink(const std::string &link, const std::string &target, std::string *error) {
    struct stat existing;
    if (lstat(link.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            *error = link + " exists and is not a symbolic link";
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        *error = SystemError("symlink " + link);
        return false;
    }
    return true;
}

void WithdrawLink(const std::string &link, const std::string &target) {
    char pointsTo[256];
    const ssize_t n = readlink(link.c_str(), pointsTo, sizeof pointsTo - 1);
    if (n > 0 && std::string(pointsTo, static_cast<size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

}  // namespace fpsim
