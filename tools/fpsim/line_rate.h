// The rate that a line is set to, as the kernel keeps it (POSIX only).
#pragma once

namespace fpsim {

// The output rate of the line `fd` in bit/s; false where the kernel's call
// for it is not there (qemu-user does not carry it).
bool ReadLineRate(int fd, unsigned *baud);

}  // namespace fpsim
