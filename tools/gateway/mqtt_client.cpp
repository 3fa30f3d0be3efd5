#include "tools/gateway/mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>

#include "tools/gateway/log.h"

namespace gateway {

namespace {

constexpr int kQos = 1;
// How long a stop waits for the broker to take the last "offline" messages.
constexpr auto kGoodbyeWait = std::chrono::milliseconds(500);

std::string MosquittoError(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(rc);
}

struct Library {
    Library() { mosquitto_lib_init(); }
};

}  // namespace

MqttClient::MqttClient(const Config &config, TagTable &table, Engine &engine)
    : config_(config), table_(table), engine_(engine), topics_(config) {
    for (size_t tag = 0; tag < config.tags.size(); ++tag)
        allTags_.push_back(tag);
}

MqttClient::~MqttClient() {
    Stop();
}

bool MqttClient::Start(std::string *error) {
    const MqttConfig &mqtt = config_.mqtt;
    if (!mqtt.enabled)
        return true;
    static Library library;
    broker_ = mqtt.host + ":" + std::to_string(mqtt.port);
    // A clean session that ends with the connection (MQTT 5's session expiry
    // is left at 0): nothing queued for the gateway while it was away is
    // carried out when it comes back.
    client_ = mosquitto_new(mqtt.clientId.c_str(), true, this);
    if (client_ == nullptr) {
        *error = "MQTT: no client: " + std::string(strerror(errno));
        return false;
    }
    if (mqtt.v5)
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(client_, &MqttClient::Connected);
    mosquitto_disconnect_callback_set(client_, &MqttClient::Disconnected);
    mosquitto_message_v5_callback_set(client_, &MqttClient::Received);
    mosquitto_publish_callback_set(client_, &MqttClient::Published);
    mosquitto_reconnect_delay_set(client_, static_cast<unsigned>(mqtt.reconnectMinS),
                                  static_cast<unsigned>(mqtt.reconnectMaxS), true);
    int rc = mosquitto_will_set(client_, topics_.Gateway().c_str(),
                                static_cast<int>(strlen(kOffline)), kOffline, kQos, true);
    if (rc == MOSQ_ERR_SUCCESS && !mqtt.username.empty())
        rc = mosquitto_username_pw_set(client_, mqtt.username.c_str(),
                                       mqtt.password.empty() ? nullptr : mqtt.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !mqtt.caFile.empty())
        rc = mosquitto_tls_set(client_, mqtt.caFile.c_str(), nullptr,
                               mqtt.certFile.empty() ? nullptr : mqtt.certFile.c_str(),
                               mqtt.keyFile.empty() ? nullptr : mqtt.keyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = "MQTT: " + MosquittoError(rc);
        return false;
    }
    stationShown_.assign(topics_.StationCount(), -1);
    qualityShown_.assign(config_.tags.size(), Quality::kNeverRead);
    running_ = true;
    table_.Listen([this](const std::vector<size_t> &tags) { OnChanged(tags); });
    for (size_t line = 0; line < config_.lines.size(); ++line) {
        writers_.push_back(std::make_unique<Writer>());
        writers_.back()->thread = std::thread(&MqttClient::Write, this, line);
    }
    ticker_ = std::thread(&MqttClient::Tick, this);

    // The loop first: a broker that is not there yet is then tried again by
    // the loop, as after a lost connection.
    rc = mosquitto_loop_start(client_);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(client_, mqtt.host.c_str(), mqtt.port, mqtt.keepaliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = "MQTT: " + MosquittoError(rc);
        Stop();
        return false;
    }
    Log("MQTT: broker " + broker_ + (mqtt.v5 ? " over MQTT 5" : " over MQTT 3.1.1") +
        (mqtt.caFile.empty() ? "" : " (TLS)") + ", topics under " + mqtt.topicPrefix + "/" +
        (mqtt.discovery ? ", discovery under " + mqtt.discoveryPrefix + "/" : ""));
    return true;
}

void MqttClient::Stop() {
    if (client_ == nullptr)
        return;
    {
        std::lock_guard<std::mutex> hold(workMutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (auto &writer : writers_) {
        if (writer->thread.joinable())
            writer->thread.join();
    }
    if (ticker_.joinable())
        ticker_.join();
    running_ = false;
    {
        // The stations first, the gateway last: a subscriber that sees the
        // gateway offline has seen its stations so too.
        std::unique_lock<std::mutex> hold(mutex_);
        if (connected_) {
            for (size_t station = 0; station < topics_.StationCount(); ++station)
                Publish(topics_.Station(station), kOffline, true);
            int mid = 0;
            if (Publish(topics_.Gateway(), kOffline, true, &mid)) {
                goodbyeMid_ = mid;
                published_.wait_for(hold, kGoodbyeWait, [&] { return goodbyeTaken_; });
            }
        }
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
    client_ = nullptr;
}

void MqttClient::Connected(mosquitto *, void *self, int rc) {
    static_cast<MqttClient *>(self)->OnConnected(rc);
}

void MqttClient::Disconnected(mosquitto *, void *self, int rc) {
    MqttClient &client = *static_cast<MqttClient *>(self);
    std::lock_guard<std::mutex> hold(client.mutex_);
    if (client.connected_ && client.running_) {
        Log("MQTT: lost the broker at " + client.broker_ + " (" + MosquittoError(rc) +
            "); scanning goes on, the broker is tried again with a back-off");
    }
    client.connected_ = false;
}

void MqttClient::Received(mosquitto *, void *self, const mosquitto_message *message,
                          const mosquitto_property *properties) {
    const std::string payload(static_cast<const char *>(message->payload),
                              static_cast<size_t>(message->payloadlen));
    // The broker counts the expiry down while it holds the message and hands
    // on what is left; from here on the gateway counts.
    uint32_t expiry = 0;
    const bool expires =
        mosquitto_property_read_int32(properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry,
                                      false) != nullptr;
    static_cast<MqttClient *>(self)->OnMessage(message->topic, payload, message->retain,
                                               expires ? static_cast<long>(expiry) : -1);
}

void MqttClient::Published(mosquitto *, void *self, int mid) {
    MqttClient &client = *static_cast<MqttClient *>(self);
    std::lock_guard<std::mutex> hold(client.mutex_);
    if (mid == client.goodbyeMid_) {
        client.goodbyeTaken_ = true;
        client.published_.notify_all();
    }
}

void MqttClient::OnConnected(int rc) {
    if (rc != 0) {
        std::lock_guard<std::mutex> hold(mutex_);
        const bool version =
            rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION;
        if (!refusedLogged_)
            Log("MQTT: the broker at " + broker_ + " refused the connection: " +
                (config_.mqtt.v5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc)) +
                (version && config_.mqtt.v5 ? " (a broker without MQTT 5 takes protocol: 3.1.1)"
                                            : ""));
        refusedLogged_ = true;
        return;
    }
    if (config_.mqtt.v5) {
        // A broker clears the retain flag of what it forwards to a subscription
        // that is there already, unless asked to keep it: only so is a retained
        // command told from a live one whenever it comes.
        mosquitto_subscribe_v5(client_, nullptr, topics_.CommandFilter().c_str(), kQos,
                               MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    } else {
        mosquitto_subscribe(client_, nullptr, topics_.CommandFilter().c_str(), kQos);
    }
    if (config_.mqtt.discovery)
        mosquitto_subscribe(client_, nullptr, (config_.mqtt.discoveryPrefix + "/status").c_str(),
                            kQos);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        connected_ = true;
        refusedLogged_ = false;
    }
    Log("MQTT: connected to " + broker_ + "; publishing every tag");
    PublishAll(config_.mqtt.discovery);
}

void MqttClient::OnMessage(const std::string &topic, const std::string &payload, bool retained,
                           long expiryS) {
    if (config_.mqtt.discovery && topic == config_.mqtt.discoveryPrefix + "/status") {
        // Home Assistant has started and forgotten what it was told.
        if (payload == "online")
            PublishAll(true);
        return;
    }
    size_t tag = 0;
    if (!topics_.FindCommand(topic, tag)) {
        const size_t end = topic.size() - 4;  // without "/set"
        Publish(topic.substr(0, end) + "/result", "refused: no tag has this topic", false);
        return;
    }
    const TagConfig &tagConfig = config_.tags[tag];
    // A retained command would be carried out again on every connection.
    if (retained) {
        Publish(topics_.Result(tag), "refused: a retained command is not carried out", false);
        return;
    }
    if (!tagConfig.writable) {
        Publish(topics_.Result(tag), "refused: the tag is not writable", false);
        return;
    }
    const Clock::time_point now = Clock::now();
    Command arrived{tag, payload, now + std::chrono::seconds(config_.mqtt.commandMaxAgeS), false};
    if (expiryS >= 0 && now + std::chrono::seconds(expiryS) < arrived.deadline) {
        arrived.deadline = now + std::chrono::seconds(expiryS);
        arrived.ownExpiry = true;
    }
    {
        std::lock_guard<std::mutex> hold(workMutex_);
        std::deque<Command> &commands = writers_[tagConfig.line]->commands;
        // Writes that pile up: only the latest value of a tag goes out.
        bool queued = false;
        for (Command &command : commands) {
            if (command.tag == tag) {
                command = arrived;
                queued = true;
            }
        }
        if (!queued)
            commands.push_back(arrived);
    }
    work_.notify_all();
}

void MqttClient::Write(size_t line) {
    Writer &writer = *writers_[line];
    for (;;) {
        Command command;
        {
            std::unique_lock<std::mutex> hold(workMutex_);
            work_.wait(hold, [&] { return stopping_ || !writer.commands.empty(); });
            if (stopping_)
                return;
            command = writer.commands.front();
            writer.commands.pop_front();
        }
        std::vector<uint16_t> words;
        std::string error;
        std::string outcome;
        // Checked as the line is about to take it; the line's thread writes it
        // after the read in progress, if any.
        if (Clock::now() >= command.deadline) {
            outcome = command.ownExpiry
                          ? "refused: its message expiry ran out before the line could write it"
                          : "refused: it waited longer than command_max_age_s (" +
                                std::to_string(config_.mqtt.commandMaxAgeS) + " s) for the line";
        } else if (!ParseCommand(config_.tags[command.tag], command.payload, words, &error)) {
            outcome = "invalid: " + error;
        } else {
            // Answered once the controller acknowledged the write, or did not.
            outcome = WriteResultText(engine_.Write({{command.tag, words}}).get());
        }
        Publish(topics_.Result(command.tag), outcome, false);
    }
}

void MqttClient::OnChanged(const std::vector<size_t> &tags) {
    if (!running_)
        return;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!connected_)
        return;
    PublishTags(tags, config_.mqtt.json);
    PublishStations(false);
}

void MqttClient::PublishAll(bool discovery) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!connected_)
        return;
    Publish(topics_.Gateway(), kOnline, true);
    if (discovery) {
        std::vector<MqttMessage> messages = {GatewayDiscovery(config_, topics_)};
        for (size_t station = 0; station < topics_.StationCount(); ++station)
            messages.push_back(StationDiscovery(config_, topics_, station));
        for (size_t tag : allTags_)
            messages.push_back(TagDiscovery(config_, topics_, tag));
        for (const MqttMessage &message : messages)
            Publish(message.topic, message.payload, true);
    }
    PublishTags(allTags_, config_.mqtt.json);
    PublishStations(true);
}

