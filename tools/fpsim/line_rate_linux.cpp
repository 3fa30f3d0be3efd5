// The rate of a line in bit/s, read through termios2, which gives any rate
// (also one without a speed constant). Apart from the rest of the line's code
// because its header and <termios.h> cannot be included together.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tools/fpsim/line_rate.h"

namespace fpsim {

bool ReadLineRate(int fd, unsigned *baud) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    *baud = settings.c_ospeed;
    return true;
}

}  // namespace fpsim
