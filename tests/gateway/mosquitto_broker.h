// What the MQTT tests and the MQTT benchmark need to run the mosquitto broker
// on a loopback port of their own.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace gatewaytest {

// A loopback port that nothing listens on now: the broker cannot be asked to
// pick one and say which.
inline int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Writes the broker's configuration: `port` on 127.0.0.1, anyone may
// connect, nothing kept across a restart, its log on stderr.
inline void WriteBrokerConfig(const std::string &path, int port) {
    std::ofstream(path) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                        << "persistence false\nlog_dest stderr\n";
}

}  // namespace gatewaytest
