// qivma-gateway's MQTT and status page as a site sees them, against the
// controller simulator: the mosquitto broker on a loopback port and its
// clients mosquitto_sub and mosquitto_pub, headless Chromium on the page, and
// promtool on /metrics. None of them is ours.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "gateway/gateway_process.h"
#include "gateway/mosquitto_broker.h"
#include "tools/fpsim/simulator.h"

namespace {

using fpsim::Area;
using gatewaytest::Background;
using gatewaytest::Eventually;
using gatewaytest::FreePort;
using gatewaytest::RunProgram;
using Json = nlohmann::json;

constexpr char kPrefix[] = "site/qivma";
constexpr char kClientId[] = "plant-gw";

// Line "plant": station 01 answers, 02 never does. Line "spare": station 05,
// read once an hour, for writes whose answer the test takes away; each such
// write holds the line for three time-outs, longer than a command may wait.
constexpr char kConfig[] = R"(modbus: {listen: 127.0.0.1}
mqtt:
  port: @BROKER@
  client_id: plant-gw
  topic_prefix: site/qivma
  json: @JSON@
  reconnect_min_s: 1
  reconnect_max_s: 2
  command_max_age_s: 2
  entities: {temperature: {unit: "°C", device_class: temperature}}
http: {port: 0, refresh_ms: 300}
defaults: {rate_ms: 100, timeout_ms: 40, demote_after: 2, demote_for_s: 600, reopen_ms: 100,
           reopen_max_ms: 200}
lines:
  - name: plant
    port: @LINK1@
    settings: 19200-8O1
    stations: [{station: 01, unit: 1}, {station: 02, unit: 2}]
    tags:
      - {name: setpoint, address: 01D00100, count: 3, type: int16, register: 0, writable: true}
      - {name: total, address: 01D00200, type: int32, register: 10}
      - {name: counter, address: 01D00210, type: uint32, register: 12}
      - {name: level, address: 01D00300, type: uint16, table: input, register: 0}
      - {name: temperature, address: 01D00400, type: float, table: input, register: 2}
      - {name: pump, address: 01R00100, type: bit, table: coil, register: 0, writable: true}
      - {name: alarm, address: 01X00000, count: 2, type: bit, table: discrete, register: 0}
      - {name: remote, address: 02D00000, count: 2, type: int16, register: 0, writable: true}
  - name: spare
    port: @LINK2@
    settings: 19200-8O1
    rate_ms: 3600000
    timeout_ms: 1500
    demote_after: 1000
    stations: [{station: 05, unit: 5}]
    tags:
      - {name: recipe, address: 05D00500, type: int16, register: 0, writable: true}
)";

// What each tag is discovered as, and the value that the simulator holds.
struct TagCase {
    std::string station, topic, name, component;
    bool writable;
    std::string value;  // "" for the silent station's tags
};

const std::vector<TagCase> kTags = {
    {"01", "setpoint_0", "setpoint[0]", "number", true, "1111"},
    {"01", "setpoint_1", "setpoint[1]", "number", true, "2222"},
    {"01", "setpoint_2", "setpoint[2]", "number", true, "-16"},
    {"01", "total", "total", "sensor", false, "74565"},
    {"01", "counter", "counter", "sensor", false, "4294967280"},
    {"01", "level", "level", "sensor", false, "65000"},
    {"01", "temperature", "temperature", "sensor", false, "21.5"},
    {"01", "pump", "pump", "switch", true, "1"},
    {"01", "alarm_0", "alarm[0]", "binary_sensor", false, "0"},
    {"01", "alarm_1", "alarm[1]", "binary_sensor", false, "1"},
    {"02", "remote_0", "remote[0]", "number", true, ""},
    {"02", "remote_1", "remote[1]", "number", true, ""},
    {"05", "recipe", "recipe", "number", true, "500"},
};

std::string LineOf(const std::string &station) {
    return station == "05" ? "spare" : "plant";
}
std::string StationTopic(const std::string &station) {
    return std::string(kPrefix) + "/" + LineOf(station) + "/" + station;
}
std::string TagTopic(const TagCase &tag) {
    return StationTopic(tag.station) + "/" + tag.topic;
}

std::string TempDir() {
    char path[] = "/tmp/qivma-mqtt-XXXXXX";
    return mkdtemp(path) != nullptr ? path : "";
}

std::string Replaced(std::string text, const std::map<std::string, std::string> &marks) {
    for (const auto &[mark, value] : marks)
        text.replace(text.find(mark), mark.size(), value);
    return text;
}

