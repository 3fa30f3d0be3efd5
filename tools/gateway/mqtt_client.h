// The MQTT front end on libmosquitto: every tag published on change, retained,
// at QoS 1; the availability of the gateway (with a last will) and of each
// station; Home Assistant's discovery; and writes from command topics,
// carried out by the lines' threads, with their outcome published once the
// controller answered. libmosquitto's own thread keeps the connection and
// reconnects with a back-off; on every connection the whole state is
// published again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/gateway/config.h"
#include "tools/gateway/engine.h"
#include "tools/gateway/mqtt_messages.h"
#include "tools/gateway/tag_table.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace gateway {

class MqttClient {
  public:
    MqttClient(const Config &config, TagTable &table, Engine &engine);
    ~MqttClient();
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // Starts connecting (a broker that is not there yet is tried again);
    // false with a reason only for what no retry mends. Does nothing without
    // an `mqtt:` section. Before the engine starts, so that no change is missed.
    bool Start(std::string *error);
    // Says offline for the gateway and its stations, and disconnects. Before
    // the engine stops: the tags' last changes then go nowhere.
    void Stop();

  private:
    using Clock = std::chrono::steady_clock;
    struct Command {
        size_t tag;
        std::string payload;
        // Past this it is refused, not written: the end of its message
        // expiry (`ownExpiry`) or of command_max_age_s, whichever comes first.
        Clock::time_point deadline;
        bool ownExpiry = false;
    };
    struct Writer {
        std::deque<Command> commands;
        std::thread thread;
    };

    static void Connected(mosquitto *, void *self, int rc);
    static void Disconnected(mosquitto *, void *self, int rc);
    static void Received(mosquitto *, void *self, const mosquitto_message *message,
                         const mqtt5__property *properties);
    static void Published(mosquitto *, void *self, int mid);

    void OnConnected(int rc);
    // `expiryS`: what the broker says is left of the message's expiry, or -1 for none.
    void OnMessage(const std::string &topic, const std::string &payload, bool retained,
                   long expiryS);
    void OnChanged(const std::vector<size_t> &tags);
    // The whole state: the gateway online, discovery, the stations, every tag.
    void PublishAll(bool discovery);
    // Under mutex_: the tags' values, and the stations' availability where it changed.
    void PublishTags(const std::vector<size_t> &tags, bool evenBad);
    void PublishStations(bool all);
    std::vector<size_t> QualityChanged() const;
    bool Publish(const std::string &topic, const std::string &payload, bool retain,
                 int *mid = nullptr);
    void Tick();
    void Write(size_t line);

    const Config &config_;
    TagTable &table_;
    Engine &engine_;
    MqttTopics topics_;
    std::vector<size_t> allTags_;
    mosquitto *client_ = nullptr;
    std::string broker_;  // host:port, for the log

    // Held while the table is read and what was read is published, so that a
    // later value never goes out before an earlier one.
    std::mutex mutex_;
    bool connected_ = false;
    bool refusedLogged_ = false;
    std::vector<int> stationShown_;      // per station: -1 not yet, 0 offline, 1 online
    std::vector<Quality> qualityShown_;  // per tag: the quality last published
    // The gateway's last "offline", which a stop waits for the broker to take.
    int goodbyeMid_ = -1;
    bool goodbyeTaken_ = false;
    std::condition_variable published_;

    std::atomic<bool> running_{false};
    std::mutex workMutex_;
    std::condition_variable work_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Writer>> writers_;  // one per line
    std::thread ticker_;
};

}  // namespace gateway
