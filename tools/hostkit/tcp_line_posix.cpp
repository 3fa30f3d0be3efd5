// The TCP line on POSIX: a non-blocking connect bounded by the caller, a
// pseudo-terminal pair, and a pump thread that joins the socket to the pair's
// master end.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "tools/hostkit/tcp_line.h"

namespace {

// A peer that vanished without closing (a device server powered off, a cable
// pulled) leaves requests unacknowledged: the system gives up on them after
// this long instead of its own quarter of an hour, and the line fails.
constexpr unsigned kUnacknowledgedMs = 5000;

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void CloseFd(int *fd) {
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// One address tried until `deadline`: the connected socket, or -1 with errno
// (ETIMEDOUT when the deadline came first).
int ConnectOne(const addrinfo &address, long long deadline) {
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int error = 0;
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        while (error == EINPROGRESS || error == EINTR) {
            const long long left = deadline - NowMs();
            if (left <= 0) {
                error = ETIMEDOUT;
                break;
            }
            pollfd ready = {fd, POLLOUT, 0};
            const int polled = poll(&ready, 1, static_cast<int>(left));
            if (polled < 0 && errno != EINTR) {
                error = errno;
            } else if (polled > 0) {
                socklen_t size = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
            }
        }
    }
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    // Frames are small and each waits for its answer: none may sit in the
    // system waiting for more to send with it.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUnacknowledgedMs, sizeof kUnacknowledgedMs);
    return fd;
}

// The master end raw and non-blocking; the driver's end raw until the driver
// sets it, so that nothing that comes before is echoed or translated.
bool OpenPair(int *master, int *driverSide, std::string *device) {
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[64];
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0 ||
        ptsname_r(*master, name, sizeof name) != 0 || !SetNonBlocking(*master))
        return false;
    // Held open for the pair's life: a pseudo-terminal whose driver end no
    // one holds reports a hang-up to the pump before the driver opens it.
    *driverSide = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw;
    if (*driverSide < 0 || tcgetattr(*driverSide, &raw) != 0)
        return false;
    cfmakeraw(&raw);
    *device = name;
    return tcsetattr(*driverSide, TCSANOW, &raw) == 0;
}

// Bytes on their way from one descriptor to the other.
struct Carry {
    char bytes[4096];
    size_t size = 0;
    size_t sent = 0;
    bool Empty() const { return sent == size; }
};

}  // namespace

struct TcpLine::State {
    int socket = -1;
    int master = -1;
    int driverSide = -1;
    int wake[2] = {-1, -1};
    std::string device;
    std::string where;  // HOST:PORT
    std::thread pump;
    mutable std::mutex mutex;
    std::string broken;

