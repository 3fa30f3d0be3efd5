// The driver's end of a simulated line, opened raw, for the simulator's tests.
// It sets its end as a master does: odd parity unless told otherwise (the
// controllers' default, which the simulator judges), and a rate if given.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

// Whether this machine keeps the stick-parity flag (CMSPAR) on a
// pseudo-terminal, probed on one of its own: qemu-user drops it.
inline bool StickFlagKept() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    bool kept = false;
    termios settings;
    if (grantpt(master) == 0 && unlockpt(master) == 0) {
        const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave >= 0 && tcgetattr(slave, &settings) == 0) {
            settings.c_cflag |= CMSPAR;
            kept = tcsetattr(slave, TCSANOW, &settings) == 0 && tcgetattr(master, &settings) == 0 &&
                   (settings.c_cflag & CMSPAR) != 0;
        }
        if (slave >= 0)
            close(slave);
    }
    close(master);
    return kept;
}

class TestPort {
  public:
    // `baud`: a rate with a speed constant, or 0 to leave the line's rate;
    // `parity`: N, O, E, M or S.
    explicit TestPort(const std::string &path, unsigned baud = 0, char parity = 'O') {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0) {
            termios settings;
            tcgetattr(fd_, &settings);
            cfmakeraw(&settings);
            settings.c_cflag &= ~(PARENB | PARODD | CMSPAR);
            if (parity != 'N')
                settings.c_cflag |= PARENB;
            if (parity == 'O' || parity == 'M')
                settings.c_cflag |= PARODD;
            if (parity == 'M' || parity == 'S')
                settings.c_cflag |= CMSPAR;
            const struct {
                unsigned baud;
                speed_t speed;
            } kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                           {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
            for (const auto &speed : kSpeeds) {
                if (speed.baud == baud) {
                    cfsetispeed(&settings, speed.speed);
                    cfsetospeed(&settings, speed.speed);
                }
            }
            tcsetattr(fd_, TCSANOW, &settings);
        }
    }
    ~TestPort() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }

    bool Write(const std::string &bytes) {
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until a carriage return, or until `timeout` passes without one.
    std::string ReadFrame(std::chrono::milliseconds timeout) {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (bytes.empty() || bytes.back() != '\r') {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd fd = {fd_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                break;
            char c;
            if (read(fd_, &c, 1) != 1)
                break;
            bytes += c;
        }
        return bytes;
    }

    // Reads whatever comes within `duration`.
    std::string ReadFor(std::chrono::milliseconds duration) {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + duration;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd = {fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                return bytes;
            char chunk[256];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                return bytes;
            bytes.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    int fd_ = -1;
};
