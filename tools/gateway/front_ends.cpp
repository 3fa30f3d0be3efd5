#include "tools/gateway/front_ends.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <tuple>

#include <yaml-cpp/yaml.h>

#include "tools/gateway/config.h"
#include "tools/gateway/config_check.h"

namespace gateway {

namespace {

bool ParseProtocol(const std::string &text, bool &v5) {
    if (text != "5" && text != "3.1.1")
        return false;
    v5 = text == "5";
    return true;
}

// A topic's levels as given: no wildcard, no empty level.
bool IsTopicPrefix(const std::string &text) {
    return !text.empty() && text.find_first_of("+#") == std::string::npos && text.front() != '/' &&
           text.back() != '/' && text.find("//") == std::string::npos;
}

bool ReadEntities(ConfigCheck &check, const YAML::Node &node, const Config &config,
                  MqttConfig &mqtt, bool tagsRead) {
    if (!node.IsMap()) {
        check.Fail(node,
                   "entities maps a tag's name to its unit and classes: "
                   "{temperature: {unit: \"°C\", device_class: temperature}}");
        return false;
    }
    bool taken = true;
    for (const auto &entry : node) {
        if (!entry.first.IsScalar()) {
            check.Fail(entry.first, "entities: a tag's name, not a list or a mapping");
            taken = false;
            continue;
        }
        const std::string name = entry.first.Scalar();
        EntityHints hints;
        taken =
            check.Read(entry.second, "the entity " + name,
                       {TextKey("unit", &hints.unit), TextKey("device_class", &hints.deviceClass),
                        TextKey("state_class", &hints.stateClass)}) &&
            taken;
        bool known = false;
        for (const TagConfig &tag : config.tags)
            known = known || tag.name == name || tag.name.rfind(name + "[", 0) == 0;
        if (!known && tagsRead)
            check.Fail(entry.first, "entities: no tag is named '" + name + "'");
        mqtt.entities[name] = hints;
    }
    return taken;
}

void ReadMqtt(ConfigCheck &check, const YAML::Node &node, Config &config, bool tagsRead) {
    MqttConfig &mqtt = config.mqtt;
    mqtt.enabled = true;
    check.Read(node, "mqtt",
               {TextKey("host", &mqtt.host),
                NumberKey("port", &mqtt.port, 1, 65535),
                {"protocol",
                 [&mqtt](ConfigCheck &c, const YAML::Node &value) {
                     std::string text;
                     if (!c.Text(value, "protocol", text))
                         return false;
                     if (ParseProtocol(text, mqtt.v5))
                         return true;
                     c.Fail(value, "protocol takes 5, or 3.1.1 for a broker that lacks 5, not '" +
                                       text + "'");
                     return false;
                 }},
                NumberKey("command_max_age_s", &mqtt.commandMaxAgeS, 1, 3600),
                TextKey("client_id", &mqtt.clientId),
                TextKey("username", &mqtt.username),
                TextKey("password", &mqtt.password),
                TextKey("password_file", &mqtt.passwordFile),
                TextKey("ca_file", &mqtt.caFile),
                TextKey("cert_file", &mqtt.certFile),
                TextKey("key_file", &mqtt.keyFile),
                NumberKey("keepalive_s", &mqtt.keepaliveS, 5, 3600),
                NumberKey("reconnect_min_s", &mqtt.reconnectMinS, 1, 3600),
                NumberKey("reconnect_max_s", &mqtt.reconnectMaxS, 1, 3600),
                TextKey("topic_prefix", &mqtt.topicPrefix),
                FlagKey("json", &mqtt.json),
                NumberKey("republish_s", &mqtt.republishS, 0, 86400),
                FlagKey("discovery", &mqtt.discovery),
                TextKey("discovery_prefix", &mqtt.discoveryPrefix),
                {"entities", [&](ConfigCheck &c, const YAML::Node &value) {
                     return ReadEntities(c, value, config, mqtt, tagsRead);
                 }}});
    if (!node.IsMap())
        return;
    // What follows judges the values together; a value refused above was
    // said already and is not judged again by what it was left at.
    if (!IsTopicPrefix(mqtt.topicPrefix))
        check.Fail(ConfigCheck::At(node, "topic_prefix"),
                   "topic_prefix takes topic levels such as site/qivma, "
                   "without + or # and without an empty level");
    if (!IsTopicPrefix(mqtt.discoveryPrefix))
        check.Fail(ConfigCheck::At(node, "discovery_prefix"),
                   "discovery_prefix takes topic levels such as homeassistant, without + or "
                   "# and without an empty level");
    const std::string id = TopicName(mqtt.clientId);
    if (std::none_of(id.begin(), id.end(),
                     [](char c) { return isalnum(static_cast<unsigned char>(c)); }))
        check.Fail(ConfigCheck::At(node, "client_id"),
                   "client_id needs a letter or a digit: the entities' "
                   "unique ids begin with it");
    if (!mqtt.password.empty() && mqtt.username.empty())
        check.Fail(ConfigCheck::At(node, "password"),
                   "a password goes with a username: give username too");
    if (!mqtt.passwordFile.empty() && !mqtt.password.empty())
        check.Fail(ConfigCheck::At(node, "password_file"),
                   "give password or password_file, not both");
    else if (!mqtt.passwordFile.empty() && mqtt.username.empty())
        check.Fail(ConfigCheck::At(node, "password_file"),
                   "a password goes with a username: give username too");
    if (mqtt.certFile.empty() != mqtt.keyFile.empty())
        check.Fail(node, "cert_file and key_file go together: give both, or neither");
    if (!mqtt.certFile.empty() && mqtt.caFile.empty())
        check.Fail(node, "a client certificate needs TLS: give ca_file too");
    if (mqtt.reconnectMinS > mqtt.reconnectMaxS)
        check.Fail(node, "reconnect_min_s is longer than reconnect_max_s");
}

void ReadHttp(ConfigCheck &check, const YAML::Node &node, HttpConfig &http) {
    http.enabled = true;
    check.Read(node, "http",
               {AddressKey("listen", &http.listen), NumberKey("port", &http.port, 0, 65535),
                NumberKey("refresh_ms", &http.refreshMs, 200, 3600000)});
}

// Every tag needs a topic of its own: names that differ only in what a topic
// cannot hold would share one.
void CheckTopics(ConfigCheck &check, const YAML::Node &root, const Config &config) {
    std::map<std::tuple<std::string, std::string, std::string>, const TagConfig *> topics;
    std::map<std::string, const LineConfig *> lines;
    for (const LineConfig &line : config.lines) {
        const auto [other, added] = lines.emplace(TopicName(line.name), &line);
        if (!added || other->first.empty()) {
            check.Fail(root["mqtt"], "line '" + line.name + "' (line " +
                                         std::to_string(line.sourceLine) +
                                         ") has no topic of its own: give it a name of letters "
                                         "and digits");
        }
    }
    for (const TagConfig &tag : config.tags) {
        const std::string name = TopicName(tag.name);
        const auto key = std::make_tuple(TopicName(config.lines[tag.line].name), tag.station, name);
        const auto [other, added] = topics.emplace(key, &tag);
        if (name.empty() || !added) {
            check.Fail(root["mqtt"],
                       "the tag '" + tag.name + "' at line " + std::to_string(tag.sourceLine) +
                           " has no MQTT topic of its own" +
                           (added ? std::string()
                                  : " (the tag '" + other->second->name + "' at line " +
                                        std::to_string(other->second->sourceLine) + " has it)") +
                           ": give it another name");
        }
    }
}

}  // namespace

void ReadFrontEnds(ConfigCheck &check, const YAML::Node &root, Config &config, bool tagsRead) {
    if (root["mqtt"]) {
        ReadMqtt(check, root["mqtt"], config, tagsRead);
        CheckTopics(check, root, config);
    }
    if (root["http"])
        ReadHttp(check, root["http"], config.http);
}

bool ReadPasswordFile(MqttConfig &mqtt, std::string *error) {
    if (mqtt.passwordFile.empty())
        return true;
    std::string path = mqtt.passwordFile;
    if (path.find('/') == std::string::npos) {
        const char *credentials = getenv("CREDENTIALS_DIRECTORY");
        if (credentials == nullptr) {
            *error = "MQTT: password_file " + path +
                     " names a credential, and none were passed (no CREDENTIALS_DIRECTORY): "
                     "run under the unit, or give the file's path";
            return false;
        }
        path = std::string(credentials) + "/" + path;
    }
    std::ifstream file(path);
    std::string password;
    if (!file || !std::getline(file, password)) {
        *error = "MQTT: the password file " + path + " cannot be read, or is empty";
        return false;
    }
    // An editor's line end is not part of the password.
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.empty()) {
        *error = "MQTT: the password file " + path + " begins with an empty line";
        return false;
    }
    mqtt.password = password;
    return true;
}

