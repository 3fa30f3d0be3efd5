#include "driver/channel.h"

#include <string.h>

#include "driver/driver_info.h"
#include "driver/port_owners.h"
#include "log/host_log.h"
#include "protocol/station_state.h"
#include "serial/comm_platform.h"
#include "serial/exchange.h"
#include "serial/serial_port.h"

std::atomic<int32_t> instanceCount{0};

namespace {

constexpr char kNullDeviceName[] = "NULLDEV";

// A port name is at most 11 characters and its terminator within the field.
bool IsTerminated(const char (&name)[QIV_PORT_NAME_SIZE]) {
    return memchr(name, '\0', sizeof name) != nullptr;
}

bool IsNullDeviceName(const char *name) {
    for (size_t i = 0;; ++i) {
        char c = name[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != kNullDeviceName[i])
            return false;
        if (c == '\0')
            return true;
    }
}

// The steps of ClosePort: DTR and RTS down, then the close. A handle that
// the driver did not open for this channel (a block copied from another
// channel's, or never zeroed) is forgotten without a call: closing it would
// close another channel's port, or a handle of the host's own.
int32_t CloseChannelPort(DriverInstance &instance) {
    if (instance.port == QIV_INVALID_PORT_HANDLE) {
        instance.port = nullptr;
        return QIV_STATUS_OK;
    }
    if (instance.port == nullptr) {
        return QIV_STATUS_OK;
    }
    if (!OwnsPort(&instance, instance.port)) {
        instance.port = nullptr;
        return QIV_STATUS_OK;
    }
    SetDtr(instance.port, 0);
    SetRts(instance.port, 0);
    if (CloseSerialPort(instance.port) != kSerialOk) {
        return QIV_STATUS_LINE_FAILURE;
    }
    ForgetPortOwner(&instance, instance.port);
    instance.port = nullptr;
    return QIV_STATUS_OK;
}

bool IsOpenPort(QivPortHandle port) {
    return port != nullptr && port != QIV_INVALID_PORT_HANDLE;
}

// A new handle takes the old one's place, and the old port is closed: left
// open, it would hold its device and descriptor for as long as the process
// runs, and its lock would keep the device from every later open.
void AdoptPort(DriverInstance &instance, QivPortHandle port) {
    if (IsOpenPort(instance.port) && instance.port != port) {
        CloseChannelPort(instance);
    }
    instance.port = port;
}

// Opens the port for this channel and records that the channel owns it.
QivPortHandle OpenOwnedPort(DriverInstance &instance, const PortOpenParams &params) {
    const QivPortHandle port = OpenChannelPort(params);
    if (!IsOpenPort(port) || RecordPortOwner(&instance, port)) {
        return port;
    }
    // A port that could not be recorded could never be closed again.
    LogToHost("QIV%s%02d : too many open ports", kDriverName, instance.instanceNumber);
    CloseSerialPort(port);
    return nullptr;
}

// Whether ColdStart is about to open the device that this channel holds
// already: the same name, and a port of the channel's own open.
bool HoldsPortNamed(const DriverInstance &instance, const char *name) {
    return IsOpenPort(instance.port) && OwnsPort(&instance, instance.port) &&
           strncmp(instance.openParams.portName, name, QIV_PORT_NAME_SIZE) == 0;
}

}  // namespace

QivPortHandle OpenChannelPort(const PortOpenParams &params) {
    if (!IsTerminated(params.portName)) {
        return nullptr;
    }
    if (IsNullDeviceName(params.portName)) {
        return QIV_INVALID_PORT_HANDLE;
    }
    QivPortHandle port = nullptr;
    if (OpenSerialPort(params.portName, &params.lineSettings, params.openFlags, &port) !=
        kSerialOk) {
        return nullptr;
    }
    return port;
}

