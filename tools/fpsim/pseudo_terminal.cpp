#include "tools/fpsim/pseudo_terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace fpsim {

namespace {

std::string SystemError(const std::string &what) {
    return what + ": " + strerror(errno);
}

// The path as every simulator names it, whatever the directory it was given
// from: absolute, its directory with no symbolic links or "..".
std::string AbsoluteLinkPath(const std::string &link) {
    const size_t slash = link.rfind('/');
    std::string directory = slash == std::string::npos ? "." : link.substr(0, slash);
    if (directory.empty())
        directory = "/";
    const std::string name = slash == std::string::npos ? link : link.substr(slash + 1);
    char *resolved = realpath(directory.c_str(), nullptr);
    if (resolved != nullptr) {
        directory = resolved;
        free(resolved);
    } else if (directory[0] != '/') {
        char *here = getcwd(nullptr, 0);
        if (here != nullptr) {
            directory = std::string(here) + "/" + directory;
            free(here);
        }
    }
    return (directory == "/" ? "" : directory) + "/" + name;
}

// The claim's name: a hash of the path, which fits any length, and as much
// of the path as fits after it, for people who list the sockets.
sockaddr_un ClaimAddress(const std::string &link, socklen_t *length) {
    const std::string path = AbsoluteLinkPath(link);
    uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const char c : path) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char prefix[64];
    snprintf(prefix, sizeof prefix, "fpsim link %016llx ", static_cast<unsigned long long>(hash));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace, no file.
    const std::string name = (prefix + path).substr(0, sizeof address.sun_path - 1);
    memcpy(address.sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

}  // namespace

bool ClaimLink(const std::string &link, int *claim, std::string *error) {
    socklen_t length = 0;
    const sockaddr_un address = ClaimAddress(link, &length);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = SystemError("socket");
        return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0 && listen(fd, 4) == 0) {
        *claim = fd;
        return true;
    }
    const int bindError = errno;
    close(fd);
    if (bindError != EADDRINUSE) {
        errno = bindError;
        *error = SystemError("cannot claim the link " + link);
        return false;
    }
    // Which process holds it: the credentials of the claim's socket.
    std::string holder = "another fpsim";
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ucred peer = {};
    socklen_t peerLength = sizeof peer;
    if (probe >= 0 && connect(probe, reinterpret_cast<const sockaddr *>(&address), length) == 0 &&
        getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) == 0 && peer.pid > 0) {
        holder += peer.pid == getpid() ? " in this process"
                                       : " (process " + std::to_string(peer.pid) + ")";
    }
    if (probe >= 0)
        close(probe);
    *error = link + " is served by " + holder + ": stop it first, or give another --link";
    return false;
}

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
