#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/fpsim/tcp_listener.h"

namespace fpsim {

int ListenOnLoopback(int port, int *bound, std::string *error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t size = sizeof address;
    const int on = 1;
    // A port left in TIME_WAIT by the last run is taken again at once.
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        const int why = errno;
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + strerror(why) +
                 (why == EADDRINUSE ? " (another program listens there: choose another port)" : "");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *bound = ntohs(address.sin_port);
    return fd;
}

void TakeConnection(int listener, int *master) {
    sockaddr_in peer = {};
    socklen_t size = sizeof peer;
    const int fd =
        accept4(listener, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    // A master that closed and connects again at once is not refused by its
    // own last connection: one whose end has come is let go first.
    pollfd served = {*master, POLLRDHUP, 0};
    if (*master >= 0 && poll(&served, 1, 0) == 1 &&
        (served.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        close(*master);
        *master = -1;
    }
    if (*master >= 0) {
        char from[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, from, sizeof from);
        fprintf(stderr,
                "fpsim: a second master connected from %s:%d and was closed: one master at a "
                "time\n",
                from, ntohs(peer.sin_port));
        close(fd);
        return;
    }
    // An answer goes out as the transmitter paces it, each piece at once.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *master = fd;
}

}  // namespace fpsim
