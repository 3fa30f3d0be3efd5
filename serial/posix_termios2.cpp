// The exact path of the line settings: termios2, which gives the rate in bit/s.
#include <asm/termbits.h>
#include <string.h>
#include <sys/ioctl.h>

#include "serial/posix_line.h"

namespace {

constexpr tcflag_t kRateBits = CBAUD | (CBAUD << IBSHIFT);

}  // namespace

static_assert(NCCS == kKernelControlChars, "termios2 holds 19 control characters");

bool ReadExactLine(int fd, KernelLine *line) {
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

bool WriteExactLine(int fd, const KernelLine &line) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    settings.c_iflag = line.iflag;
    settings.c_oflag = line.oflag;
    settings.c_lflag = line.lflag;
    memcpy(settings.c_cc, line.cc, sizeof line.cc);
    // The rate in bit/s both ways: the input rate bits say "other" too.
    settings.c_cflag = (line.cflag & ~kRateBits) | BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = line.rate;
    settings.c_ospeed = line.rate;
    return ioctl(fd, TCSETS2, &settings) == 0;
}
