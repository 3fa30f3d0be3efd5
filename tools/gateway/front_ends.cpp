#include "tools/gateway/front_ends.h"

#include <arpa/inet.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <tuple>

#include <yaml-cpp/yaml.h>

#include "tools/gateway/config.h"

namespace gateway {

namespace {

// One key of a section: where its value goes, and what it may be.
struct Key {
    const char *name = nullptr;
    std::string *text = nullptr;
    int *number = nullptr;
    bool *flag = nullptr;
    long low = 0, high = 0;
};

Key Text(const char *name, std::string *value) {
    Key key;
    key.name = name;
    key.text = value;
    return key;
}

Key Number(const char *name, int *value, long low, long high) {
    Key key;
    key.name = name;
    key.number = value;
    key.low = low;
    key.high = high;
    return key;
}

Key Flag(const char *name, bool *value) {
    Key key;
    key.name = name;
    key.flag = value;
    return key;
}

class SectionReader {
  public:
    SectionReader(const std::string &file, std::vector<std::string> &errors)
        : file_(file), errors_(errors) {}

    void Fail(const YAML::Node &node, const std::string &what) {
        errors_.push_back(file_ + ":" + std::to_string(node.Mark().line + 1) + ": " + what);
    }

    // Reads every key of `node` that `keys` names; any other is an error.
    bool Read(const YAML::Node &node, const std::string &section, const std::vector<Key> &keys,
              const std::set<std::string> &others = {}) {
        if (!node.IsMap()) {
            Fail(node, section + " is a mapping (key: value lines)");
            return false;
        }
        for (const auto &entry : node) {
            const std::string name = entry.first.as<std::string>();
            const Key *key = nullptr;
            for (const Key &k : keys) {
                if (name == k.name)
                    key = &k;
            }
            if (key != nullptr) {
                Value(*key, entry.second);
            } else if (others.count(name) == 0) {
                std::string known;
                for (const Key &k : keys)
                    known += std::string(known.empty() ? "" : ", ") + k.name;
                for (const std::string &k : others)
                    known += ", " + k;
                Fail(entry.first,
                     "unknown key '" + name + "' in " + section + " (known: " + known + ")");
            }
        }
        return true;
    }

  private:
    void Value(const Key &key, const YAML::Node &node) {
        const std::string text = node.IsScalar() ? node.Scalar() : "";
        const std::string name = key.name;
        if (key.text != nullptr) {
            if (text.empty())
                Fail(node, name + " takes a text");
            else
                *key.text = text;
        } else if (key.flag != nullptr) {
            if (text == "true" || text == "yes" || text == "false" || text == "no")
                *key.flag = text == "true" || text == "yes";
            else
                Fail(node, name + " takes true or false, not '" + text + "'");
        } else {
            char *end = nullptr;
            const long value = strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || value < key.low || value > key.high) {
                Fail(node, name + " takes a whole number from " + std::to_string(key.low) + " to " +
                               std::to_string(key.high) + ", not '" + text + "'");
            } else {
                *key.number = static_cast<int>(value);
            }
        }
    }

