// The line settings of a POSIX terminal device, read and written along one of
// two paths:
// - the classic termios calls (tcgetattr, tcsetattr, cfsetispeed and
//   cfsetospeed) for every rate that <termios.h> names a constant for: the
//   calls that every C library and every emulator of system calls (qemu-user
//   among them) carry through;
// - termios2 (the kernel's TCGETS2 and TCSETS2) only for a rate without a
//   constant, which only termios2 can give in bit/s. A device, or an emulator,
//   that refuses termios2 then refuses the rate, as any refused setting.
// The paths are a table of calls, so that the choice between them can be
// tested with calls that a test scripts.
#pragma once

#include <stdint.h>

constexpr int kKernelControlChars = 19;

// The settings as the device holds them. The flag and control-character
// values are those of <termios.h>, the same on both paths.
struct KernelLine {
    uint32_t iflag, oflag, cflag, lflag;  // cflag without the rate bits
    uint8_t cc[kKernelControlChars];
    uint32_t rate;  // bit/s, both ways; 0 where the rate could not be told
};

struct LineCalls {
    // The classic calls. Their read gives the rate 0 when the device's rate
    // has no constant; their write takes only a rate that has one.
    bool (*readClassic)(int fd, KernelLine *line);
    bool (*writeClassic)(int fd, const KernelLine &line);
    // termios2: any rate in bit/s.
    bool (*readExact)(int fd, KernelLine *line);
    bool (*writeExact)(int fd, const KernelLine &line);
};

// The system's calls on this platform.
extern const LineCalls kSystemLineCalls;

// Whether <termios.h> names a constant for `rate` bit/s.
bool HasRateConstant(uint32_t rate);

// Reads the settings on the classic path, and the rate through termios2 when
// it has no constant. Where termios2 is refused too, the rate reads as 0 and
// the rest stands: a setting that follows gives the rate anew. False, with
// errno set, when the classic read fails.
bool ReadLineSettings(const LineCalls &calls, int fd, KernelLine *line);

// Writes the settings on the classic path when the rate has a constant, or
// else through termios2. False, with errno set, when the path refuses them.
bool WriteLineSettings(const LineCalls &calls, int fd, const KernelLine &line);

// The two paths of the system, each on its own (posix_line.cpp and
// posix_termios2.cpp: the kernel's termios2 header cannot share a translation
// unit with <termios.h>).
bool ReadClassicLine(int fd, KernelLine *line);
bool WriteClassicLine(int fd, const KernelLine &line);
bool ReadExactLine(int fd, KernelLine *line);
bool WriteExactLine(int fd, const KernelLine &line);
