// A host of the driver for the suites that run it whole: one channel driven
// only through QivMain, with the blocks that a host fills for each command,
// and a line monitor that keeps what it sees. A header of its own, so that
// every build of those suites takes it as it is: the tests in process, the
// uart lane's guest program and the Windows host that the wine suite drives.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "qivma.h"

using Words = std::vector<int16_t>;

constexpr SerialLineSettings kDefaultLine = {19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};

// One channel, driven as a host drives it.
class Host {
  public:
    // `entry` is QivMain as the host reached it: linked, or looked up in the
    // library. The instance block is `instanceSize` bytes, zeroed, as a host
    // allocates it from what GetDriverInfo reports.
    explicit Host(QivMainFunction entry = &QivMain, size_t instanceSize = sizeof(DriverInstance))
        : entry_(entry), instance_(instanceSize) {}

    int32_t Call(int32_t command, void *params = nullptr) {
        DriverRequest request = {};
        request.instance = &instance();
        request.command = command;
        request.unit = unit_;
        request.params = params;
        return entry_(&request);
    }
    int32_t Start(const std::string &port, int32_t timeout = 4,
                  SerialLineSettings line = kDefaultLine) {
        PortConfig config = {};
        strncpy(config.portName, port.c_str(), sizeof config.portName - 1);
        config.enable = 1;
        config.timeout = timeout;
        config.lineSettings = line;
        return Call(QIV_CMD_COLD_START, &config);
    }
    int32_t Reconfigure(const std::string &port, SerialLineSettings line = kDefaultLine) {
        PortReconfig reconfig = {};
        strncpy(reconfig.portName, port.c_str(), sizeof reconfig.portName - 1);
        reconfig.lineSettings = line;
        return Call(QIV_CMD_RECONFIGURE_PORT, &reconfig);
    }
    // Parses the address (0 on success) and keeps its fields for the access.
    int32_t Parse(const char *address, int32_t dataType, int32_t count = 0) {
        TagDefinition definition = {};
        definition.addressText = address;
        definition.dataType = dataType;
        definition.count = count;
        const int32_t status = Call(QIV_CMD_PARSE_TAG, &definition);
        access_ = {};
        access_.station = definition.station;
        access_.device = definition.device;
        access_.wordAddress = definition.wordAddress;
        access_.bitNumber = definition.bitNumber;
        access_.width = definition.width;
        access_.dataType = dataType;
        access_.count = count;
        access_.data = buffer_;
        return status;
    }
    // Reads the parsed tag into a buffer filled with 0x3C3C; its first `n`
    // words afterwards.
    int32_t Read(Words &words, size_t n) {
        for (int16_t &word : buffer_)
            word = 0x3C3C;
        const int32_t status =
            Call(access_.count == 0 ? QIV_CMD_READ_VALUE : QIV_CMD_READ_BLOCK, &access_);
        words.assign(buffer_, buffer_ + n);
        return status;
    }
    int32_t Write(const Words &words) {
        std::copy(words.begin(), words.end(), buffer_);
        return Call(access_.count == 0 ? QIV_CMD_WRITE_VALUE : QIV_CMD_WRITE_BLOCK, &access_);
    }
    // The unit number that every request carries (0 unless set).
    void SetUnit(int32_t unit) { unit_ = unit; }
    DriverInstance &instance() { return *reinterpret_cast<DriverInstance *>(instance_.data()); }
    const TagAccess &access() const { return access_; }

  private:
    QivMainFunction entry_;
    std::vector<unsigned char> instance_;
    int32_t unit_ = 0;
    TagAccess access_ = {};
    int16_t buffer_[64] = {};
};

// What a line monitor sees: each event's kind and bytes, and its time, in
// order.
struct SeenOnTheLine {
    std::vector<std::pair<int32_t, std::string>> events;
    std::vector<uint64_t> times;

    static void QIVMA_CALL Record(void *context, const QivLineEvent *event) {
        auto *seen = static_cast<SeenOnTheLine *>(context);
        seen->events.emplace_back(event->kind, std::string(event->bytes, event->count));
        seen->times.push_back(event->microseconds);
    }
    // The bytes of one kind, joined.
    std::string All(int32_t kind) const {
        std::string all;
        for (const auto &event : events)
            all += event.first == kind ? event.second : "";
        return all;
    }
};

// Sets the line monitor for as long as it lives.
class Monitored {
  public:
    explicit Monitored(SeenOnTheLine *seen) { QivSetLineMonitor(&SeenOnTheLine::Record, seen); }
    ~Monitored() { QivSetLineMonitor(nullptr, nullptr); }
    Monitored(const Monitored &) = delete;
    Monitored &operator=(const Monitored &) = delete;
};