std::unique_ptr<fpsim::Simulator> StartSimulator(const std::vector<std::string> &stations,
                                                 const std::string &link) {
    fpsim::Options options;
    options.stations = stations;
    options.linkPath = link;
    auto sim = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    EXPECT_TRUE(sim->Start(&error)) << error;
    if (stations.front() == "05") {
        sim->WriteWord("05", Area::kData, 500, 500);
        return sim;
    }
    sim->WriteWord("01", Area::kData, 100, 1111);
    sim->WriteWord("01", Area::kData, 101, 2222);
    sim->WriteWord("01", Area::kData, 102, 0xFFF0);
    sim->WriteWord("01", Area::kData, 200, 0x2345);  // low word first: 0x00012345
    sim->WriteWord("01", Area::kData, 201, 0x0001);
    sim->WriteWord("01", Area::kData, 210, 0xFFF0);
    sim->WriteWord("01", Area::kData, 211, 0xFFFF);
    sim->WriteWord("01", Area::kData, 300, 65000);
    const float celsius = 21.5f;
    uint32_t bits;
    memcpy(&bits, &celsius, sizeof bits);
    sim->WriteWord("01", Area::kData, 400, static_cast<uint16_t>(bits));
    sim->WriteWord("01", Area::kData, 401, static_cast<uint16_t>(bits >> 16));
    sim->WriteWord("01", Area::kR, 10, 0x0001);
    sim->WriteWord("01", Area::kX, 0, 0x0002);
    return sim;
}

// A program whose standard output the test reads as it comes: it goes to
// the standard error that Background keeps.
std::vector<std::string> OutputOnStderr(std::vector<std::string> command) {
    command.insert(command.begin(), {"bash", "-c", "exec \"$0\" \"$@\" 1>&2"});
    return command;
}

struct Retained {
    std::map<std::string, std::string> payloads;  // by topic
    std::set<std::string> notRetained;
};