int32_t ColdStart(DriverRequest *request) {
    DriverInstance &instance = *request->instance;
    const PortConfig &config = *static_cast<const PortConfig *>(request->params);

    instance.instanceNumber = ++instanceCount;
    LogToHost("Qiv%s%02d: ColdStart() entered", kDriverName, instance.instanceNumber);
    instance.portEnabled = config.enable;
    if (config.enable == 0) {
        return QIV_STATUS_OK;
    }

    if (!IsTerminated(config.portName)) {
        // The name fills its field: report the twelve characters as given,
        // and open nothing.
        char name[QIV_PORT_NAME_SIZE + 1] = {};
        memcpy(name, config.portName, QIV_PORT_NAME_SIZE);
        LogToHost("QIV%s%02d : Fail to open %s", kDriverName, instance.instanceNumber, name);
        return QIV_STATUS_LINE_FAILURE;
    }
    PortOpenParams params;
    memset(&params, 0, sizeof params);
    memcpy(params.portName, config.portName, strlen(config.portName) + 1);
    params.lineSettings = config.lineSettings;
    params.openFlags = QIV_OPEN_DTR_ENABLE;

    // A second start of a running channel on its own port: the port opens
    // exclusively, so the channel lets go of it first. A different device
    // stays open until the new one has opened.
    if (HoldsPortNamed(instance, params.portName)) {
        CloseChannelPort(instance);
    }
    const QivPortHandle port = OpenOwnedPort(instance, params);
    if (port == nullptr) {
        LogToHost("QIV%s%02d : Fail to open %s", kDriverName, instance.instanceNumber,
                  config.portName);
        return QIV_STATUS_LINE_FAILURE;
    }
    AdoptPort(instance, port);
    StationState::ClearAll(instance);
    SetReadTimeout(port, config.timeout);
    instance.openParams = params;
    instance.timeout = config.timeout;
    instance.unit = request->unit;
    if (!PlatformSetCommMask(port, kEvTxEmpty)) {
        LogToHost("QIV%s%02d : ColdStart() SetCommMask() fail", kDriverName,
                  instance.instanceNumber);
    }
    SetRts(port, 0);
    LogToHost("QIV%s%02d : ColdStart() end OK", kDriverName, instance.instanceNumber);
    return QIV_STATUS_OK;
}

int32_t PurgeInput(DriverRequest *request) {
    const QivPortHandle port = request->instance->port;
    if (port != QIV_INVALID_PORT_HANDLE) {
        ClearLineErrors(port);
        DiscardInput(port);
    }
    return QIV_STATUS_OK;
}

int32_t ClosePort(DriverRequest *request) {
    return CloseChannelPort(*request->instance);
}

int32_t OpenPort(DriverRequest *request) {
    DriverInstance &instance = *request->instance;
    const QivPortHandle port = OpenOwnedPort(instance, instance.openParams);
    if (port == nullptr) {
        return QIV_STATUS_LINE_FAILURE;
    }
    AdoptPort(instance, port);
    instance.portEnabled = 1;
    return QIV_STATUS_OK;
}

int32_t ReconfigurePort(DriverRequest *request) {
    DriverInstance &instance = *request->instance;
    const PortReconfig &reconfig = *static_cast<const PortReconfig *>(request->params);
    if (!IsTerminated(reconfig.portName)) {
        return QIV_STATUS_LINE_FAILURE;
    }
    if (reconfig.timeout != 0) {
        instance.timeout = reconfig.timeout;
    }
    const bool renamed =
        strncmp(reconfig.portName, instance.openParams.portName, QIV_PORT_NAME_SIZE) != 0;
    if (renamed && instance.port != nullptr) {
        CloseChannelPort(instance);
    }
    memcpy(instance.openParams.portName, reconfig.portName, strlen(reconfig.portName) + 1);
    instance.openParams.lineSettings = reconfig.lineSettings;
    const QivPortHandle port = OpenOwnedPort(instance, instance.openParams);
    if (port == nullptr) {
        return QIV_STATUS_LINE_FAILURE;
    }
    AdoptPort(instance, port);
    return QIV_STATUS_OK;
}

int32_t EndQiv(DriverRequest *request) {
    DriverInstance &instance = *request->instance;
    CloseChannelPort(instance);
    LogToHost("QIV%s %02d : EndQiv()", kDriverName, instance.instanceNumber);
    const int32_t left = --instanceCount;
    LogToHost("QIV%s %02d : No. of Instances left: %d", kDriverName, instance.instanceNumber, left);
    instance.instanceNumber = -1;
    return QIV_STATUS_OK;
}
