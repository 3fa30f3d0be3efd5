// Line rates through the kernel's termios2, which takes any number of bit/s.
// Kept apart: its header cannot share a translation unit with <termios.h>.
#pragma once

#include <stdint.h>

// Sets input and output rate to `rate` bit/s; false with errno on failure.
bool SetAnyRate(int fd, uint32_t rate);
// The output rate in bit/s, or 0 when it cannot be read.
uint32_t ReadRate(int fd);