class MqttGateway : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        for (const char *tool : {MOSQUITTO, "mosquitto_sub", "mosquitto_pub"}) {
            if (RunProgram({"which", tool}).exitCode != 0)
                GTEST_SKIP() << "skipped: " << tool << " is not installed (scripts/setup.sh)";
        }
        dir_ = TempDir();
        brokerPort_ = FreePort();
        StartBroker();
        // The simulator plays station 01 only: 02 stays silent.
        plant_ = StartSimulator({"01"}, dir_ + "/plant");
        spare_ = StartSimulator({"05"}, dir_ + "/spare");
        std::ofstream(dir_ + "/gateway.yaml")
            << Replaced(kConfig, {{"@BROKER@", std::to_string(brokerPort_)},
                                  {"@JSON@", GetParam() ? "true" : "false"},
                                  {"@LINK1@", dir_ + "/plant"},
                                  {"@LINK2@", dir_ + "/spare"}});
        gateway_ = std::make_unique<Background>(std::vector<std::string>{
            GATEWAY_PROGRAM, "--config", dir_ + "/gateway.yaml", "--port", "0"});
        const std::string page = "status page on http://127.0.0.1:";
        const size_t at = gateway_->WaitFor(page);
        ASSERT_NE(at, std::string::npos) << gateway_->Err();
        httpPort_ = atoi(gateway_->Err().c_str() + at + page.size());
        ASSERT_NE(gateway_->WaitFor("MQTT: connected"), std::string::npos) << gateway_->Err();
        // Settled: station 01 read and 02 taken off scan.
        ASSERT_TRUE(Eventually([&] {
            const Json status = Status();
            return status.is_object() && status["stations"][0]["state"] == "answering" &&
                   status["stations"][1]["state"] == "demoted" &&
                   status["stations"][2]["state"] == "answering";
        })) << Status().dump(1);
    }

    void TearDown() override {
        if (gateway_) {
            EXPECT_EQ(gateway_->Terminate(), 0) << gateway_->Err();
        }
        gateway_.reset();
        broker_.reset();
    }

    void StartBroker() {
        gatewaytest::WriteBrokerConfig(dir_ + "/mosquitto.conf", brokerPort_);
        broker_ = std::make_unique<Background>(
            std::vector<std::string>{MOSQUITTO, "-c", dir_ + "/mosquitto.conf"});
        ASSERT_NE(broker_->WaitFor(" running"), std::string::npos) << broker_->Err();
    }

    Json Status() {
        httplib::Client client("127.0.0.1", httpPort_);
        const auto answer = client.Get("/status.json");
        return answer && answer->status == 200 ? Json::parse(answer->body) : Json();
    }

    std::vector<std::string> Sub(const std::vector<std::string> &arguments) {
        std::vector<std::string> command = {
            "mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(brokerPort_), "-q", "1"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return command;
    }

    // The gateway's retained messages and the discovery messages: `count` of
    // them, as a new subscriber gets them.
    Retained TakeRetained(size_t count) {
        const gatewaytest::Run run =
            // With MQTT 5's retain-as-published, what the gateway publishes
            // while this subscribes shows as retained too.
            RunProgram(Sub({"-V", "mqttv5", "--retain-as-published", "-t",
                            std::string(kPrefix) + "/#", "-t", "homeassistant/#", "-C",
                            std::to_string(count), "-W", "30", "-F", "%r %t %p"}));
        Retained retained;
        std::istringstream lines(run.out);
        std::string line;
        while (std::getline(lines, line)) {
            const size_t space = line.find(' ', 2);
            const std::string topic = line.substr(2, space - 2);
            retained.payloads[topic] = space == std::string::npos ? "" : line.substr(space + 1);
            if (line[0] != '1')
                retained.notRetained.insert(topic);
        }
        return retained;
    }

    // What a tag's retained payload is: the value, or its JSON.
    std::string ExpectedPayload(const TagCase &tag) const {
        if (!GetParam())
            return tag.value;
        return tag.value.empty() ? R"({"value":null,"quality":"demoted","time":null})" : tag.value;
    }

    // Every message that a new subscriber must get retained.
    size_t ExpectedCount() const {
        size_t tagValues = 0;
        for (const TagCase &tag : kTags)
            tagValues += !tag.value.empty() || GetParam();
        // The gateway's and three stations' availability and discovery, and
        // each tag's discovery.
        return tagValues + 4 + 4 + kTags.size();
    }

    void CheckRetained(const Retained &retained) {
        EXPECT_TRUE(retained.notRetained.empty()) << *retained.notRetained.begin();
        const auto payload = [&](const std::string &topic) {
            const auto found = retained.payloads.find(topic);
            return found == retained.payloads.end() ? std::string("(none)") : found->second;
        };
        EXPECT_EQ(payload(std::string(kPrefix) + "/status"), "online");
        EXPECT_EQ(payload(StationTopic("01") + "/status"), "online");
        EXPECT_EQ(payload(StationTopic("02") + "/status"), "offline");
        EXPECT_EQ(payload(StationTopic("05") + "/status"), "online");
        for (const TagCase &tag : kTags) {
            if (tag.value.empty() && !GetParam()) {
                // A bare value that was never read is not published at all.
                EXPECT_EQ(payload(TagTopic(tag)), "(none)");
            } else if (GetParam() && !tag.value.empty()) {
                const Json json = Json::parse(payload(TagTopic(tag)), nullptr, false);
                EXPECT_EQ(json["value"].dump(), tag.value) << TagTopic(tag);
                EXPECT_EQ(json["quality"], "good");
                EXPECT_TRUE(std::regex_match(json["time"].get<std::string>(),
                                             std::regex(R"(\d{4}-\d\d-\d\dT[0-9:.]{12}Z)")));
            } else {
                EXPECT_EQ(payload(TagTopic(tag)), ExpectedPayload(tag)) << TagTopic(tag);
            }
        }
        EXPECT_EQ(retained.payloads.size(), ExpectedCount());
    }

    std::string dir_;
    int brokerPort_ = 0;
    int httpPort_ = 0;
    std::unique_ptr<Background> broker_;
    std::unique_ptr<fpsim::Simulator> plant_, spare_;
    std::unique_ptr<Background> gateway_;
};

// The tests that do not depend on the payload's form run with bare values only.
class MqttGatewayBare : public MqttGateway {};

TEST_P(MqttGateway, EveryTagIsRetainedWithItsDiscovery) {
    CheckRetained(TakeRetained(ExpectedCount()));
}