std::string TopicName(const std::string &name) {
    std::string topic;
    for (const char c : name) {
        const bool kept = isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
        topic += kept ? c : '_';
    }
    const size_t first = topic.find_first_not_of('_');
    if (first == std::string::npos)
        return "";
    return topic.substr(first, topic.find_last_not_of('_') - first + 1);
}

ValueKind KindOf(const TagConfig &tag) {
    if (tag.type == ValueType::kBit)
        return ValueKind::kBit;
    return RegistersOf(tag.type) == 2 ? ValueKind::kDoubleWord : ValueKind::kWord;
}

ValueFormat FormatOf(const TagConfig &tag) {
    switch (tag.type) {
        case ValueType::kInt16:
        case ValueType::kInt32:
            return ValueFormat::kSigned;
        case ValueType::kFloat:
            return ValueFormat::kFloat;
        default:
            return ValueFormat::kUnsigned;
    }
}

ShownValue ShowTag(const TagConfig &tag, const std::vector<uint16_t> &words) {
    // The table keeps a value's words in address order: the controller's
    // low word first.
    return ShowValue(KindOf(tag), words.data(), FormatOf(tag), WordOrder::kLowFirst);
}

std::string IsoTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm parts;
    gmtime_r(&seconds, &parts);
    char text[40];
    const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

}  // namespace gateway
