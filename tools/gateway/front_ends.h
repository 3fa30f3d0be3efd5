// What the MQTT client and the status page share: their sections of the
// configuration file, and how a tag's value and time are shown. Apart from
// config.h, which holds these sections, so that it includes nothing of them.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tools/hostkit/value_format.h"

namespace YAML {
class Node;
}

namespace gateway {

class ConfigCheck;
struct Config;
struct TagConfig;

// What Home Assistant shows with the tags of one name (a range's every element).
struct EntityHints {
    std::string unit;         // unit_of_measurement
    std::string deviceClass;  // device_class
    std::string stateClass;   // state_class; numeric sensors default to "measurement"
};

struct MqttConfig {
    bool enabled = false;  // the section is there
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId = "qivma-gateway";
    std::string username;
    std::string password;
    // Where the password is read from at start, so that the configuration
    // need not hold it: a path, or a name alone for the credential of that
    // name that systemd hands the service ($CREDENTIALS_DIRECTORY).
    std::string passwordFile;
    // TLS when a CA file is given; a client certificate when both of the others are.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    // MQTT 5, whose subscriptions keep a message's retain flag and whose
    // messages carry their expiry; false: 3.1.1, for brokers that lack 5.
    bool v5 = true;
    // A command not yet written this long after it came is refused: the line
    // was busy or failing, and what was asked may no longer be wanted.
    int commandMaxAgeS = 10;
    int keepaliveS = 30;
    int reconnectMinS = 1;  // the first wait before the broker is tried again; grows
    int reconnectMaxS = 60;
    std::string topicPrefix = "qivma";
    bool json = false;   // payloads {"value", "quality", "time"} instead of the bare value
    int republishS = 0;  // every tag again this often, besides on change; 0: only on change
    bool discovery = true;
    std::string discoveryPrefix = "homeassistant";
    std::map<std::string, EntityHints> entities;  // by the tag's name as configured
};

struct HttpConfig {
    bool enabled = false;  // the section is there
    std::string listen = "127.0.0.1";
    int port = 8080;       // 0: one that the system picks (the log says which)
    int refreshMs = 2000;  // how often the page asks for the status again
};

// Reads the `mqtt:` and `http:` sections of `root` into `config`, whose lines
// and tags are read already; `tagsRead` when they were read without an error
// (a name that matches no tag is then a mistake of its own).
void ReadFrontEnds(ConfigCheck &check, const YAML::Node &root, Config &config, bool tagsRead);

// Reads the password of `password_file` into `mqtt.password`, if one is given.
// False with why in `error` when the file cannot be read or is empty.
bool ReadPasswordFile(MqttConfig &mqtt, std::string *error);

// A name as a topic level and an entity id take it: letters, digits, '-' and
// '_'; every other character becomes '_', and none is left at either end.
std::string TopicName(const std::string &name);

// How a tag's words are shown: as the value's text and as a JSON value.
ValueKind KindOf(const TagConfig &tag);
ValueFormat FormatOf(const TagConfig &tag);
ShownValue ShowTag(const TagConfig &tag, const std::vector<uint16_t> &words);

// A wall time as ISO 8601 in UTC with milliseconds: 2024-05-01T12:00:00.250Z.
std::string IsoTime(std::chrono::system_clock::time_point time);

}  // namespace gateway