// Field by field, as Home Assistant's MQTT discovery documents them.
TEST_P(MqttGateway, DiscoveryMessagesCarryWhatHomeAssistantReads) {
    const Retained retained = TakeRetained(ExpectedCount());
    const std::string node = kClientId;
    const auto config = [&](const std::string &component, const std::string &object) {
        const std::string topic =
            "homeassistant/" + component + "/" + node + "/" + object + "/config";
        const auto found = retained.payloads.find(topic);
        EXPECT_NE(found, retained.payloads.end()) << topic;
        return found == retained.payloads.end() ? Json() : Json::parse(found->second);
    };
    const Json gateway = config("binary_sensor", "connected");
    ASSERT_TRUE(gateway.is_object());
    const Json gatewayDevice = gateway["device"];
    EXPECT_EQ(gatewayDevice["identifiers"], Json::array({node}));
    for (const char *field : {"name", "manufacturer", "model", "sw_version"})
        EXPECT_TRUE(gatewayDevice[field].is_string()) << field;
    EXPECT_EQ(gateway["state_topic"], std::string(kPrefix) + "/status");

    std::set<std::string> uniqueIds = {gateway["unique_id"]};
    std::map<std::string, Json> devices;  // by station
    const Json gatewayAvailability = {{"topic", std::string(kPrefix) + "/status"},
                                      {"payload_available", "online"},
                                      {"payload_not_available", "offline"}};
    for (const TagCase &tag : kTags) {
        SCOPED_TRACE(tag.name);
        const std::string object = LineOf(tag.station) + "_" + tag.station + "_" + tag.topic;
        const Json entity = config(tag.component, object);
        ASSERT_TRUE(entity.is_object());
        EXPECT_EQ(entity["name"], tag.name);
        EXPECT_EQ(entity["unique_id"], node + "_" + object);
        EXPECT_TRUE(uniqueIds.insert(entity["unique_id"]).second) << "unique_id twice";
        EXPECT_EQ(entity["state_topic"], TagTopic(tag));
        if (tag.writable) {
            EXPECT_EQ(entity["command_topic"], TagTopic(tag) + "/set");
        } else {
            EXPECT_FALSE(entity.contains("command_topic"));
        }
        const Json stationAvailability = {{"topic", StationTopic(tag.station) + "/status"},
                                          {"payload_available", "online"},
                                          {"payload_not_available", "offline"}};
        EXPECT_EQ(entity["availability"], Json::array({gatewayAvailability, stationAvailability}));
        EXPECT_EQ(entity["availability_mode"], "all");
        // Each availability topic is there, retained, for a new subscriber.
        EXPECT_EQ(retained.payloads.count(StationTopic(tag.station) + "/status"), 1u);
        EXPECT_EQ(entity.contains("value_template"), GetParam());

        const Json device = entity["device"];
        EXPECT_EQ(device["via_device"], node);
        EXPECT_TRUE(device["name"].is_string());
        EXPECT_EQ(device["identifiers"].size(), 1u);
        if (devices.count(tag.station)) {
            EXPECT_EQ(device, devices[tag.station]) << "one device per station";
        }
        devices[tag.station] = device;

        if (tag.component == "number") {
            EXPECT_EQ(entity["min"], -32768);
            EXPECT_EQ(entity["max"], 32767);
            EXPECT_EQ(entity["step"], 1);
        }
        if (tag.component == "switch" || tag.component == "binary_sensor") {
            EXPECT_EQ(entity["payload_on"], "1");
            EXPECT_EQ(entity["payload_off"], "0");
            if (!GetParam()) {
                EXPECT_TRUE(tag.value == entity["payload_on"] ||
                            tag.value == entity["payload_off"]);
            }
        }
        if (tag.component == "sensor") {
            EXPECT_EQ(entity["state_class"], "measurement");
        }
    }
    const Json temperature = config("sensor", "plant_01_temperature");
    EXPECT_EQ(temperature["unit_of_measurement"], "°C");
    EXPECT_EQ(temperature["device_class"], "temperature");
    EXPECT_EQ(devices.size(), 3u);
    EXPECT_NE(devices["01"]["identifiers"], devices["02"]["identifiers"]);
    for (const std::string station : {"01", "02", "05"}) {
        const Json answering =
            config("binary_sensor", LineOf(station) + "_" + station + "_answering");
        EXPECT_EQ(answering["state_topic"], StationTopic(station) + "/status");
        EXPECT_EQ(answering["device"], devices[station]);
        EXPECT_TRUE(uniqueIds.insert(answering["unique_id"]).second);
    }
}

