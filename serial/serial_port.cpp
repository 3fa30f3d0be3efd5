#include "serial/serial_port.h"

#include <string.h>

#include "serial/comm_platform.h"
#include "serial/line_monitor.h"

namespace {

constexpr uint32_t kDcbLength = 28;
constexpr char kErrorCharacter = static_cast<char>(0xFC);
constexpr int32_t kDiscardTimeout = 5;  // 50 ms for the discarding reads
constexpr uint32_t kDiscardChunk = 512;

// DTR and RTS while the port is open, by the first test that matches.
uint8_t DtrControlOf(uint16_t flags) {
    if ((flags & QIV_OPEN_DTR_ENABLE) != 0)
        return kDtrControlEnable;
    if ((flags & QIV_OPEN_DTR_HANDSHAKE) != 0)
        return kDtrControlHandshake;
    return kDtrControlDisable;
}

uint8_t RtsControlOf(uint16_t flags) {
    if ((flags & QIV_OPEN_RTS_ENABLE) != 0)
        return kRtsControlEnable;
    if ((flags & QIV_OPEN_RTS_HANDSHAKE) != 0)
        return kRtsControlHandshake;
    if ((flags & QIV_OPEN_RTS_TOGGLE) != 0)
        return kRtsControlToggle;
    return kRtsControlDisable;
}

// The host's settings over the line state as read; every other field stays.
// The host's record holds stop bits before parity, the line state the other
// way round: each goes by its meaning.
void ApplySettings(CommState &state, const SerialLineSettings &settings, uint16_t flags) {
    state.baudRate = settings.baudRate;
    state.fBinary = 1;
    state.fParity = 1;
    state.fOutxCtsFlow = 0;
    state.fOutxDsrFlow = 0;
    state.fDtrControl = DtrControlOf(flags);
    state.fDsrSensitivity = 0;
    state.fOutX = 0;
    state.fInX = 0;
    state.fErrorChar = 0;
    state.fNull = 0;  // NUL bytes are data
    state.fRtsControl = RtsControlOf(flags);
    state.fAbortOnError = 0;
    state.byteSize = static_cast<uint8_t>(settings.dataBits & 0xFF);
    state.parity = static_cast<uint8_t>(settings.parity & 0xFF);
    state.stopBits = static_cast<uint8_t>(settings.stopBits & 0xFF);
    state.errorChar = kErrorCharacter;
}

}  // namespace

int32_t OpenSerialPort(const char *name, const SerialLineSettings *settings, uint16_t openFlags,
                       QivPortHandle *port) {
    *port = PlatformCreateFile(name);
    if (*port == QIV_INVALID_PORT_HANDLE) {
        return kSerialOpenFailed;
    }
    // The platform's null device takes no line settings.
    if (strcmp(name, "NUL") == 0) {
        return kSerialOk;
    }
    CommState state;
    memset(&state, 0, sizeof state);
    state.length = kDcbLength;
    if (!PlatformGetCommState(*port, &state)) {
        PlatformCloseHandle(*port);
        return kSerialStateUnreadable;
    }
    // The time-outs come before the line state.
    const CommTimeouts timeouts = {0, 0, kOpenReadTimeoutMs, 0, 0};
    if (!PlatformSetCommTimeouts(*port, &timeouts)) {
        PlatformCloseHandle(*port);
        return kSerialOpenFailed;
    }
    ApplySettings(state, *settings, openFlags);
    if (!PlatformSetCommState(*port, &state)) {
        PlatformCloseHandle(*port);
        return kSerialStateRefused;
    }
    // Only a recommendation to the platform: its answer does not matter.
    PlatformSetupComm(*port, kQueueSize, kQueueSize);
    return kSerialOk;
}

int32_t CloseSerialPort(QivPortHandle port) {
    return PlatformCloseHandle(port) ? kSerialOk : kSerialCallFailed;
}

int32_t SetReadTimeout(QivPortHandle port, int32_t timeout) {
    CommTimeouts timeouts;
    if (!PlatformGetCommTimeouts(port, &timeouts)) {
        return 0;
    }
    const uint32_t previous = timeouts.readTotalTimeoutConstant;
    const uint32_t wanted = static_cast<uint32_t>(timeout) * 10u;
    if (previous != wanted) {
        timeouts.readTotalTimeoutConstant = wanted;
        if (!PlatformSetCommTimeouts(port, &timeouts)) {
            return 0;
        }
    }
    return static_cast<int32_t>(previous / 10u);
}

int32_t DiscardInput(QivPortHandle port) {
    uint32_t errors = 0;
    CommStat stat = {0};
    const bool queried = PlatformClearCommError(port, &errors, &stat);
    if (queried && stat.cbInQue == 0) {
        return kSerialOk;
    }
    // Drain also when the query failed: whatever waits is read in short
    // reads until one comes back less than full, or the budget is spent.
    CommTimeouts previous;
    const bool known = PlatformGetCommTimeouts(port, &previous);
    if (known) {
        CommTimeouts shortReads = previous;
        shortReads.readTotalTimeoutConstant = kDiscardTimeout * 10;
        PlatformSetCommTimeouts(port, &shortReads);
    }
    uint32_t budget = (queried ? stat.cbInQue : 0) + kDiscardChunk;
    char scratch[kDiscardChunk];
    bool readOk;
    uint32_t asked, got;
    do {
        asked = budget < kDiscardChunk ? budget : kDiscardChunk;
        got = 0;
        readOk = PlatformReadFile(port, scratch, asked, &got);
        ReportLine(port, QIV_LINE_DISCARDED, scratch, got);
        budget -= got;
    } while (readOk && got == asked && budget > 0);
    // Exactly as it was: a time-out of 0 or of a few milliseconds included.
    if (known) {
        PlatformSetCommTimeouts(port, &previous);
    }
    return readOk ? kSerialOk : kSerialDiscardFailed;
}

int32_t WriteSerial(QivPortHandle port, const void *bytes, uint32_t count, uint32_t *written) {
    uint32_t done = 0;
    if (!PlatformWriteFile(port, bytes, count, &done)) {
        ReportLineFailure(port);
        return kSerialCallFailed;
    }
    ReportLine(port, QIV_LINE_WRITTEN, bytes, done < count ? done : count);
    if (written != nullptr) {
        *written = done;
    }
    return done == count ? kSerialOk : kSerialShortWrite;
}

int32_t ReadSerialExact(QivPortHandle port, void *buffer, uint32_t count, uint32_t *received) {
    char *bytes = static_cast<char *>(buffer);
    uint32_t total = 0;
    if (received != nullptr) {
        *received = 0;
    }
    do {
        uint32_t got = 0;
        // A read pass asks for what is missing, as a 16-bit count.
        const uint16_t missing = static_cast<uint16_t>(count - total);
        if (!PlatformReadFile(port, bytes + total, missing, &got)) {
            ReportLineFailure(port);
            return kSerialCallFailed;
        }
        if (got == 0) {
            return kSerialCallFailed;
        }
        ReportLine(port, QIV_LINE_READ, bytes + total, got);
        total += got;
        if (received != nullptr) {
            *received = total;
        }
    } while (total < count);
    return kSerialOk;
}

bool ReportsASerialLine(QivPortHandle port) {
    uint32_t subType = kPstUnspecified;
    return PlatformGetCommProperties(port, &subType) && subType == kPstRs232;
}