void MqttClient::PublishTags(const std::vector<size_t> &tags, bool evenBad) {
    const std::vector<TagValue> values = table_.GetMany(tags);
    for (size_t i = 0; i < tags.size(); ++i) {
        // A bad value says nothing new: the station's topic says offline.
        if (values[i].quality == Quality::kGood || evenBad) {
            Publish(topics_.Tag(tags[i]), StatePayload(config_, tags[i], values[i]), true);
            qualityShown_[tags[i]] = values[i].quality;
        }
    }
}

// With JSON payloads, the tags whose quality changed without a change of the
// table's own: those that went stale.
std::vector<size_t> MqttClient::QualityChanged() const {
    std::vector<size_t> changed;
    const std::vector<TagValue> values = table_.GetMany(allTags_);
    for (size_t tag = 0; tag < values.size(); ++tag) {
        if (values[tag].quality != qualityShown_[tag])
            changed.push_back(tag);
    }
    return changed;
}

void MqttClient::PublishStations(bool all) {
    const std::vector<StationStatus> stations = table_.Stations();
    for (size_t station = 0; station < stations.size(); ++station) {
        const int online =
            StationOnline(stations[station], table_.GetMany(topics_.TagsOf(station))) ? 1 : 0;
        if (all || online != stationShown_[station]) {
            stationShown_[station] = online;
            Publish(topics_.Station(station), online ? kOnline : kOffline, true);
        }
    }
}

bool MqttClient::Publish(const std::string &topic, const std::string &payload, bool retain,
                         int *mid) {
    return mosquitto_publish(client_, mid, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), kQos, retain) == MOSQ_ERR_SUCCESS;
}

// Once a second: the tags and stations that went stale (their line fell
// behind, and no change came to say so), and the periodic publication if
// configured.
void MqttClient::Tick() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::seconds(config_.mqtt.republishS);
    Clock::time_point republishAt = Clock::now() + period;
    std::unique_lock<std::mutex> hold(workMutex_);
    while (!work_.wait_for(hold, std::chrono::seconds(1), [&] { return stopping_; })) {
        hold.unlock();
        const bool republish = period.count() > 0 && Clock::now() >= republishAt;
        if (republish)
            republishAt = Clock::now() + period;
        {
            std::lock_guard<std::mutex> publishing(mutex_);
            if (connected_) {
                if (republish)
                    PublishTags(allTags_, config_.mqtt.json);
                else if (config_.mqtt.json)
                    PublishTags(QualityChanged(), true);
                PublishStations(false);
            }
        }
        hold.lock();
    }
}

}  // namespace gateway
