#include "tools/gateway/mqtt_messages.h"

#include <math.h>
#include <stdlib.h>

#include <algorithm>
#include <limits>

#include "qivma_version.h"
#include "tools/gateway/front_ends.h"

namespace gateway {

const char kOnline[] = "online";
const char kOffline[] = "offline";

namespace {

std::string StationTopicLevels(const LineConfig &line, const std::string &station) {
    return TopicName(line.name) + "/" + station;
}

std::string NodeId(const Config &config) {
    return TopicName(config.mqtt.clientId);
}

std::string StationId(const Config &config, const LineConfig &line, const std::string &station) {
    return NodeId(config) + "_" + TopicName(line.name) + "_" + station;
}

Json Availability(const std::string &topic) {
    return {{"topic", topic}, {"payload_available", kOnline}, {"payload_not_available", kOffline}};
}

Json GatewayDevice(const Config &config) {
    return {{"identifiers", Json::array({NodeId(config)})},
            {"name", config.mqtt.clientId},
            {"manufacturer", "qivma"},
            {"model", "qivma-gateway"},
            {"sw_version", QIVMA_VERSION_STRING}};
}

Json StationDevice(const Config &config, const LineConfig &line, const std::string &station,
                   int unit) {
    return {{"identifiers", Json::array({StationId(config, line, station)})},
            {"name", line.name + " station " + station},
            {"model",
             "FP controller, station " + station + " (Modbus unit " + std::to_string(unit) + ")"},
            {"via_device", NodeId(config)}};
}

MqttMessage Discovery(const Config &config, const char *component, const std::string &objectId,
                      Json &payload) {
    return {config.mqtt.discoveryPrefix + "/" + component + "/" + NodeId(config) + "/" + objectId +
                "/config",
            payload.dump()};
}

const StationConfig &StationConfigOf(const LineConfig &line, const std::string &station) {
    return *std::find_if(line.stations.begin(), line.stations.end(),
                         [&](const StationConfig &s) { return s.station == station; });
}

// The hints of the tag's name, or of the range it is an element of.
EntityHints HintsOf(const Config &config, const TagConfig &tag) {
    for (const auto &[name, hints] : config.mqtt.entities) {
        if (tag.name == name || tag.name.rfind(name + "[", 0) == 0)
            return hints;
    }
    return {};
}

struct Limits {
    double min, max, step;
};

Limits LimitsOf(ValueType type) {
    switch (type) {
        case ValueType::kInt16:
            return {-32768, 32767, 1};
        case ValueType::kUint16:
            return {0, 65535, 1};
        case ValueType::kInt32:
            return {-2147483648.0, 2147483647.0, 1};
        case ValueType::kUint32:
            return {0, 4294967295.0, 1};
        default:
            return {-std::numeric_limits<float>::max(), std::numeric_limits<float>::max(), 0.001};
    }
}

std::string Trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

MqttTopics::MqttTopics(const Config &config)
    : prefix_(config.mqtt.topicPrefix), gateway_(prefix_ + "/status") {
    for (const LineConfig &line : config.lines) {
        for (const StationConfig &station : line.stations)
            stations_.push_back(prefix_ + "/" + StationTopicLevels(line, station.station) +
                                "/status");
    }
    tagsOf_.resize(stations_.size());
    for (size_t i = 0; i < config.tags.size(); ++i) {
        const TagConfig &tag = config.tags[i];
        const LineConfig &line = config.lines[tag.line];
        tags_.push_back(prefix_ + "/" + StationTopicLevels(line, tag.station) + "/" +
                        TopicName(tag.name));
        commands_[Command(i)] = i;
        size_t station = 0;
        for (size_t l = 0; l < tag.line; ++l)
            station += config.lines[l].stations.size();
        station += static_cast<size_t>(&StationConfigOf(line, tag.station) - line.stations.data());
        stationOf_.push_back(station);
        tagsOf_[station].push_back(i);
    }
}

std::string MqttTopics::CommandFilter() const {
    return prefix_ + "/+/+/+/set";
}

bool MqttTopics::FindCommand(const std::string &topic, size_t &tag) const {
    const auto found = commands_.find(topic);
    if (found == commands_.end())
        return false;
    tag = found->second;
    return true;
}

std::string StatePayload(const Config &config, size_t tag, const TagValue &value) {
    const TagConfig &tagConfig = config.tags.at(tag);
    const bool read = value.lastGood != WallTime{};
    if (!config.mqtt.json)
        return ShowTag(tagConfig, value.words).text;
    Json payload;
    payload["value"] = read ? ShowTag(tagConfig, value.words).json : Json();
    payload["quality"] = QualityText(value.quality);
    payload["time"] = read ? Json(IsoTime(value.lastGood)) : Json();
    return payload.dump();
}

bool StationOnline(const StationStatus &station, const std::vector<TagValue> &tags) {
    return station.state == StationState::kAnswering &&
           std::all_of(tags.begin(), tags.end(),
                       [](const TagValue &tag) { return tag.quality == Quality::kGood; });
}

const char *ComponentOf(const TagConfig &tag) {
    if (tag.type == ValueType::kBit)
        return tag.writable ? "switch" : "binary_sensor";
    return tag.writable ? "number" : "sensor";
}

MqttMessage TagDiscovery(const Config &config, const MqttTopics &topics, size_t tag) {
    const TagConfig &tagConfig = config.tags.at(tag);
    const LineConfig &line = config.lines[tagConfig.line];
    const std::string component = ComponentOf(tagConfig);
    const std::string objectId =
        TopicName(line.name) + "_" + tagConfig.station + "_" + TopicName(tagConfig.name);
    const EntityHints hints = HintsOf(config, tagConfig);
    const bool bit = tagConfig.type == ValueType::kBit;

    Json payload;
    payload["name"] = tagConfig.name;
    payload["unique_id"] = NodeId(config) + "_" + objectId;
    payload["state_topic"] = topics.Tag(tag);
    if (config.mqtt.json)
        payload["value_template"] = "{{ value_json.value }}";
    if (tagConfig.writable)
        payload["command_topic"] = topics.Command(tag);
    payload["availability"] = Json::array(
        {Availability(topics.Gateway()), Availability(topics.Station(topics.StationOf(tag)))});
    payload["availability_mode"] = "all";
    if (bit) {
        payload["payload_on"] = "1";
        payload["payload_off"] = "0";
    } else {
        if (!hints.unit.empty())
            payload["unit_of_measurement"] = hints.unit;
        if (component == "sensor")
            payload["state_class"] = hints.stateClass.empty() ? "measurement" : hints.stateClass;
    }
    if (!hints.deviceClass.empty())
        payload["device_class"] = hints.deviceClass;
    if (component == "number") {
        const Limits limits = LimitsOf(tagConfig.type);
        payload["min"] = limits.min;
        payload["max"] = limits.max;
        payload["step"] = limits.step;
        payload["mode"] = "box";
    }
    if (tagConfig.writable)
        payload["retain"] = false;
    payload["qos"] = 1;
    payload["device"] = StationDevice(config, line, tagConfig.station,
                                      StationConfigOf(line, tagConfig.station).unit);
    return Discovery(config, component.c_str(), objectId, payload);
}

MqttMessage StationDiscovery(const Config &config, const MqttTopics &topics, size_t station) {
    size_t index = station;
    for (const LineConfig &line : config.lines) {
        if (index >= line.stations.size()) {
            index -= line.stations.size();
            continue;
        }
        const StationConfig &stationConfig = line.stations[index];
        const std::string objectId =
            TopicName(line.name) + "_" + stationConfig.station + "_answering";
        Json payload;
        payload["name"] = "answering";
        payload["unique_id"] = NodeId(config) + "_" + objectId;
        payload["state_topic"] = topics.Station(station);
        payload["payload_on"] = kOnline;
        payload["payload_off"] = kOffline;
        payload["device_class"] = "connectivity";
        payload["entity_category"] = "diagnostic";
        payload["availability"] = Json::array({Availability(topics.Gateway())});
        payload["device"] = StationDevice(config, line, stationConfig.station, stationConfig.unit);
        return Discovery(config, "binary_sensor", objectId, payload);
    }
    return {};
}

MqttMessage GatewayDiscovery(const Config &config, const MqttTopics &topics) {
    Json payload;
    payload["name"] = "connected";
    payload["unique_id"] = NodeId(config) + "_connected";
    payload["state_topic"] = topics.Gateway();
    payload["payload_on"] = kOnline;
    payload["payload_off"] = kOffline;
    payload["device_class"] = "connectivity";
    payload["entity_category"] = "diagnostic";
    payload["device"] = GatewayDevice(config);
    return Discovery(config, "binary_sensor", "connected", payload);
}

bool ParseCommand(const TagConfig &tag, const std::string &payload, std::vector<uint16_t> &words,
                  std::string *error) {
    std::string text = Trimmed(payload);
    if (tag.type == ValueType::kBit) {
        const std::string lower = Lower(text);
        if (lower == "on" || lower == "true")
            text = "1";
        else if (lower == "off" || lower == "false")
            text = "0";
    } else if (tag.type != ValueType::kFloat && text.find_first_of(".eE") != std::string::npos &&
               text.find_first_of("xX") == std::string::npos) {
        char *end = nullptr;
        const double number = strtod(text.c_str(), &end);
        if (!text.empty() && *end == '\0' && isfinite(number) && number == floor(number) &&
            fabs(number) < 1e15)
            text = std::to_string(static_cast<long long>(number));
    }
    return ParseValue(text, KindOf(tag), FormatOf(tag), WordOrder::kLowFirst, words, error);
}

}  // namespace gateway
