// The mqtt: and http: sections of the configuration, and the commands that
// MQTT clients send, without a broker.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/gateway/config.h"
#include "tools/gateway/mqtt_messages.h"

namespace {

using gateway::Config;

constexpr char kLines[] = R"(lines:
  - name: plant
    port: /dev/null
    stations: [{station: 01, unit: 1}]
    tags:
      - {name: speed, address: 01D00100, count: 2, register: 0, writable: true}
      - {name: level, address: 01D00200, type: uint16, table: input, register: 0}
)";

std::vector<std::string> Errors(const std::string &sections, const std::string &tags = "") {
    Config config;
    std::vector<std::string> errors;
    gateway::ParseConfig(kLines + tags + sections, "site.yaml", config, errors);
    return errors;
}

TEST(FrontEndConfig, DefaultsAndWhatTheSectionsGive) {
    Config config;
    std::vector<std::string> errors;
    ASSERT_TRUE(gateway::ParseConfig(kLines, "site.yaml", config, errors)) << errors[0];
    EXPECT_FALSE(config.mqtt.enabled);
    EXPECT_FALSE(config.http.enabled);
    EXPECT_TRUE(config.mqtt.v5);
    ASSERT_TRUE(gateway::ParseConfig(std::string(kLines) +
                                         "mqtt: {host: 10.0.0.5, json: yes, discovery: no, "
                                         "protocol: 3.1.1, command_max_age_s: 30, "
                                         "entities: {speed: {unit: rpm}}}\nhttp: {}\n",
                                     "site.yaml", config, errors))
        << errors[0];
    EXPECT_TRUE(config.mqtt.enabled);
    EXPECT_FALSE(config.mqtt.v5);
    EXPECT_EQ(config.mqtt.commandMaxAgeS, 30);
    EXPECT_EQ(config.mqtt.host, "10.0.0.5");
    EXPECT_EQ(config.mqtt.port, 1883);
    EXPECT_TRUE(config.mqtt.json);
    EXPECT_FALSE(config.mqtt.discovery);
    EXPECT_EQ(config.mqtt.entities["speed"].unit, "rpm");
    EXPECT_TRUE(config.http.enabled);
    EXPECT_EQ(config.http.listen, "127.0.0.1");
}

TEST(FrontEndConfig, EachErrorNamesItsLine) {
    struct Case {
        std::string sections, tags, error;
    };
    const Case cases[] = {
        {"mqtt: {port: 0}\n", "",
         "site.yaml:8: port takes a whole number from 1 to 65535, not '0'"},
        {"mqtt:\n  brokr: x\n", "", "site.yaml:9: unknown key 'brokr' in mqtt (known: host,"},
        {"mqtt: {topic_prefix: a/+/b}\n", "", "site.yaml:8: topic_prefix takes topic levels"},
        {"mqtt: {discovery_prefix: ha/}\n", "", "site.yaml:8: discovery_prefix takes"},
        {"mqtt: {password: x}\n", "", "site.yaml:8: a password goes with a username"},
        {"mqtt: {password_file: pw}\n", "", "site.yaml:8: a password goes with a username"},
        {"mqtt: {username: u, password: x, password_file: pw}\n", "",
         "site.yaml:8: give password or password_file, not both"},
        {"mqtt: {cert_file: c.pem, ca_file: ca.pem}\n", "",
         "site.yaml:8: cert_file and key_file go together"},
        {"mqtt: {cert_file: c.pem, key_file: k.pem}\n", "",
         "site.yaml:8: a client certificate needs TLS"},
        {"mqtt: {reconnect_min_s: 9, reconnect_max_s: 3}\n", "",
         "site.yaml:8: reconnect_min_s is longer than reconnect_max_s"},
        {"mqtt: {json: maybe}\n", "", "site.yaml:8: json takes true or false, not 'maybe'"},
        {"mqtt: {protocol: 3}\n", "", "site.yaml:8: protocol takes 5, or 3.1.1"},
        {"mqtt: {command_max_age_s: 0}\n", "",
         "site.yaml:8: command_max_age_s takes a whole number from 1 to 3600, not '0'"},
        // The value refused is said once, not again by the checks after it.
        {"mqtt: {topic_prefix: [a]}\n", "", "site.yaml:8: topic_prefix takes a text"},
        {"mqtt: {client_id: '--'}\n", "", "site.yaml:8: client_id needs a letter or a digit"},
        {"mqtt:\n  entities: {speeds: {unit: rpm}}\n", "",
         "site.yaml:9: entities: no tag is named 'speeds'"},
        {"mqtt:\n  entities: {speed: {units: rpm}}\n", "",
         "site.yaml:9: unknown key 'units' in the entity speed"},
        {"mqtt: {}\n", "      - {name: speed_0, address: 01D00300, register: 5}\n",
         "site.yaml:9: the tag 'speed_0' at line 8 has no MQTT topic of its own (the tag "
         "'speed[0]' at line 6 has it): give it another name"},
        {"mqtt: {}\n", "      - {name: '[]', address: 01D00300, register: 5}\n",
         "site.yaml:9: the tag '[]' at line 8 has no MQTT topic of its own: give it another name"},
        {"http: {listen: localhost}\n", "", "site.yaml:8: listen takes an IPv4 address"},
        {"http: {port: 70000}\n", "", "site.yaml:8: port takes a whole number from 0 to 65535"},
        {"http: {refresh_ms: 10}\n", "", "site.yaml:8: refresh_ms takes a whole number from 200"},
        {"http: [8080]\n", "", "site.yaml:8: http is a mapping"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sections + c.tags);
        const std::vector<std::string> errors = Errors(c.sections, c.tags);
        ASSERT_EQ(errors.size(), 1u) << (errors.empty() ? "" : errors[0] + " / " + errors.back());
        EXPECT_EQ(errors[0].rfind(c.error, 0), 0u) << errors[0];
    }
}

