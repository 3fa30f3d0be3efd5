#include "tools/gateway/status_http.h"

#include <httplib.h>

#include "tools/gateway/log.h"

namespace gateway {

StatusHttp::StatusHttp(const Config &config, const TagTable &table)
    : config_(config), table_(table), rates_(config) {}

StatusHttp::~StatusHttp() {
    Stop();
}

bool StatusHttp::Start(std::string *error) {
    const HttpConfig &http = config_.http;
    if (!http.enabled)
        return true;
    started_ = std::chrono::steady_clock::now();
    server_ = std::make_unique<httplib::Server>();
    const std::string page = StatusPage(http.refreshMs);
    server_->Get("/", [page](const httplib::Request &, httplib::Response &response) {
        response.set_content(page, "text/html; charset=utf-8");
    });
    server_->Get("/status.json", [this](const httplib::Request &, httplib::Response &response) {
        std::vector<LineRates::Rate> rates;
        {
            std::lock_guard<std::mutex> hold(ratesMutex_);
            rates = rates_.Update(table_.Lines(), std::chrono::steady_clock::now());
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(StatusJson(config_, table_, rates, started_).dump(),
                             "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
        response.set_content(MetricsText(config_, table_),
                             "text/plain; version=0.0.4; charset=utf-8");
    });
    // The rates count from the start, until a request has samples of its own.
    rates_.Update(table_.Lines(), started_);
    port_ = http.port == 0 ? server_->bind_to_any_port(http.listen)
                           : (server_->bind_to_port(http.listen, http.port) ? http.port : -1);
    if (port_ < 0) {
        *error = "the status page cannot listen on " + http.listen + ":" +
                 std::to_string(http.port) + ": " + strerror(errno);
        server_.reset();
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop before the server runs would not reach it: it runs at once.
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Log("status page on http://" + http.listen + ":" + std::to_string(port_) + "/" +
        (http.listen == "127.0.0.1" ? ""
                                    : " (no authentication: every client that reaches this "
                                      "address sees the plant's values and the lines' state)"));
    return true;
}

void StatusHttp::Stop() {
    if (!server_)
        return;
    server_->stop();
    if (thread_.joinable())
        thread_.join();
    server_.reset();
}

}  // namespace gateway
