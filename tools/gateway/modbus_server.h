// The Modbus TCP front end: a thread that accepts clients, and a thread per
// client, so that a client that sends half a request, or waits for a write
// to be acknowledged, holds up no other. Requests are framed by their MBAP
// headers (modbus_requests.h), not by libmodbus's receive path.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tools/gateway/config.h"
#include "tools/gateway/engine.h"
#include "tools/gateway/modbus_requests.h"
#include "tools/gateway/tag_table.h"

namespace gateway {

class ModbusServer {
  public:
    ModbusServer(const Config &config, TagTable &table, Engine &engine);
    ~ModbusServer();
    ModbusServer(const ModbusServer &) = delete;
    ModbusServer &operator=(const ModbusServer &) = delete;

    // Listens on the configured address and port (0: one the system picks);
    // false with a reason.
    bool Start(std::string *error);
    // The port it listens on.
    int Port() const { return port_; }
    // Closes the listening socket and every client's, and waits for their threads.
    void Stop();

  private:
    void AcceptClients();
    void Serve(int socket, uint32_t address, std::string peer);
    // Carries out what a decided request asks of the controllers.
    void Carry(Decision &decision, int unit);

    const Config &config_;
    TagTable &table_;
    Engine &engine_;
    RegisterMap map_;
    int listenSocket_ = -1;
    int port_ = 0;
    int wakePipe_[2] = {-1, -1};
    std::thread acceptThread_;

    std::mutex mutex_;
    std::condition_variable clientsGone_;
    std::set<int> clients_;
    bool stopping_ = false;
    bool fullLogged_ = false;
};

}  // namespace gateway