    void Break(const std::string &why) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            broken = why;
        }
        // The driver's end hangs up: its next read or write fails as on an
        // adapter unplugged, and the host opens the line again.
        CloseFd(&master);
        CloseFd(&socket);
    }

    // Moves `carry` on to `to`; false when `to` failed.
    static bool Deliver(int to, Carry &carry, bool toSocket) {
        const ssize_t n =
            toSocket ? send(to, carry.bytes + carry.sent, carry.size - carry.sent, MSG_NOSIGNAL)
                     : write(to, carry.bytes + carry.sent, carry.size - carry.sent);
        if (n > 0)
            carry.sent += static_cast<size_t>(n);
        return n >= 0 || errno == EAGAIN || errno == EINTR;
    }

    void Pump() {
        Carry fromNet, fromDriver;
        for (;;) {
            const short socketEvents = static_cast<short>((fromNet.Empty() ? POLLIN : 0) |
                                                          (fromDriver.Empty() ? 0 : POLLOUT));
            const short masterEvents = static_cast<short>((fromDriver.Empty() ? POLLIN : 0) |
                                                          (fromNet.Empty() ? 0 : POLLOUT));
            pollfd fds[3] = {
                {socket, socketEvents, 0}, {master, masterEvents, 0}, {wake[0], POLLIN, 0}};
            if (poll(fds, 3, -1) < 0) {
                if (errno == EINTR)
                    continue;
                Break(std::string("the connection to ") + where + " was lost: " + strerror(errno));
                return;
            }
            if (fds[2].revents != 0)
                return;
            if (fromNet.Empty() && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = recv(socket, fromNet.bytes, sizeof fromNet.bytes, 0);
                if (n == 0) {
                    Break("the device server or unit at " + where +
                          " closed the connection (it may serve another client, or it "
                          "restarted)");
                    return;
                }
                if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    Break("the connection to " + where + " broke: " + strerror(errno));
                    return;
                }
                fromNet.size = n > 0 ? static_cast<size_t>(n) : 0;
                fromNet.sent = 0;
            }
            if (fromDriver.Empty() && (fds[1].revents & POLLIN) != 0) {
                const ssize_t n = read(master, fromDriver.bytes, sizeof fromDriver.bytes);
                fromDriver.size = n > 0 ? static_cast<size_t>(n) : 0;
                fromDriver.sent = 0;
            }
            if (!fromNet.Empty() && !Deliver(master, fromNet, false)) {
                Break("the pseudo-terminal of " + where + " failed: " + strerror(errno));
                return;
            }
            if (!fromDriver.Empty() && !Deliver(socket, fromDriver, true)) {
                Break("the connection to " + where + " broke: " + strerror(errno));
                return;
            }
        }
    }
};

TcpLine::TcpLine() : state_(std::make_unique<State>()) {}

TcpLine::~TcpLine() {
    Close();
}

bool TcpLine::Open(const std::string &port, int connectMs, std::string *error) {
    Close();
    State &s = *state_;
    std::string host, service;
    if (!SplitTcpPort(port, &host, &service, error))
        return false;
    s.where = host + ":" + service;
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    const int found = getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
    if (found != 0) {
        *error = "the host " + host + " is not known (" + gai_strerror(found) +
                 "): check its name, or give its address";
        return false;
    }
    const long long deadline = NowMs() + connectMs;
    int failure = ETIMEDOUT;
    for (const addrinfo *address = addresses; address != nullptr && s.socket < 0;
         address = address->ai_next) {
        s.socket = ConnectOne(*address, deadline);
        // A refusal says more than a later address's time-out.
        if (s.socket < 0 && failure != ECONNREFUSED)
            failure = errno;
    }
    freeaddrinfo(addresses);
    if (s.socket < 0) {
        if (failure == ECONNREFUSED) {
            *error = "nothing listens at " + s.where +
                     " (the connection was refused): check the port number, and that the device "
                     "server is in raw TCP server mode on it or the controller's Ethernet unit "
                     "listens there";
        } else if (failure == ETIMEDOUT) {
            *error = "no answer to the connect to " + s.where + " within " +
                     std::to_string(connectMs) +
                     " ms: check the address, the network, and that the device server is on";
        } else {
            *error = "cannot connect to " + s.where + ": " + strerror(failure) +
                     ": check the address and the network";
        }
        return false;
    }
    if (!OpenPair(&s.master, &s.driverSide, &s.device) ||
        pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("cannot open a pseudo-terminal to carry ") + s.where + ": " +
                 strerror(errno);
        Close();
        return false;
    }
    s.pump = std::thread([&s] { s.Pump(); });
    return true;
}

std::string TcpLine::Device() const {
    return state_->device;
}

std::string TcpLine::Broken() const {
    std::lock_guard<std::mutex> hold(state_->mutex);
    return state_->broken;
}

void TcpLine::Close() {
    State &s = *state_;
    if (s.pump.joinable()) {
        const char wake = 0;
        if (write(s.wake[1], &wake, 1) < 0) {
            // The pipe is fresh and the pump reads nothing from it: never full.
        }
        s.pump.join();
    }
    for (int *fd : {&s.socket, &s.master, &s.driverSide, &s.wake[0], &s.wake[1]})
        CloseFd(fd);
    s.device.clear();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.broken.clear();
}