// A command is answered once the controller answered, never before: the
// value is in the simulator when "done" comes, a write that the controller
// took but never acknowledged is "no answer", and what is not to be written
// is never sent: a retained command that comes while the gateway is
// subscribed, and one that waited behind an unanswered write past its
// message expiry or past command_max_age_s.
TEST_P(MqttGatewayBare, CommandsWriteAndTheirOutcomeIsPublished) {
    // The retained value of a tag comes as soon as the subscription holds.
    const std::string marker = StationTopic("01") + "/level";
    Background results(
        OutputOnStderr(Sub({"-v", "-t", std::string(kPrefix) + "/+/+/+/result", "-t", marker})));
    ASSERT_NE(results.WaitFor(marker + " 65000"), std::string::npos) << results.Err();
    const std::vector<std::string> retain = {"-r"};
    const std::vector<std::string> expiresIn1s = {
        "-V", "mqttv5", "-D", "publish", "message-expiry-interval", "1"};
    struct Case {
        std::string station, topic, payload, outcome;
        Area area;
        size_t word;
        uint16_t held;  // what the simulator holds afterwards
        bool answerTaken;
        std::vector<std::string> options = {};  // mosquitto_pub's
        bool behindLostWrite = false;           // sent while a write of 1717 goes unanswered
    };
    const Case cases[] = {
        {"01", "setpoint_1", "-1234", "done", Area::kData, 101, 0xFB2E, false},
        {"01", "setpoint_2", "300.0", "done", Area::kData, 102, 300, false},
        {"01", "pump", "OFF", "done", Area::kR, 10, 0x0000, false},
        {"01", "total", "5", "refused: the tag is not writable", Area::kData, 200, 0x2345, false},
        {"01", "setpoint_0", "70000", "invalid: '70000' is no 16-bit value (-32768 to 32767)",
         Area::kData, 100, 1111, false},
        {"01", "setpoint_0", "77", "refused: a retained command is not carried out", Area::kData,
         100, 1111, false, retain},
        {"05", "recipe", "4242", "no answer", Area::kData, 500, 4242, true},
        {"05", "recipe", "31", "refused: its message expiry ran out before the line could write it",
         Area::kData, 500, 1717, true, expiresIn1s, true},
        {"05",
         "recipe",
         "32",
         "refused: it waited longer than command_max_age_s (2 s) for the line",
         Area::kData,
         500,
         1717,
         true,
         {},
         true},
        {"02", "remote_0", "7", "no answer", Area::kData, 0, 0, false},
    };
    const auto publish = [&](const std::string &topic, const std::string &payload,
                             const std::vector<std::string> &options) {
        std::vector<std::string> command = {"mosquitto_pub",
                                            "-h",
                                            "127.0.0.1",
                                            "-p",
                                            std::to_string(brokerPort_),
                                            "-q",
                                            "1",
                                            "-t",
                                            topic};
        command.insert(command.end(), options.begin(), options.end());
        command.insert(command.end(), {"-m", payload});
        return RunProgram(command).exitCode;
    };
    size_t from = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.topic + " " + c.payload);
        fpsim::Simulator &sim = c.station == "05" ? *spare_ : *plant_;
        const std::string topic = StationTopic(c.station) + "/" + c.topic;
        if (c.behindLostWrite) {
            // In step with the station first: after an unanswered write, the
            // next one begins with a status request rather than the write.
            ASSERT_EQ(publish(topic + "/set", "1717", {}), 0);
            const size_t done = results.WaitFor(topic + "/result done\n", from);
            ASSERT_NE(done, std::string::npos) << results.Err().substr(from);
            from = done + 1;
        }
        if (c.answerTaken)
            sim.FaultEvery(1, fpsim::Fault{fpsim::FaultKind::kNoAnswer});
        sim.ClearFrames();
        if (c.behindLostWrite) {
            ASSERT_EQ(publish(topic + "/set", "1717", {}), 0);
            // Under way on the line: what comes now waits for the line.
            ASSERT_TRUE(Eventually([&] {
                for (const fpsim::FrameRecord &frame : sim.Frames()) {
                    if (frame.bytes.find("#W") != std::string::npos)
                        return true;
                }
                return false;
            }));
        }
        ASSERT_EQ(publish(topic + "/set", c.payload, c.options), 0);
        if (c.behindLostWrite) {
            const size_t lost = results.WaitFor(topic + "/result no answer\n", from);
            ASSERT_NE(lost, std::string::npos) << results.Err().substr(from);
            from = lost + 1;
        }
        const size_t at = results.WaitFor(topic + "/result " + c.outcome + "\n", from);
        ASSERT_NE(at, std::string::npos) << results.Err().substr(from);
        from = at + 1;
        sim.ClearFaults();
        if (c.station != "02") {
            EXPECT_EQ(sim.ReadWord(c.station, c.area, c.word), c.held);
        }
        if (c.outcome.rfind("done", 0) != 0 && !c.answerTaken) {
            for (const fpsim::FrameRecord &frame : sim.Frames())
                EXPECT_EQ(frame.bytes.find("#W"), std::string::npos) << frame.bytes;
        }
        if (c.options == retain) {
            // The broker forgets it, lest the retained messages below be one more.
            ASSERT_EQ(publish(topic + "/set", "", retain), 0);
        }
    }
    results.Terminate();
    // The tag's retained value follows the write.
    EXPECT_EQ(TakeRetained(ExpectedCount()).payloads[StationTopic("01") + "/setpoint_1"], "-1234");
}

