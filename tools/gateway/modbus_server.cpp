#include "tools/gateway/modbus_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <chrono>
#include <memory>

#include "tools/gateway/log.h"

namespace gateway {

namespace {

constexpr int kClientNiceness = 10;
// How long a new client may wait for a place among max_clients.
constexpr std::chrono::milliseconds kWaitForAPlace{200};

struct MappingFree {
    void operator()(modbus_mapping_t *mapping) const { modbus_mapping_free(mapping); }
};
using Mapping = std::unique_ptr<modbus_mapping_t, MappingFree>;

struct ContextFree {
    void operator()(modbus_t *context) const { modbus_free(context); }
};
using Context = std::unique_ptr<modbus_t, ContextFree>;

// A mapping that holds just the request's registers or coils, filled with
// `values`: modbus_reply answers from it.
Mapping MappingFor(const Decision &decision) {
    const int start = decision.address, count = decision.count;
    modbus_mapping_t *mapping = nullptr;
    switch (decision.function) {
        case 1:
        case 5:
        case 15:
            mapping = modbus_mapping_new_start_address(start, count, 0, 0, 0, 0, 0, 0);
            break;
        case 2:
            mapping = modbus_mapping_new_start_address(0, 0, start, count, 0, 0, 0, 0);
            break;
        case 4:
            mapping = modbus_mapping_new_start_address(0, 0, 0, 0, 0, 0, start, count);
            break;
        default:
            mapping = modbus_mapping_new_start_address(0, 0, 0, 0, start, count, 0, 0);
            break;
    }
    if (mapping == nullptr)
        return nullptr;
    for (size_t i = 0; i < decision.values.size(); ++i) {
        const uint16_t value = decision.values[i];
        switch (decision.function) {
            case 1:
                mapping->tab_bits[i] = value != 0;
                break;
            case 2:
                mapping->tab_input_bits[i] = value != 0;
                break;
            case 3:
                mapping->tab_registers[i] = value;
                break;
            case 4:
                mapping->tab_input_registers[i] = value;
                break;
        }
    }
    return Mapping(mapping);
}

std::string PeerText(const sockaddr_in &peer) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

}  // namespace

ModbusServer::ModbusServer(const Config &config, TagTable &table, Engine &engine)
    : config_(config), table_(table), engine_(engine), map_(config) {}

ModbusServer::~ModbusServer() {
    Stop();
}

bool ModbusServer::Start(std::string *error) {
    Context listener(modbus_new_tcp(config_.modbus.listen.c_str(), config_.modbus.port));
    if (!listener) {
        *error = std::string("Modbus TCP: ") + modbus_strerror(errno);
        return false;
    }
    // The backlog is the kernel's queue of connections not yet accepted, not
    // the count of clients (that is kept at accept): a short one drops the
    // connection attempts of a good client behind a burst of others, which
    // then wait a second for their retransmission and time out.
    listenSocket_ = modbus_tcp_listen(listener.get(), SOMAXCONN);
    if (listenSocket_ < 0) {
        *error = "cannot listen on " + config_.modbus.listen + ":" +
                 std::to_string(config_.modbus.port) + ": " + modbus_strerror(errno) +
                 (config_.modbus.port < 1024 && geteuid() != 0
                      ? " (a port below 1024 needs root or CAP_NET_BIND_SERVICE)"
                      : "");
        return false;
    }
    fcntl(listenSocket_, F_SETFD, FD_CLOEXEC);
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
        std::thread(&ModbusServer::Serve, this, socket).detach();
    }
}

void ModbusServer::Serve(int socket) {
    // A line's answers have deadlines of milliseconds; a client waits for
    // its reply in comfort. On a busy machine the lines' threads come first.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kClientNiceness);
    Context context(modbus_new_tcp(config_.modbus.listen.c_str(), config_.modbus.port));
    if (context) {
        modbus_set_socket(context.get(), socket);
        const int header = modbus_get_header_length(context.get());
        uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int length = modbus_receive(context.get(), request);
            if (length < 0)
                break;  // the client went, or sent what is no request
            if (length <= header)
                continue;
            const int unit = request[header - 1];
            Decision decision = Decide(config_, map_, table_, unit, request + header,
                                       static_cast<size_t>(length - header));
            if (decision.exception == 0 && !decision.writes.empty()) {
                WriteResult result = WriteResult::kStopping;
                try {
                    result = engine_.Write(std::move(decision.writes)).get();
                } catch (const std::future_error &) {
                    // The line ended before it took the write.
                }
                decision.exception = ExceptionFor(result);
            }
            int sent = -1;
            if (decision.exception != 0) {
                sent = modbus_reply_exception(context.get(), request, decision.exception);
            } else {
                Mapping mapping = MappingFor(decision);
                sent = mapping
                           ? modbus_reply(context.get(), request, length, mapping.get())
                           : modbus_reply_exception(context.get(), request, kServerDeviceFailure);
            }
            if (sent < 0)
                break;
        }
    }
    close(socket);
    std::lock_guard<std::mutex> hold(mutex_);
    clients_.erase(socket);
    clientsGone_.notify_all();
}

}  // namespace gateway