TEST(FrontEndConfig, ThePasswordFileIsAPathOrTheNameOfTheServicesCredential) {
    char folder[] = "/tmp/qivma-credentials-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/mqtt-password";
    std::ofstream(path) << "s3cret\r\n";
    gateway::MqttConfig mqtt;
    std::string error;
    mqtt.passwordFile = path;
    ASSERT_TRUE(gateway::ReadPasswordFile(mqtt, &error)) << error;
    EXPECT_EQ(mqtt.password, "s3cret");

    mqtt = {};
    mqtt.passwordFile = "mqtt-password";
    unsetenv("CREDENTIALS_DIRECTORY");
    EXPECT_FALSE(gateway::ReadPasswordFile(mqtt, &error));
    EXPECT_NE(error.find("CREDENTIALS_DIRECTORY"), std::string::npos) << error;
    setenv("CREDENTIALS_DIRECTORY", folder, 1);
    ASSERT_TRUE(gateway::ReadPasswordFile(mqtt, &error)) << error;
    EXPECT_EQ(mqtt.password, "s3cret");

    // The package's file as installed, before anyone wrote to it.
    std::ofstream(path, std::ios::trunc).flush();
    mqtt.password.clear();
    EXPECT_FALSE(gateway::ReadPasswordFile(mqtt, &error));
    EXPECT_NE(error.find("is empty"), std::string::npos) << error;
    EXPECT_EQ(mqtt.password, "");
    unsetenv("CREDENTIALS_DIRECTORY");
    remove(path.c_str());
    rmdir(folder);
}

TEST(FrontEndConfig, TopicNamesKeepWhatATopicLevelAndAnEntityIdTake) {
    EXPECT_EQ(gateway::TopicName("setpoint[3]"), "setpoint_3");
    EXPECT_EQ(gateway::TopicName(" oven 2/top+#"), "oven_2_top");
    EXPECT_EQ(gateway::TopicName("01D00100"), "01D00100");
    EXPECT_EQ(gateway::TopicName("[]"), "");
}

TEST(MqttCommands, PayloadsBecomeTheWordsToWrite) {
    struct Case {
        gateway::ValueType type;
        std::string payload;
        std::vector<uint16_t> words;  // empty: refused
    };
    using gateway::ValueType;
    const Case cases[] = {
        {ValueType::kInt16, "-5", {0xFFFB}},
        {ValueType::kInt16, "12.0", {12}},  // as Home Assistant's number sends it
        {ValueType::kInt16, " 7\n", {7}},
        {ValueType::kInt16, "12.5", {}},
        {ValueType::kInt16, "32768", {}},
        {ValueType::kInt16, "", {}},
        {ValueType::kUint16, "65535", {0xFFFF}},
        {ValueType::kUint16, "-1", {}},
        {ValueType::kInt32, "-2", {0xFFFE, 0xFFFF}},  // low word first, as the controller keeps it
        {ValueType::kUint32, "0x10000", {0x0000, 0x0001}},
        {ValueType::kUint32, "1e3", {1000, 0}},
        {ValueType::kFloat, "21.5", {0x0000, 0x41AC}},
        {ValueType::kFloat, "nan", {}},
        {ValueType::kBit, "ON", {1}},
        {ValueType::kBit, "off", {0}},
        {ValueType::kBit, "true", {1}},
        {ValueType::kBit, "0", {0}},
        {ValueType::kBit, "2", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(gateway::ValueTypeName(c.type)) + " '" + c.payload + "'");
        gateway::TagConfig tag;
        tag.type = c.type;
        std::vector<uint16_t> words;
        std::string error;
        const bool parsed = gateway::ParseCommand(tag, c.payload, words, &error);
        EXPECT_EQ(parsed, !c.words.empty()) << error;
        if (parsed)
            EXPECT_EQ(words, c.words);
        else
            EXPECT_FALSE(error.empty());
    }
}

}  // namespace