TEST_P(MqttGatewayBare, StationGoesOfflineWhileItsLineIsDownAndOnlineAfter) {
    const std::string station = StationTopic("01") + "/status";
    Background watch(
        OutputOnStderr(Sub({"-v", "-t", station, "-t", std::string(kPrefix) + "/status"})));
    ASSERT_NE(watch.WaitFor(station + " online"), std::string::npos) << watch.Err();
    const size_t before = watch.Err().size();
    plant_->Stop();
    const size_t offline = watch.WaitFor(station + " offline", before);
    ASSERT_NE(offline, std::string::npos) << watch.Err() << gateway_->Err();
    // The gateway itself stays online, and no tag of the station said
    // anything new while it was silent.
    plant_ = StartSimulator({"01"}, dir_ + "/plant");
    ASSERT_NE(watch.WaitFor(station + " online", offline), std::string::npos) << gateway_->Err();
    watch.Terminate();
    EXPECT_EQ(watch.Err().find(std::string(kPrefix) + "/status offline"), std::string::npos);
    EXPECT_EQ(Status()["stations"][0]["state"], "answering");
}

// The broker goes away: the gateway scans on, reconnects with its back-off
// and publishes everything again to a broker that kept nothing.
TEST_P(MqttGatewayBare, GatewayReconnectsToARestartedBrokerAndRepublishes) {
    const size_t lost = gateway_->Err().size();
    broker_->Terminate();
    ASSERT_NE(gateway_->WaitFor("MQTT: lost the broker", lost), std::string::npos);
    const uint64_t reads = Status()["lines"][0]["counters"]["reads"];
    EXPECT_TRUE(Eventually([&] { return Status()["lines"][0]["counters"]["reads"] > reads + 10; }));
    const size_t back = gateway_->Err().size();
    StartBroker();
    ASSERT_NE(gateway_->WaitFor("MQTT: connected", back), std::string::npos) << gateway_->Err();
    CheckRetained(TakeRetained(ExpectedCount()));
}

// A stop says offline for the gateway and each station before it goes; a
// new start keeps every unique id.
TEST_P(MqttGatewayBare, StopSaysOfflineAndARestartKeepsTheIds) {
    const Retained first = TakeRetained(ExpectedCount());
    EXPECT_EQ(gateway_->Terminate(), 0);
    gateway_.reset();
    const Retained stopped = TakeRetained(ExpectedCount());
    EXPECT_EQ(stopped.payloads.at(std::string(kPrefix) + "/status"), "offline");
    for (const std::string station : {"01", "02", "05"})
        EXPECT_EQ(stopped.payloads.at(StationTopic(station) + "/status"), "offline");
    gateway_ = std::make_unique<Background>(std::vector<std::string>{
        GATEWAY_PROGRAM, "--config", dir_ + "/gateway.yaml", "--port", "0"});
    ASSERT_NE(gateway_->WaitFor("MQTT: connected"), std::string::npos) << gateway_->Err();
    const Retained again = TakeRetained(ExpectedCount());
    for (const auto &[topic, payload] : first.payloads) {
        if (topic.rfind("homeassistant/", 0) == 0) {
            EXPECT_EQ(Json::parse(again.payloads.at(topic))["unique_id"],
                      Json::parse(payload)["unique_id"]);
        }
    }
}

