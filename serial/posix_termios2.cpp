#include "serial/posix_termios2.h"

#include <asm/termbits.h>
#include <string.h>
#include <sys/ioctl.h>

namespace {

constexpr tcflag_t kRateBits = CBAUD | (CBAUD << IBSHIFT);

tcflag_t StandardRateConstant(uint32_t rate) {
    switch (rate) {
        case 50:
            return B50;
        case 75:
            return B75;
        case 110:
            return B110;
        case 134:
            return B134;
        case 150:
            return B150;
        case 200:
            return B200;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 1800:
            return B1800;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return 0;
    }
}

}  // namespace

static_assert(NCCS == kKernelControlChars, "termios2 holds 19 control characters");

bool ReadKernelLine(int fd, KernelLine *line) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    line->iflag = settings.c_iflag;
    line->oflag = settings.c_oflag;
    line->cflag = settings.c_cflag & ~kRateBits;
    line->lflag = settings.c_lflag;
    memcpy(line->cc, settings.c_cc, sizeof line->cc);
    line->rate = settings.c_ospeed;
    return true;
}

bool WriteKernelLine(int fd, const KernelLine &line) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    settings.c_iflag = line.iflag;
    settings.c_oflag = line.oflag;
    settings.c_lflag = line.lflag;
    memcpy(settings.c_cc, line.cc, sizeof line.cc);
    const tcflag_t constant = StandardRateConstant(line.rate);
    // The input rate follows the output rate (its bits left 0), unless the
    // rate is given in bit/s.
    settings.c_cflag =
        (line.cflag & ~kRateBits) | (constant != 0 ? constant : (BOTHER | (BOTHER << IBSHIFT)));
    settings.c_ispeed = line.rate;
    settings.c_ospeed = line.rate;
    return ioctl(fd, TCSETS2, &settings) == 0;
}
