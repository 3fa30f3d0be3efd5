#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "tools/hostkit/host_platform.h"

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

// A device in /dev goes by its name there, as the driver reads a name
// without a leading "/"; a longer path by a short link in /tmp. /dev/null is
// the driver's NUL.
std::string HostPortName(const std::string &device, std::string *link) {
    if (device == "/dev/null")
        return "NUL";
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

namespace {

bool IsWindowsName(const std::string &device) {
    if (device.size() < 4 || strncasecmp(device.c_str(), "COM", 3) != 0)
        return false;
    for (size_t i = 3; i < device.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(device[i])))
            return false;
    }
    return true;
}

// The serial devices this system has, as far as their names tell: USB
// adapters and modem-class devices, and their stable names by id.
std::string SerialPortsHere() {
    std::string found;
    for (const char *pattern : {"/dev/ttyUSB*", "/dev/ttyACM*", "/dev/serial/by-id/*"}) {
        glob_t matches;
        if (glob(pattern, 0, nullptr, &matches) == 0) {
            for (size_t i = 0; i < matches.gl_pathc; ++i)
                found += std::string(found.empty() ? "" : " ") + matches.gl_pathv[i];
        }
        globfree(&matches);
    }
    return found.empty() ? "no USB serial adapter is plugged in (ls /dev/ttyUSB* /dev/ttyACM*)"
                         : "here: " + found;
}

bool InGroup(gid_t group) {
    gid_t groups[256];
    const int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i) {
        if (groups[i] == group)
            return true;
    }
    return getegid() == group;
}

// Whether the user's account is in the group, though this login may not be.
bool AccountInGroup(gid_t group) {
    const struct passwd *user = getpwuid(geteuid());
    if (user == nullptr)
        return false;
    gid_t groups[256];
    int n = 256;
    if (getgrouplist(user->pw_name, user->pw_gid, groups, &n) < 0)
        return false;
    for (int i = 0; i < n; ++i) {
        if (groups[i] == group)
            return true;
    }
    return false;
}

std::string GroupName(gid_t gid) {
    const struct group *entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

// Serial ports belong to a group (dialout on Debian and Ubuntu) whose
// members may open them; the remedy is to join it.
std::string PermissionRemedy(const std::string &full, const struct stat &info) {
    const bool groupMayUse = (info.st_mode & S_IRGRP) && (info.st_mode & S_IWGRP);
    const struct group *dialout = getgrnam("dialout");
    const gid_t gid = groupMayUse          ? info.st_gid
                      : dialout != nullptr ? dialout->gr_gid
                                           : info.st_gid;
    const std::string name = groupMayUse ? GroupName(info.st_gid) : "dialout";
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    std::string text = "permission denied: " + full + " (mode " + mode + ", group " +
                       GroupName(info.st_gid) + ") is not open to you. ";
    if (InGroup(gid) && groupMayUse)
        return text + "You are in its group " + name + ": ask why the device refuses you";
    if (AccountInGroup(gid)) {
        return text + "Your account is in the group " + name +
               ", but this login is not yet: log out and in again (or run newgrp " + name + ")";
    }
    return text + "Serial ports are the group " + name + "'s: join it with sudo usermod -aG " +
           name + " $USER, then log out and in again";
}

}  // namespace

std::string DiagnosePort(const std::string &device) {
    const bool bare = device[0] != '/';
    const std::string full = bare ? "/dev/" + device : device;
    struct stat info;
    if (stat(full.c_str(), &info) != 0) {
        const int error = errno;
        if (IsWindowsName(device)) {
            return device +
                   " is a Windows name; Linux names serial ports /dev/ttyS0 (a port on the "
                   "board), /dev/ttyUSB0 (a USB adapter), /dev/ttyACM0 (a USB modem-class "
                   "device); " +
                   SerialPortsHere();
        }
        if (error == ENOENT) {
            return "there is no " + full +
                   (bare ? " (a name without a / is taken as a device in /dev)" : "") + "; " +
                   SerialPortsHere();
        }
        return strerror(error);
    }
    const int fd = open(full.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EACCES ? PermissionRemedy(full, info) : strerror(errno);
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

std::string SystemErrorText(uint32_t code) {
    if (code == UINT32_MAX)
        return "no error code";
    return std::string(strerror(static_cast<int>(code))) + ", system error " + std::to_string(code);
}
