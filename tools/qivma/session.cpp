#include "tools/qivma/session.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include <chrono>
#include <set>

#include "host/kelpra.h"
#include "tools/qivma/address_rules.h"
#include "tools/qivma/tool_platform.h"
#include "tools/qivma/value_format.h"

namespace {

int32_t CallDriver(int32_t command, void *params, DriverInstance *instance = nullptr,
                   uint8_t unit = 0) {
    DriverRequest request = {};
    request.instance = instance;
    request.command = command;
    request.unit = unit;
    request.params = params;
    return DriverEntry()(&request);
}

bool IsDoubleWordDevice(int32_t device) {
    return device == 'E' || device == 'G';
}

std::string StationText(const Tag &tag) {
    char text[8];
    snprintf(text, sizeof text, "%02X", static_cast<unsigned>(tag.definition.station) & 0xFF);
    return text;
}

}  // namespace

Session::Session(const LineOptions &options) : options_(options) {}

Session::~Session() {
    if (started_) {
        CallDriver(QIV_CMD_END, nullptr, instance_);
    }
    StopSimulator();
    RemoveLink(shortLink_);
}

DriverInfo Session::Info() {
    DriverInfo info = {};
    CallDriver(QIV_CMD_GET_DRIVER_INFO, &info);
    return info;
}

bool Session::ParseTag(Tag &tag, std::vector<std::string> *reasons) {
    tag.definition = {};
    tag.definition.addressText = tag.address.c_str();
    tag.definition.dataType = tag.dataType;
    tag.definition.count = tag.count;
    if (CallDriver(QIV_CMD_PARSE_TAG, &tag.definition) == QIV_STATUS_OK) {
        return true;
    }
    if (reasons != nullptr) {
        *reasons = AddressProblems(tag.address, tag.dataType, tag.count);
        if (reasons->empty())
            reasons->push_back("the driver refuses it");
    }
    return false;
}

int Session::WordsOf(const Tag &tag) {
    if (tag.count == 0)
        return 2;  // words 0 and 1 of the buffer
    return IsDoubleWordDevice(tag.definition.device) ? 2 * tag.count : tag.count;
}

bool Session::Start(const std::vector<Tag> &tags, std::string *error) {
    kelpra_set_echo(options_.verbose ? 1 : 0);
    std::string device = options_.port;
    if (options_.sim) {
        SimulatorLine sim;
        std::set<std::string> stations(options_.simStations.begin(), options_.simStations.end());
        if (stations.empty()) {
            stations.insert("01");
            for (const Tag &tag : tags)
                stations.insert(StationText(tag));
        }
        sim.stations.assign(stations.begin(), stations.end());
        sim.baud = options_.baud;
        sim.dataBits = options_.dataBits;
        sim.parity = "NOEMS"[options_.parity % 5];
        sim.stopBits = options_.stopBits == QIV_STOPBITS_TWO            ? 2
                       : options_.stopBits == QIV_STOPBITS_ONE_AND_HALF ? 1.5
                                                                        : 1;
        if (!StartSimulator(sim, &device, error))
            return false;
    }
    if (device.empty()) {
        *error = "no port: give --port DEVICE, or --sim for the built-in simulator";
        return false;
    }
    portName_ = HostPortName(device, &shortLink_);

    const DriverInfo info = Info();
    instanceBlock_.assign(static_cast<size_t>(info.instanceSize), 0);
    instance_ = reinterpret_cast<DriverInstance *>(instanceBlock_.data());

    PortConfig config = {};
    memcpy(config.portName, portName_.c_str(),
           std::min(portName_.size() + 1, sizeof config.portName));
    config.enable = 1;
    config.timeout = (options_.timeoutMs + 9) / 10;
    config.lineSettings = {options_.baud, options_.dataBits, options_.stopBits, options_.parity};
    if (CallDriver(QIV_CMD_COLD_START, &config, instance_) != QIV_STATUS_OK) {
        CallDriver(QIV_CMD_END, nullptr, instance_);
        *error = "port " + device + " did not open: " + DiagnosePort(device);
        return false;
    }
    started_ = true;
    return true;
}

Outcome Session::Transact(int32_t command, const Tag &tag, int16_t *buffer) {
    TagAccess access = {};
    access.station = tag.definition.station;
    access.device = tag.definition.device;
    access.wordAddress = tag.definition.wordAddress;
    access.bitNumber = tag.definition.bitNumber;
    access.width = tag.definition.width;
    access.dataType = tag.dataType;
    access.count = tag.count;
    access.data = buffer;
    // Cleared so that what this call sent and received shows.
    memset(instance_->txFrame, 0, sizeof instance_->txFrame);
    memset(instance_->rxFrame, 0, sizeof instance_->rxFrame);

    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    outcome.status = CallDriver(command, &access, instance_);
    outcome.milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    outcome.request = instance_->txFrame;
    size_t received =
        static_cast<size_t>(std::max(0, std::min<int32_t>(instance_->rxLength, QIV_RX_FRAME_SIZE)));
    while (received > 0 && instance_->rxFrame[received - 1] == '\0')
        --received;
    if (!outcome.request.empty())
        outcome.response.assign(instance_->rxFrame, received);
    return outcome;
}

Outcome Session::Read(const Tag &tag) {
    std::vector<int16_t> buffer(64, 0);
    const bool block = tag.count != 0;
    Outcome outcome = Transact(block ? QIV_CMD_READ_BLOCK : QIV_CMD_READ_VALUE, tag, buffer.data());
    outcome.words.assign(buffer.begin(), buffer.begin() + WordsOf(tag));
    return outcome;
}

Outcome Session::Write(const Tag &tag, const std::vector<int16_t> &words) {
    std::vector<int16_t> buffer(64, 0);
    const bool block = tag.count != 0;
    if (block) {
        std::copy(words.begin(), words.end(), buffer.begin());
    } else if (words.size() == 2) {
        buffer[0] = words[0];
        buffer[1] = words[1];
    } else if (!words.empty()) {
        buffer[1] = words[0];
    }
    return Transact(block ? QIV_CMD_WRITE_BLOCK : QIV_CMD_WRITE_VALUE, tag, buffer.data());
}

std::string Session::Explain(const Tag &tag, const Outcome &outcome) const {
    const std::string station = StationText(tag);
    if (outcome.request.empty()) {
        return "the driver composed no frame for it (a block of more than 27 words, a write to "
               "T or C, or a contact or value that the single-bit frame cannot hold)";
    }
    if (outcome.status == QIV_STATUS_LINE_FAILURE) {
        if (instance_->port == QIV_INVALID_PORT_HANDLE)
            return "the channel has no device (NULLDEV)";
        return "no answer from station " + station + " (time-out " +
               std::to_string(((options_.timeoutMs + 9) / 10) * 10) + " ms, 3 attempts)";
    }
    const std::string &r = outcome.response;
    if (r.size() >= 6 && r[0] == '%' && r[3] == '!') {
        const std::string code = r.substr(4, 2);
        const char *meaning = code == "40"   ? "block check error"
                              : code == "41" ? "format error"
                              : code == "42" ? "command not supported"
                              : code == "43" ? "procedure error"
                              : code == "60" ? "parameter error"
                              : code == "61" ? "data error: address out of range or data refused"
                              : code == "27" ? "frame too long"
                                             : "controller error";
        return "station " + r.substr(1, 2) + " answered with error " + code + " (" + meaning +
               "): " + PrintableFrame(r);
    }
    if (r.empty())
        return "nothing usable came back";
    return "the answer was incomplete or not a good one: " + PrintableFrame(r);
}
