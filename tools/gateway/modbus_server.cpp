#include "tools/gateway/modbus_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "tools/gateway/log.h"

// libmodbus's server side is not used. Its receive path frames a request by
// what its function code implies rather than by the MBAP header's length:
// after a function it does not know that carries data, or a request with a
// byte more or less than it expects, it reads the rest as the next header and
// the connection falls out of step. The framing is ours (ReadRequest in
// modbus_requests.cpp), and so are the answers (Answer there): each is the
// request's header and a few bytes, and libmodbus's modbus_reply serves only
// eight of the functions answered here, each from a mapping that would have
// to be filled per request with values already decided. libmodbus remains
// the benchmark's client.

namespace gateway {

namespace {

constexpr int kClientNiceness = 10;
// How long a new client may wait for a place among max_clients.
constexpr std::chrono::milliseconds kWaitForAPlace{200};
// How long the rest of a request that has begun may take to come.
constexpr int kRestOfRequestMs = 10000;

std::string PeerText(const sockaddr_in &peer) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

// Fills `buffer` from the socket; false when the client went, or stopped for
// kRestOfRequestMs in the middle of a request (`begun`: bytes of it came).
bool ReceiveExactly(int socket, uint8_t *buffer, size_t size, bool begun) {
    size_t got = 0;
    while (got < size) {
        if (begun || got > 0) {
            pollfd ready = {socket, POLLIN, 0};
            const int polled = poll(&ready, 1, kRestOfRequestMs);
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled <= 0)
                return false;
        }
        const ssize_t n = recv(socket, buffer + got, size - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(int socket, const std::vector<uint8_t> &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

WriteResult Wait(std::future<WriteResult> result) {
    try {
        return result.get();
    } catch (const std::future_error &) {
        return WriteResult::kStopping;  // the line ended before it took the write
    }
}

}  // namespace

ModbusServer::ModbusServer(const Config &config, TagTable &table, Engine &engine)
    : config_(config), table_(table), engine_(engine), map_(config) {}

ModbusServer::~ModbusServer() {
    Stop();
}

bool ModbusServer::Start(std::string *error) {
    const std::string where = config_.modbus.listen + ":" + std::to_string(config_.modbus.port);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(config_.modbus.port));
    if (inet_pton(AF_INET, config_.modbus.listen.c_str(), &address.sin_addr) != 1) {
        *error = "Modbus TCP: " + config_.modbus.listen + " is no IPv4 address";
        return false;
    }
    listenSocket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    // The backlog is the kernel's queue of connections not yet accepted, not
    // the count of clients (that is kept at accept): a short one drops the
    // connection attempts of a good client behind a burst of others, which
    // then wait a second for their retransmission and time out.
    if (listenSocket_ < 0 ||
        setsockopt(listenSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listenSocket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listenSocket_, SOMAXCONN) != 0) {
        *error = "cannot listen on " + where + ": " + strerror(errno) +
                 (config_.modbus.port < 1024 && geteuid() != 0
                      ? " (a port below 1024 needs root or CAP_NET_BIND_SERVICE)"
                      : "");
        if (listenSocket_ >= 0)
            close(listenSocket_);
        listenSocket_ = -1;
        return false;
    }
    sockaddr_in bound = {};
    socklen_t length = sizeof bound;
    getsockname(listenSocket_, reinterpret_cast<sockaddr *>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    acceptThread_ = std::thread(&ModbusServer::AcceptClients, this);
    return true;
}

void ModbusServer::Stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stopping_ || listenSocket_ < 0)
            return;
        stopping_ = true;
        // Each client's thread wakes from its receive and ends.
        for (int socket : clients_)
            shutdown(socket, SHUT_RDWR);
    }
    clientsGone_.notify_all();  // an accept waiting for a place ends
    const char wake = 0;
    if (write(wakePipe_[1], &wake, 1) < 0) {
        // The accepting thread then finds the listening socket shut down.
        shutdown(listenSocket_, SHUT_RDWR);
    }
    if (acceptThread_.joinable())
        acceptThread_.join();
    std::unique_lock<std::mutex> hold(mutex_);
    clientsGone_.wait(hold, [&] { return clients_.empty(); });
    close(listenSocket_);
    close(wakePipe_[0]);
    close(wakePipe_[1]);
}

void ModbusServer::AcceptClients() {
    for (;;) {
        pollfd ready[2] = {{listenSocket_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(ready, 2, -1) < 0 && errno != EINTR)
            break;
        if (ready[1].revents != 0)
            break;
        if (ready[0].revents == 0)
            continue;
        sockaddr_in peer = {};
        socklen_t length = sizeof peer;
        const int socket =
            accept4(listenSocket_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (socket < 0)
            continue;
        if (!ClientAllowed(config_.modbus, ntohl(peer.sin_addr.s_addr))) {
            Log("Modbus client " + PeerText(peer) + " refused: not in the networks allowed");
            close(socket);
            continue;
        }
        std::unique_lock<std::mutex> hold(mutex_);
        // A client that has gone keeps its place until its thread has seen
        // it go: after a burst of short connections the places are full of
        // clients that are no more. Their places are waited for, briefly,
        // before a new client is refused.
        clientsGone_.wait_for(hold, kWaitForAPlace, [&] {
            return stopping_ || static_cast<int>(clients_.size()) < config_.modbus.maxClients;
        });
        if (stopping_) {
            close(socket);
            break;
        }
        if (static_cast<int>(clients_.size()) >= config_.modbus.maxClients) {
            if (!fullLogged_) {
                Log("Modbus client " + PeerText(peer) +
                    " refused: " + std::to_string(clients_.size()) +
                    " clients are connected, as many as max_clients allows");
            }
            fullLogged_ = true;
            close(socket);
            continue;
        }
        fullLogged_ = false;
        clients_.insert(socket);
        std::thread(&ModbusServer::Serve, this, socket, ntohl(peer.sin_addr.s_addr), PeerText(peer))
            .detach();
    }
}

void ModbusServer::Serve(int socket, uint32_t address, std::string peer) {
    // A line's answers have deadlines of milliseconds; a client waits for
    // its reply in comfort. On a busy machine the lines' threads come first.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kClientNiceness);
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const bool mayWrite = ClientMayWrite(config_.modbus, address);
    bool writeRefusedLogged = false;
    // A header comes when the client likes; the rest of a request soon after
    // its first byte.
    bool header = true;
    const auto receive = [&](uint8_t *buffer, size_t size) {
        const bool got = ReceiveExactly(socket, buffer, size, !header);
        header = false;
        return got;
    };
    Request request;
    std::string why;
    for (;;) {
        header = true;
        const Framed framed = ReadRequest(receive, request, &why);
        if (framed == Framed::kRefused)
            Log("Modbus client " + peer + ": " + why +
                ": no Modbus TCP request, connection closed");
        if (framed != Framed::kRequest)
            break;
        const int unit = request.header.unit;
        Decision decision =
            Decide(config_, map_, table_, unit, request.pdu.data(), request.pdu.size(), mayWrite);
        if (!mayWrite && WritesTags(decision.function) && decision.exception == kIllegalFunction &&
            !writeRefusedLogged) {
            Log("Modbus client " + peer +
                " may not write (not in write_allow): its writes are refused with exception 1");
            writeRefusedLogged = true;
        }
        Carry(decision, unit);
        if (!SendAll(socket, Answer(request, decision)))
            break;
    }
    close(socket);
    std::lock_guard<std::mutex> hold(mutex_);
    clients_.erase(socket);
    clientsGone_.notify_all();
}

void ModbusServer::Carry(Decision &decision, int unit) {
    if (decision.exception != 0)
        return;
    WriteResult result = WriteResult::kDone;
    if (decision.function == kMaskWriteRegister) {
        const uint16_t andMask = decision.andMask, orMask = decision.orMask;
        result = Wait(engine_.Modify(decision.writes.front().tag,
                                     [andMask, orMask](std::vector<uint16_t> words) {
                                         for (uint16_t &word : words)
                                             word = MaskedWord(word, andMask, orMask);
                                         return words;
                                     }));
    } else if (!decision.writes.empty()) {
        result = Wait(engine_.Write(std::move(decision.writes)));
    }
    decision.exception = ExceptionFor(result);
    if (decision.exception == 0 && decision.function == kReadWriteRegisters)
        decision = ReadAfterWrite(map_, table_, unit, std::move(decision));
}

}  // namespace gateway
