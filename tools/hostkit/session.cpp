#include "tools/hostkit/session.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "tools/hostkit/host_platform.h"
#include "tools/hostkit/tcp_line.h"
#include "wire/wire_rules.h"

namespace {

int32_t CallDriver(int32_t command, void *params, DriverInstance *instance = nullptr) {
    DriverRequest request = {};
    request.instance = instance;
    request.command = command;
    request.params = params;
    return DriverEntry()(&request);
}

// The words that the driver filled for a single value: word 1 of the buffer
// for 16 bits and for a contact, words 0 and 1 for 32 bits.
std::vector<uint16_t> SingleValueWords(const Tag &tag, const std::vector<int16_t> &buffer) {
    if (tag.definition.width == 32)
        return {static_cast<uint16_t>(buffer[0]), static_cast<uint16_t>(buffer[1])};
    return {static_cast<uint16_t>(buffer[1])};
}

size_t BlockWords(const Tag &tag) {
    return static_cast<size_t>(tag.count * wire::WordsPerValue(tag.definition.device));
}

// The line monitor is the process's, and the driver calls it on the thread
// that called QivMain: the operation that thread has under way records it.
struct Capture {
    Outcome *outcome = nullptr;
    uint64_t start = 0;
};
thread_local Capture t_capture;

void QIVMA_CALL OnLine(void *, const QivLineEvent *event) {
    Outcome *outcome = t_capture.outcome;
    if (outcome == nullptr)
        return;
    const uint64_t since =
        event->microseconds > t_capture.start ? event->microseconds - t_capture.start : 0;
    if (event->kind == QIV_LINE_FAILED) {
        if (outcome->portError == 0)
            outcome->portError = event->error != 0 ? event->error : UINT32_MAX;
        return;
    }
    outcome->line.push_back({event->kind, since, std::string(event->bytes, event->count)});
}

void WatchLine() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (QivSetLineMonitorFunction setMonitor = LineMonitorEntry())
            setMonitor(&OnLine, nullptr);
    });
}

}  // namespace

Session::Session(const LineOptions &options) : options_(options) {}

Session::~Session() {
    End();
}

void Session::End() {
    if (started_)
        CallDriver(QIV_CMD_END, nullptr, instance_);
    started_ = false;
    RemoveLink(shortLink_);
    shortLink_.clear();
    tcp_.reset();
}

DriverInfo Session::Info() {
    DriverInfo info = {};
    CallDriver(QIV_CMD_GET_DRIVER_INFO, &info);
    return info;
}

bool Session::ParseTag(Tag &tag) {
    tag.definition = {};
    tag.definition.addressText = tag.address.c_str();
    tag.definition.dataType = tag.dataType;
    tag.definition.count = tag.count;
    const bool ok = CallDriver(QIV_CMD_PARSE_TAG, &tag.definition) == QIV_STATUS_OK;
    // The text belongs to this tag, which may be copied.
    tag.definition.addressText = nullptr;
    return ok;
}

bool Session::Start(std::string *error) {
    End();
    std::string device = options_.port;
    if (IsTcpPort(device)) {
        tcp_ = std::make_unique<TcpLine>();
        if (!tcp_->Open(device, TcpConnectBoundMs(options_.timeoutMs), error)) {
            *error = "port " + device + " did not open: " + *error;
            tcp_.reset();
            return false;
        }
        device = tcp_->Device();
    }
    portName_ = HostPortName(device, &shortLink_);

    const DriverInfo info = Info();
    instanceBlock_.assign(static_cast<size_t>(info.instanceSize), 0);
    instance_ = reinterpret_cast<DriverInstance *>(instanceBlock_.data());

    PortConfig config = {};
    memcpy(config.portName, portName_.c_str(),
           std::min(portName_.size() + 1, sizeof config.portName));
    config.enable = 1;
    config.timeout = options_.timeoutMs / 10;
    config.lineSettings = options_.settings;
    if (CallDriver(QIV_CMD_COLD_START, &config, instance_) != QIV_STATUS_OK) {
        CallDriver(QIV_CMD_END, nullptr, instance_);
        *error = "port " + device + " did not open: " + DiagnosePort(device);
        return false;
    }
    // A new connection may bring bytes that a device server kept for the one
    // before; a host that clears txFrame has every station brought in step
    // before its first request, so nothing that came before a status answer
    // is taken for an answer.
    if (tcp_)
        memset(instance_->txFrame, 0, sizeof instance_->txFrame);
    started_ = true;
    WatchLine();
    return true;
}

std::string Session::PortText() const {
    return tcp_ ? options_.port + " on " + portName_ : portName_;
}

std::string Session::PortFailureText(uint32_t code) const {
    const std::string broken = tcp_ ? tcp_->Broken() : "";
    return broken.empty() ? SystemErrorText(code) : broken;
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
    // Cleared so that what this call sent and received shows. Of txFrame only
    // the frame: the channel keeps what it knows of the stations beyond it.
    instance_->txFrame[0] = '\0';
    memset(instance_->rxFrame, 0, sizeof instance_->rxFrame);

    Outcome outcome;
    t_capture = {&outcome, MonotonicMicroseconds()};
    const auto start = std::chrono::steady_clock::now();
    outcome.status = CallDriver(command, &access, instance_);
    outcome.milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    t_capture = {};
    if (outcome.portError != 0)
        outcome.portFailure = PortFailureText(outcome.portError);
    outcome.request = instance_->txFrame;
    size_t received =
        static_cast<size_t>(std::max(0, std::min<int32_t>(instance_->rxLength, QIV_RX_FRAME_SIZE)));
    while (received > 0 && instance_->rxFrame[received - 1] == '\0')
        --received;
    if (!outcome.request.empty())
        outcome.response.assign(instance_->rxFrame, received);
    outcome.nullDevice = instance_->port == QIV_INVALID_PORT_HANDLE;
    outcome.timeoutMs = options_.timeoutMs;
    return outcome;
}

Outcome Session::Read(const Tag &tag) {
    std::vector<int16_t> buffer(std::max<size_t>(64, BlockWords(tag)), 0);
    const bool block = tag.count != 0;
    Outcome outcome = Transact(block ? QIV_CMD_READ_BLOCK : QIV_CMD_READ_VALUE, tag, buffer.data());
    if (block)
        outcome.words.assign(buffer.begin(), buffer.begin() + static_cast<long>(BlockWords(tag)));
    else
        outcome.words = SingleValueWords(tag, buffer);
    return outcome;
}

Outcome Session::Write(const Tag &tag, const std::vector<uint16_t> &words) {
    std::vector<int16_t> buffer(std::max<size_t>(64, words.size()), 0);
    const bool block = tag.count != 0;
    if (block || words.size() == 2) {
        std::copy(words.begin(), words.end(), buffer.begin());
    } else if (!words.empty()) {
        buffer[1] = static_cast<int16_t>(words[0]);
    }
    return Transact(block ? QIV_CMD_WRITE_BLOCK : QIV_CMD_WRITE_VALUE, tag, buffer.data());
}