    std::string file_;
    std::vector<std::string> &errors_;
};

// A topic's levels as given: no wildcard, no empty level.
bool IsTopicPrefix(const std::string &text) {
    return !text.empty() && text.find_first_of("+#") == std::string::npos && text.front() != '/' &&
           text.back() != '/' && text.find("//") == std::string::npos;
}

void ReadEntities(SectionReader &reader, const YAML::Node &node, const Config &config,
                  MqttConfig &mqtt) {
    if (!node.IsMap()) {
        reader.Fail(node,
                    "entities maps a tag's name to its unit and classes: "
                    "{temperature: {unit: \"°C\", device_class: temperature}}");
        return;
    }
    for (const auto &entry : node) {
        const std::string name = entry.first.as<std::string>();
        EntityHints hints;
        reader.Read(entry.second, "the entity " + name,
                    {Text("unit", &hints.unit), Text("device_class", &hints.deviceClass),
                     Text("state_class", &hints.stateClass)});
        bool known = false;
        for (const TagConfig &tag : config.tags)
            known = known || tag.name == name || tag.name.rfind(name + "[", 0) == 0;
        if (!known)
            reader.Fail(entry.first, "entities: no tag is named '" + name + "'");
        mqtt.entities[name] = hints;
    }
}

void ReadMqtt(SectionReader &reader, const YAML::Node &node, Config &config) {
    MqttConfig &mqtt = config.mqtt;
    mqtt.enabled = true;
    const bool read = reader.Read(
        node, "mqtt",
        {Text("host", &mqtt.host), Number("port", &mqtt.port, 1, 65535),
         Text("client_id", &mqtt.clientId), Text("username", &mqtt.username),
         Text("password", &mqtt.password), Text("password_file", &mqtt.passwordFile),
         Text("ca_file", &mqtt.caFile), Text("cert_file", &mqtt.certFile),
         Text("key_file", &mqtt.keyFile), Number("keepalive_s", &mqtt.keepaliveS, 5, 3600),
         Number("reconnect_min_s", &mqtt.reconnectMinS, 1, 3600),
         Number("reconnect_max_s", &mqtt.reconnectMaxS, 1, 3600),
         Text("topic_prefix", &mqtt.topicPrefix), Flag("json", &mqtt.json),
         Number("republish_s", &mqtt.republishS, 0, 86400), Flag("discovery", &mqtt.discovery),
         Text("discovery_prefix", &mqtt.discoveryPrefix)},
        {"entities"});
    if (!read)
        return;
    if (!IsTopicPrefix(mqtt.topicPrefix))
        reader.Fail(node["topic_prefix"],
                    "topic_prefix takes topic levels such as site/qivma, "
                    "without + or # and without an empty level");
    if (!IsTopicPrefix(mqtt.discoveryPrefix))
        reader.Fail(node["discovery_prefix"],
                    "discovery_prefix takes topic levels such as homeassistant, without + or "
                    "# and without an empty level");
    const std::string id = TopicName(mqtt.clientId);
    if (std::none_of(id.begin(), id.end(),
                     [](char c) { return isalnum(static_cast<unsigned char>(c)); }))
        reader.Fail(node["client_id"],
                    "client_id needs a letter or a digit: the entities' "
                    "unique ids begin with it");
    if (!mqtt.password.empty() && mqtt.username.empty())
        reader.Fail(node["password"], "a password goes with a username: give username too");
    if (!mqtt.passwordFile.empty() && !mqtt.password.empty())
        reader.Fail(node["password_file"], "give password or password_file, not both");
    else if (!mqtt.passwordFile.empty() && mqtt.username.empty())
        reader.Fail(node["password_file"], "a password goes with a username: give username too");
    if (mqtt.certFile.empty() != mqtt.keyFile.empty())
        reader.Fail(node, "cert_file and key_file go together: give both, or neither");
    if (!mqtt.certFile.empty() && mqtt.caFile.empty())
        reader.Fail(node, "a client certificate needs TLS: give ca_file too");
    if (mqtt.reconnectMinS > mqtt.reconnectMaxS)
        reader.Fail(node, "reconnect_min_s is longer than reconnect_max_s");
    if (node["entities"])
        ReadEntities(reader, node["entities"], config, mqtt);
}

void ReadHttp(SectionReader &reader, const YAML::Node &node, HttpConfig &http) {
    http.enabled = true;
    if (!reader.Read(node, "http",
                     {Text("listen", &http.listen), Number("port", &http.port, 0, 65535),
                      Number("refresh_ms", &http.refreshMs, 200, 3600000)}))
        return;
    in_addr address;
    if (inet_pton(AF_INET, http.listen.c_str(), &address) != 1)
        reader.Fail(node["listen"], "listen takes an IPv4 address such as 127.0.0.1");
}

// Every tag needs a topic of its own: names that differ only in what a topic
// cannot hold would share one.
void CheckTopics(SectionReader &reader, const YAML::Node &root, const Config &config) {
    std::map<std::tuple<std::string, std::string, std::string>, const TagConfig *> topics;
    std::map<std::string, const LineConfig *> lines;
    for (const LineConfig &line : config.lines) {
        const auto [other, added] = lines.emplace(TopicName(line.name), &line);
        if (!added || other->first.empty()) {
            reader.Fail(root["mqtt"], "line '" + line.name + "' (line " +
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
            reader.Fail(root["mqtt"],
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

void ReadFrontEnds(const YAML::Node &root, const std::string &file, Config &config,
                   std::vector<std::string> &errors) {
    SectionReader reader(file, errors);
    if (root["mqtt"]) {
        ReadMqtt(reader, root["mqtt"], config);
        CheckTopics(reader, root, config);
    }
    if (root["http"])
        ReadHttp(reader, root["http"], config.http);
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
