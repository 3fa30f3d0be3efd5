// The gateway's MQTT figure, printed (not a test): the time from a value
// changing in the controller to its message reaching a subscriber, at p50 and
// p99, beside the scan period and the scan's time on the line. The gateway's
// parts run in this process (the engine, the tag table, the MQTT client, as
// the program runs them) against the simulator paced at 19200 bit/s; the
// mosquitto broker runs beside it on a loopback port, and a subscriber of its
// own takes the messages.
//   qivma_gateway_mqtt_bench [--samples N] [--rate-ms N] [--mosquitto PATH]
#include <fcntl.h>
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/kelpra.h"
#include "tests/gateway/mosquitto_broker.h"
#include "tools/fpsim/simulator.h"
#include "tools/gateway/config.h"
#include "tools/gateway/engine.h"
#include "tools/gateway/mqtt_client.h"
#include "tools/gateway/tag_table.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Twenty words of station 01 in one block; the measured one is the first.
constexpr char kConfig[] =
    R"(mqtt: {port: @PORT@, client_id: bench, topic_prefix: bench, discovery: false}
lines:
  - name: line1
    port: @PORT_PATH@
    settings: 19200-8O1
    timeout_ms: 40
    rate_ms: @RATE@
    stations: [{station: 01, unit: 1}]
    tags:
      - {name: level, address: 01D00100, count: 20, type: uint16, register: 0}
)";

std::string Replace(std::string text, const std::string &mark, const std::string &value) {
    return text.replace(text.find(mark), mark.size(), value);
}

// What the subscriber saw of the measured topic: each payload and when.
class Subscriber {
  public:
    bool Start(int port, const std::string &topic) {
        mosquitto_lib_init();
        client_ = mosquitto_new("bench-subscriber", true, this);
        mosquitto_connect_callback_set(client_, [](mosquitto *m, void *self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber *>(self)->topic_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(
            client_, [](mosquitto *, void *self, int, int, const int *) {
                static_cast<Subscriber *>(self)->Note("", Clock::now(), true);
            });
        mosquitto_message_callback_set(
            client_, [](mosquitto *, void *self, const mosquitto_message *message) {
                static_cast<Subscriber *>(self)->Note(
                    std::string(static_cast<const char *>(message->payload),
                                static_cast<size_t>(message->payloadlen)),
                    Clock::now(), false);
            });
        topic_ = topic;
        mosquitto_loop_start(client_);
        return mosquitto_connect_async(client_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS;
    }
    ~Subscriber() {
        if (client_ != nullptr) {
            mosquitto_disconnect(client_);
            mosquitto_loop_stop(client_, false);
            mosquitto_destroy(client_);
        }
    }
    bool WaitSubscribed() {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, std::chrono::seconds(30), [&] { return subscribed_; });
    }
    // When `payload` came; false if it did not within 10 s.
    bool WaitFor(const std::string &payload, Clock::time_point &at) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] {
            at = at_;
            return last_ == payload;
        });
    }

  private:
    void Note(const std::string &payload, Clock::time_point at, bool subscribed) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (subscribed) {
            subscribed_ = true;
        } else {
            last_ = payload;
            at_ = at;
        }
        changed_.notify_all();
    }

    mosquitto *client_ = nullptr;
    std::string topic_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::string last_;
    Clock::time_point at_;
};

double Percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char **argv) {
    int samples = 200;
    int rateMs = 100;
    std::string mosquittoPath = "/usr/sbin/mosquitto";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--samples")
            samples = atoi(argv[i + 1]);
        else if (option == "--rate-ms")
            rateMs = atoi(argv[i + 1]);
        else if (option == "--mosquitto")
            mosquittoPath = argv[i + 1];
    }
    if (samples < 2 || rateMs < 0 || argc % 2 == 0) {
        fprintf(stderr, "usage: %s [--samples N] [--rate-ms N] [--mosquitto PATH]\n", argv[0]);
        return 2;
    }

    char dir[] = "/tmp/qivma-mqtt-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const int port = gatewaytest::FreePort();
    const std::string brokerConfig = std::string(dir) + "/mosquitto.conf";
    gatewaytest::WriteBrokerConfig(brokerConfig, port);
    // The broker's log and the driver's messages would hide the figures.
    kelpra_set_echo(0);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t broker = -1;
    std::vector<char *> brokerArgs = {mosquittoPath.data(), const_cast<char *>("-c"),
                                      const_cast<char *>(brokerConfig.c_str()), nullptr};
    const int spawned =
        posix_spawn(&broker, mosquittoPath.c_str(), &quiet, nullptr, brokerArgs.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) {
        fprintf(stderr, "%s did not start (--mosquitto PATH)\n", mosquittoPath.c_str());
        return 1;
    }

    fpsim::Options options;
    options.line.baud = 19200;  // 8O1, as the configuration's line
    options.linkPath = std::string(dir) + "/line1";
    fpsim::Simulator sim(options);
    std::string error;
    if (!sim.Start(&error)) {
        fprintf(stderr, "the simulator did not start: %s\n", error.c_str());
        kill(broker, SIGTERM);
        return 1;
    }
    gateway::Config config;
    std::vector<std::string> errors;
    std::string text = Replace(kConfig, "@PORT@", std::to_string(port));
    text = Replace(text, "@PORT_PATH@", options.linkPath);
    text = Replace(text, "@RATE@", std::to_string(rateMs));
    if (!gateway::ParseConfig(text, "bench", config, errors)) {
        fprintf(stderr, "%s\n", errors.front().c_str());
        return 1;
    }

    // The subscriber first: once it holds, the broker is up for the gateway.
    Subscriber subscriber;
    const bool subscribed =
        subscriber.Start(port, "bench/line1/01/level_0") && subscriber.WaitSubscribed();
    gateway::TagTable table(config);
    gateway::Engine engine(config, table);
    gateway::MqttClient mqtt(config, table, engine);
    if (!subscribed || !engine.Plan(&error) || !mqtt.Start(&error)) {
        fprintf(stderr, "could not start: %s\n", subscribed ? error.c_str() : "no broker");
        kill(broker, SIGTERM);
        return 1;
    }
    engine.Start();

    std::mt19937 random(7);
    std::vector<double> latencies;
    Clock::time_point at;
    uint16_t value = 1000;
    sim.WriteWord("01", fpsim::Area::kData, 100, value);
    subscriber.WaitFor(std::to_string(value), at);
    for (int i = 0; i < samples; ++i) {
        // A moment at random within the scan period, as a plant's values change.
        std::this_thread::sleep_for(
            std::chrono::microseconds(random() % (static_cast<unsigned>(rateMs) * 1000 + 1)));
        ++value;
        const Clock::time_point changed = Clock::now();
        sim.WriteWord("01", fpsim::Area::kData, 100, value);
        if (!subscriber.WaitFor(std::to_string(value), at)) {
            fprintf(stderr, "value %u never came\n", value);
            break;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(at - changed).count());
    }
    const double scanMs = table.Lines()[0].scanMs;
    const gateway::LinePlan plan = engine.Plans()[0];
    mqtt.Stop();
    engine.Stop();
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    if (latencies.size() < 2)
        return 1;

    double sum = 0;
    for (const double ms : latencies)
        sum += ms;
    printf(
        "qivma-gateway: a value changed in the controller to its MQTT message (QoS 1, "
        "retained)\n");
    printf(
        "line 19200 bit/s 8O1, %zu tags in %zu frame%s, %.1f ms on the line; scan period "
        "%d ms, last scan %.1f ms\n",
        config.tags.size(), plan.frames.size(), plan.frames.size() == 1 ? "" : "s", plan.lineMs,
        rateMs, scanMs);
    // A change waits for the next read of its block, up to a period, and
    // then for that read's time on the line.
    printf("%zu changes: p50 %.1f ms, p99 %.1f ms, mean %.1f ms, max %.1f ms\n", latencies.size(),
           Percentile(latencies, 0.50), Percentile(latencies, 0.99), sum / latencies.size(),
           Percentile(latencies, 1.0));
    return 0;
}
