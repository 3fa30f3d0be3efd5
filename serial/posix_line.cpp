#include "serial/posix_line.h"

#include <errno.h>
#include <string.h>
#include <termios.h>

namespace {

struct RateConstant {
    uint32_t rate;
    speed_t constant;
};

constexpr RateConstant kRateConstants[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600},
};

// B0, "hang up", is no rate and so has no entry.
bool ConstantOf(uint32_t rate, speed_t *constant) {
    for (const RateConstant &entry : kRateConstants) {
        if (entry.rate == rate) {
            *constant = entry.constant;
            return true;
        }
    }
    return false;
}

uint32_t RateOf(speed_t constant) {
    for (const RateConstant &entry : kRateConstants) {
        if (entry.constant == constant)
            return entry.rate;
    }
    return 0;
}

// The output and the input rate bits: the input rate follows the output rate
// when its bits are 0.
constexpr tcflag_t kRateBits = CBAUD | CIBAUD;

constexpr size_t kSharedControlChars =
    NCCS < kKernelControlChars ? static_cast<size_t>(NCCS) : kKernelControlChars;

}  // namespace

const LineCalls kSystemLineCalls = {ReadClassicLine, WriteClassicLine, ReadExactLine,
                                    WriteExactLine};

bool HasRateConstant(uint32_t rate) {
    speed_t constant;
    return ConstantOf(rate, &constant);
}

bool ReadClassicLine(int fd, KernelLine *line) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return false;
    memset(line, 0, sizeof *line);
    line->iflag = settings.c_iflag;
    line->oflag = settings.c_oflag;
    line->cflag = settings.c_cflag & ~kRateBits;
    line->lflag = settings.c_lflag;
    memcpy(line->cc, settings.c_cc, kSharedControlChars);
    line->rate = RateOf(cfgetospeed(&settings));
    return true;
}

bool WriteClassicLine(int fd, const KernelLine &line) {
    speed_t constant;
    if (!ConstantOf(line.rate, &constant)) {
        errno = EINVAL;
        return false;
    }
    termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return false;
    settings.c_iflag = line.iflag;
    settings.c_oflag = line.oflag;
    settings.c_cflag = line.cflag & ~kRateBits;
    settings.c_lflag = line.lflag;
    memcpy(settings.c_cc, line.cc, kSharedControlChars);
    if (cfsetospeed(&settings, constant) != 0 || cfsetispeed(&settings, constant) != 0)
        return false;
    if (tcsetattr(fd, TCSANOW, &settings) == 0)
        return true;
    // The C library reads the settings back itself and reports EINVAL when
    // the device changed the character size or the parity bit, which a
    // pseudo-terminal always does (it forces eight bits without parity),
    // although the kernel has applied everything else. Those two are the
    // caller's to judge; the rest must have been taken as given.
    if (errno != EINVAL)
        return false;
    termios applied;
    if (tcgetattr(fd, &applied) != 0)
        return false;
    const tcflag_t judgedByCaller = CSIZE | PARENB;
    const bool restTaken =
        applied.c_iflag == settings.c_iflag && applied.c_oflag == settings.c_oflag &&
        applied.c_lflag == settings.c_lflag &&
        (applied.c_cflag & ~judgedByCaller) == (settings.c_cflag & ~judgedByCaller);
    errno = EINVAL;
    return restTaken;
}

bool ReadLineSettings(const LineCalls &calls, int fd, KernelLine *line) {
    if (!calls.readClassic(fd, line))
        return false;
    if (line->rate != 0)
        return true;
    // A rate in bit/s, set through termios2 by us or by another program.
    const int classicErrno = errno;
    KernelLine exact;
    if (calls.readExact(fd, &exact)) {
        line->rate = exact.rate;
    }
    errno = classicErrno;
    return true;
}

bool WriteLineSettings(const LineCalls &calls, int fd, const KernelLine &line) {
    if (HasRateConstant(line.rate))
        return calls.writeClassic(fd, line);
    return calls.writeExact(fd, line);
}
