#include "tools/fpsim/pseudo_terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace fpsim {

namespace {

std::string SystemError(const std::string &what) {
    return what + ": " + strerror(errno);
}

}  // namespace

bool SetRawMode(int fd, std::string *error) {
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
    if (!SetRawMode(pty.driverSideFd, error) || !SetRawMode(pty.controllerFd, error)) {
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
