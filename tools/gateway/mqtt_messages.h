// What the gateway says over MQTT, apart from the connection: the topics of
// tags and stations, the payloads, Home Assistant's discovery messages, and
// the commands it takes. Pure functions of the configuration and the table,
// so that the tests reach them without a broker.
#pragma once

#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "tools/gateway/config.h"
#include "tools/gateway/tag_table.h"

namespace gateway {

struct MqttMessage {
    std::string topic;
    std::string payload;
};

extern const char kOnline[];   // "online"
extern const char kOffline[];  // "offline"

// Every topic of one configuration:
//   <prefix>/status                        the gateway: online, offline (its last will)
//   <prefix>/<line>/<station>/status       a station: online while every tag of it is good
//   <prefix>/<line>/<station>/<tag>        a tag's value, retained
//   <prefix>/<line>/<station>/<tag>/set    a command: the value to write
//   <prefix>/<line>/<station>/<tag>/result the command's outcome
class MqttTopics {
  public:
    explicit MqttTopics(const Config &config);

    const std::string &Gateway() const { return gateway_; }
    // By the table's index of the station (TagTable::Stations()).
    const std::string &Station(size_t station) const { return stations_.at(station); }
    const std::string &Tag(size_t tag) const { return tags_.at(tag); }
    std::string Command(size_t tag) const { return tags_.at(tag) + "/set"; }
    std::string Result(size_t tag) const { return tags_.at(tag) + "/result"; }
    // The filter that takes every tag's command topic.
    std::string CommandFilter() const;
    // The tag whose command topic `topic` is; false for none.
    bool FindCommand(const std::string &topic, size_t &tag) const;
    // The table's index of each tag's station, and each station's tags.
    size_t StationOf(size_t tag) const { return stationOf_.at(tag); }
    const std::vector<size_t> &TagsOf(size_t station) const { return tagsOf_.at(station); }
    size_t StationCount() const { return stations_.size(); }

  private:
    std::string prefix_;
    std::string gateway_;
    std::vector<std::string> stations_;
    std::vector<std::string> tags_;
    std::vector<size_t> stationOf_;
    std::vector<std::vector<size_t>> tagsOf_;
    std::unordered_map<std::string, size_t> commands_;
};

// A tag's retained payload: the bare value, or with `json` {"value",
// "quality", "time"} (the time of its last good read; value and time null
// when it was never read).
std::string StatePayload(const Config &config, size_t tag, const TagValue &value);

// Whether a station's topic says online: it answers and every tag of it is good.
bool StationOnline(const StationStatus &station, const std::vector<TagValue> &tags);

// Home Assistant's discovery messages (retained JSON): one per tag (sensor,
// binary_sensor, number or switch), one binary sensor per station that shows
// whether it answers, and one for the gateway's own connection.
MqttMessage TagDiscovery(const Config &config, const MqttTopics &topics, size_t tag);
MqttMessage StationDiscovery(const Config &config, const MqttTopics &topics, size_t station);
MqttMessage GatewayDiscovery(const Config &config, const MqttTopics &topics);
// The component a tag is discovered as.
const char *ComponentOf(const TagConfig &tag);

// The words that a command's payload asks to write, in address order: a
// number (an integral float such as "12.0" for an integer tag, as Home
// Assistant may send it), or for a contact 1, 0, ON, OFF, true, false.
// false with a reason.
bool ParseCommand(const TagConfig &tag, const std::string &payload, std::vector<uint16_t> &words,
                  std::string *error);

}  // namespace gateway
