// The line settings as the kernel holds them, read and written through
// termios2. It takes any rate in bit/s, and its write does not second-guess a
// pseudo-terminal: the C library's tcsetattr reports a failure there after the
// kernel has applied the settings, because a pseudo-terminal forces eight
// bits without parity. Kept apart: the kernel's header cannot share a
// translation unit with <termios.h>. The flag and control-character values
// are those of <termios.h>.
#pragma once

#include <stdint.h>

constexpr int kKernelControlChars = 19;

struct KernelLine {
    uint32_t iflag, oflag, cflag, lflag;  // cflag without the rate bits
    uint8_t cc[kKernelControlChars];
    uint32_t rate;  // bit/s, both ways
};

bool ReadKernelLine(int fd, KernelLine *line);
// A standard rate goes as its constant, any other as a number of bit/s.
bool WriteKernelLine(int fd, const KernelLine &line);