// The status page as a person's browser shows it, once its script has
// filled it from status.json: the live station answering, the silent one
// demoted with the time it comes back on scan, every tag with its value or
// why it has none. A screenshot stays in the build folder.
TEST_P(MqttGatewayBare, StatusPageInABrowserShowsTheLiveAndTheSilentStation) {
    if (RunProgram({"which", CHROMIUM}).exitCode != 0)
        GTEST_SKIP() << "skipped: chromium is not installed (scripts/setup.sh)";
    const std::string url = "http://127.0.0.1:" + std::to_string(httpPort_) + "/";
    const auto chromium = [&](const std::string &profile, const std::vector<std::string> &what) {
        std::vector<std::string> command = {
            CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--user-data-dir=" + dir_ + "/" + profile,
            // Time for the script's first answers, on the page's virtual clock.
            "--virtual-time-budget=2000"};
        command.insert(command.end(), what.begin(), what.end());
        command.push_back(url);
        return RunProgram(command);
    };
    const gatewaytest::Run dom = chromium("dom", {"--dump-dom"});
    ASSERT_EQ(dom.exitCode, 0) << dom.err;
    const std::string &html = dom.out;
    EXPECT_TRUE(std::regex_search(html, std::regex(R"(<body data-updated="\d{4}-)")))
        << "the script did not fill the page:\n"
        << html;
    EXPECT_NE(html.find("2 of 3 stations answer, 11 of 13 tags good"), std::string::npos) << html;
    EXPECT_NE(html.find(R"(data-station="plant/01" data-state="answering")"), std::string::npos);
    EXPECT_NE(html.find(R"(data-station="spare/05" data-state="answering")"), std::string::npos);
    std::smatch silent;
    ASSERT_TRUE(std::regex_search(
        html, silent, std::regex(R"re(data-station="plant/02" data-state="demoted">(.*?)</tr>)re")))
        << html;
    // Demoted until a time, with the seconds left of the 600.
    EXPECT_TRUE(std::regex_search(silent[1].str(), std::regex(R"(\((\d{3}) s\)</td>)")))
        << silent[1];
    EXPECT_NE(silent[1].str().find("no answer"), std::string::npos) << silent[1];
    for (const TagCase &tag : kTags) {
        const std::string row = "data-tag=\"" + LineOf(tag.station) + "/" + tag.station + "/" +
                                tag.name + "\" data-quality=\"" +
                                (tag.value.empty() ? "demoted" : "good") + "\" data-value=\"" +
                                tag.value + "\"";
        EXPECT_NE(html.find(row), std::string::npos) << row;
    }

    // A change that the present no longer shows: the trend keeps it.
    plant_->WriteWord("01", Area::kData, 100, 1234);
    ASSERT_TRUE(Eventually([&] { return Status()["tags"][0]["value"] == 1234; }));
    const Json status = Status();
    const auto span = [](const Json &trend, size_t field) {
        std::vector<double> seen;
        for (const Json &point : trend) {
            EXPECT_GE(point[0], 0);
            EXPECT_LE(point[0], 600);
            if (!point[field].is_null())
                seen.push_back(point[field]);
        }
        return seen;
    };
    const std::vector<double> least = span(status["tags"][0]["trend"], 1),
                              greatest = span(status["tags"][0]["trend"], 2);
    ASSERT_FALSE(least.empty());
    EXPECT_EQ(*std::min_element(least.begin(), least.end()), 1111);
    EXPECT_EQ(*std::max_element(greatest.begin(), greatest.end()), 1234);
    // The silent station's tags: failed reads and no value.
    const Json &silentTrend = status["tags"][10]["trend"];
    EXPECT_TRUE(span(silentTrend, 1).empty()) << silentTrend;
    ASSERT_FALSE(silentTrend.empty());
    EXPECT_GE(silentTrend[0][3], 1) << silentTrend;
    EXPECT_FALSE(span(status["lines"][0]["scan_trend"], 2).empty());

    // At a desk's width and a phone's: nothing wider than the window, and the
    // trends drawn from the same points.
    const auto attribute = [](const std::string &tag, const std::string &name) {
        std::smatch found;
        return std::regex_search(tag, found, std::regex(" " + name + R"(="([^"]*)\")"))
                   ? found[1].str()
                   : std::string("(none)");
    };
    for (const int width : {1280, 390}) {
        const std::string size =
            "--window-size=" + std::to_string(width) + "," + (width > 1000 ? "1400" : "3200");
        const gatewaytest::Run shown =
            chromium("dom" + std::to_string(width), {size, "--dump-dom"});
        ASSERT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_NE(shown.out.find(R"(data-fits="true")"), std::string::npos) << width;
        std::smatch svg;
        ASSERT_TRUE(std::regex_search(
            shown.out, svg,
            std::regex(R"re(data-tag="plant/01/setpoint\[0\]"[^>]*>.*?(<svg [^>]*>).*?</tr>)re")))
            << shown.out;
        EXPECT_EQ(attribute(svg[1], "data-min"), "1111") << svg[1];
        EXPECT_EQ(attribute(svg[1], "data-max"), "1234") << svg[1];
        EXPECT_GE(atoi(attribute(svg[1], "data-points").c_str()), 1) << svg[1];
        ASSERT_TRUE(std::regex_search(
            shown.out, svg,
            std::regex(R"re(data-tag="plant/02/remote\[0\]"[^>]*>.*?(<svg [^>]*>).*?</tr>)re")));
        EXPECT_EQ(attribute(svg[1], "data-min"), "(none)") << svg[1];
        EXPECT_GE(atoi(attribute(svg[1], "data-failed").c_str()), 1) << svg[1];

        // Kept under the build folder for a person to look at.
        const std::string screenshot =
            std::string(SCREENSHOT_DIR) + "/status_page_" + std::to_string(width) + ".png";
        unlink(screenshot.c_str());
        const gatewaytest::Run shot =
            chromium("shot" + std::to_string(width), {size, "--screenshot=" + screenshot});
        ASSERT_EQ(shot.exitCode, 0) << shot.err;
        std::ifstream png(screenshot, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(png)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes.substr(0, 4), "\x89PNG");
        EXPECT_GT(bytes.size(), 10000u);
    }
}

// /metrics as Prometheus reads it, and its numbers beside what the scan did;
// /status.json beside it.
TEST_P(MqttGatewayBare, MetricsParseAsPrometheusTextAndAgreeWithTheScan) {
    if (RunProgram({"which", PROMTOOL}).exitCode != 0)
        GTEST_SKIP() << "skipped: promtool is not installed (scripts/setup.sh)";
    httplib::Client client("127.0.0.1", httpPort_);
    const auto answer = client.Get("/metrics");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    const std::string file = dir_ + "/metrics.txt";
    std::ofstream(file) << answer->body;
    const gatewaytest::Run check =
        RunProgram({"bash", "-c", "exec \"$0\" check metrics < \"$1\"", PROMTOOL, file});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");

    std::map<std::string, double> samples;
    std::istringstream lines(answer->body);
    std::string line;
    while (std::getline(lines, line)) {
        if (line[0] != '#')
            samples[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ') + 1));
    }
    const std::string live = R"(line="plant",station="01",unit="1")";
    const std::string silent = R"(line="plant",station="02",unit="2")";
    EXPECT_EQ(samples["qivma_gateway_station_state{" + silent + R"(,state="demoted"})"], 1);
    EXPECT_EQ(samples["qivma_gateway_station_state{" + live + R"(,state="answering"})"], 1);
    EXPECT_GE(samples["qivma_gateway_station_demotions_total{" + silent + "}"], 1);
    EXPECT_GE(samples["qivma_gateway_station_failures_total{" + silent + "}"], 2);
    EXPECT_GT(samples["qivma_gateway_station_reads_total{" + live + "}"], 0);
    EXPECT_EQ(samples["qivma_gateway_tags{" + live + R"(,quality="good"})"], 10);
    EXPECT_EQ(samples["qivma_gateway_tags{" + silent + R"(,quality="demoted"})"], 2);
    EXPECT_EQ(samples[R"(qivma_gateway_line_port_open{line="plant"})"], 1);
    EXPECT_GT(samples[R"(qivma_gateway_line_scan_seconds{line="plant"})"], 0);
    EXPECT_GE(samples[R"(qivma_gateway_line_reads_total{line="plant"})"],
              samples["qivma_gateway_station_reads_total{" + live + "}"] +
                  samples["qivma_gateway_station_reads_total{" + silent + "}"]);

    const Json status = Status();
    const Json &station = status["stations"][1];
    EXPECT_EQ(station["state"], "demoted");
    EXPECT_FALSE(station["online"]);
    EXPECT_TRUE(station["demoted_until"].is_string());
    EXPECT_GT(station["demoted_for_s"], 500);
    EXPECT_LE(station["demoted_for_s"], 600);
    EXPECT_EQ(station["last_error"], "no answer");
    const Json &plant = status["lines"][0];
    EXPECT_EQ(plant["settings"], "19200-8O1");
    EXPECT_GT(plant["utilisation"], 0);
    EXPECT_LE(plant["utilisation"], 1);
    EXPECT_GT(plant["frames_per_second"], 0);
    for (const Json &tag : status["tags"]) {
        EXPECT_EQ(tag["quality"] == "good", tag["station"] != "02") << tag.dump();
        EXPECT_EQ(tag["age_s"].is_number(), tag["station"] != "02") << tag.dump();
    }
}

std::string PayloadName(const ::testing::TestParamInfo<bool> &info) {
    return info.param ? "Json" : "Bare";
}
INSTANTIATE_TEST_SUITE_P(Payloads, MqttGateway, ::testing::Values(false, true), PayloadName);
INSTANTIATE_TEST_SUITE_P(Payloads, MqttGatewayBare, ::testing::Values(false), PayloadName);

}  // namespace
