// The status page, /status.json and /metrics on cpp-httplib, on a listen
// address of their own (127.0.0.1 unless the configuration says otherwise).
// They only read the table: nothing here changes the plant.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/gateway/config.h"
#include "tools/gateway/status_report.h"
#include "tools/gateway/tag_table.h"

namespace httplib {
class Server;
}

namespace gateway {

class StatusHttp {
  public:
    StatusHttp(const Config &config, const TagTable &table);
    ~StatusHttp();
    StatusHttp(const StatusHttp &) = delete;
    StatusHttp &operator=(const StatusHttp &) = delete;

    // Listens and serves on a thread of its own; false with a reason. Does
    // nothing without an `http:` section.
    bool Start(std::string *error);
    // The port it listens on (the system's pick for port 0).
    int Port() const { return port_; }
    void Stop();

  private:
    const Config &config_;
    const TagTable &table_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    SteadyTime started_;
    std::mutex ratesMutex_;
    LineRates rates_;
};

}  // namespace gateway
