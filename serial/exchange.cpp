#include "serial/exchange.h"

#include "log/host_log.h"
#include "serial/comm_platform.h"
#include "serial/serial_port.h"

void ClearLineErrors(QivPortHandle port, WaitingInput *waiting) {
    if (waiting != nullptr) {
        *waiting = {false, 0};
    }
    if (port == QIV_INVALID_PORT_HANDLE) {
        return;
    }
    uint32_t errors = 0;
    CommStat stat = {0};
    if (!PlatformClearCommError(port, &errors, &stat)) {
        // A failed query fills no error word: the platform's own code for the
        // failure is printed in its place, which tells the reader why.
        LogToHost("ClearCommError (Rx) failed %08lx",
                  static_cast<unsigned long>(PlatformLastError()));
        return;
    }
    if (waiting != nullptr) {
        *waiting = {true, stat.cbInQue};
    }
}

bool SetRts(QivPortHandle port, uint8_t on) {
    if (port == QIV_INVALID_PORT_HANDLE) {
        return false;
    }
    if (!PlatformEscapeCommFunction(port, on == 1 ? kSetRts : kClrRts)) {
        LogToHost("EscapeCommFunction fail (RTS)");
        return false;
    }
    return true;
}

bool SetDtr(QivPortHandle port, uint8_t on) {
    if (port == QIV_INVALID_PORT_HANDLE) {
        return false;
    }
    if (!PlatformEscapeCommFunction(port, on == 1 ? kSetDtr : kClrDtr)) {
        LogToHost("EscapeCommFunction fail (DTR)");
        return false;
    }
    return true;
}

int32_t GetCts(QivPortHandle port) {
    if (port == QIV_INVALID_PORT_HANDLE) {
        return 0;
    }
    uint32_t status = 0;
    if (!PlatformGetCommModemStatus(port, &status)) {
        LogToHost("GetCommModemStatus fail (CTS)");
        return 0;
    }
    return (status & kMsCtsOn) != 0 ? 1 : 0;
}

void WaitTxEmpty(QivPortHandle port) {
    if (port == QIV_INVALID_PORT_HANDLE) {
        return;
    }
    uint32_t events = 0;
    if (!PlatformWaitCommEvent(port, &events) || (events & kEvTxEmpty) == 0) {
        LogToHost("SG: WaitTxEmpty() WaitCommEvent() EV_TXEMPTY fail");
    }
}

int32_t WaitCtsOn(QivPortHandle port) {
    if (port == QIV_INVALID_PORT_HANDLE) {
        return 0;
    }
    for (int poll = 0; poll < kCtsPolls; ++poll) {
        if (GetCts(port) != 0) {
            return 1;
        }
    }
    return 0;
}

int32_t TransmitFrame(QivPortHandle port, const char *frame, int32_t length, int32_t rtsLeadMs,
                      int32_t waitForCts, int32_t trailMs) {
    const int32_t turned = TurnLineRound(port, rtsLeadMs, waitForCts);
    if (turned != kExchangeComplete) {
        return turned;
    }
    return SendOnTurnedLine(port, frame, length, rtsLeadMs, trailMs);
}

int32_t TurnLineRound(QivPortHandle port, int32_t rtsLeadMs, int32_t waitForCts,
                      WaitingInput *waiting) {
    // The lead gives a transceiver that RTS switches the time to drive the
    // line. Where a port cannot raise RTS (a pseudo-terminal, a line carried
    // on TCP) nothing is switched, and the frame goes at once; the null
    // device, which stands for a line, keeps a line's timing.
    if (rtsLeadMs > 0 && (SetRts(port, 1) || port == QIV_INVALID_PORT_HANDLE)) {
        PlatformSleep(static_cast<uint32_t>(rtsLeadMs));
    }
    if (waitForCts != 0 && WaitCtsOn(port) == 0) {
        SetRts(port, 0);
        PlatformSleep(kCtsRefusalPauseMs);
        if (waiting != nullptr) {
            *waiting = {false, 0};
        }
        return kExchangePartial;
    }
    // Cleared last, so that the count of what waits is the one the frame
    // meets: one query of the port serves both.
    ClearLineErrors(port, waiting);
    return kExchangeComplete;
}

int32_t SendOnTurnedLine(QivPortHandle port, const char *frame, int32_t length, int32_t rtsLeadMs,
                         int32_t trailMs) {
    uint32_t written = 0;
    const int32_t write = WriteSerial(port, frame, static_cast<uint32_t>(length), &written);
    // RTS falls only when the last byte has left, after a failed write too.
    WaitTxEmpty(port);
    if (trailMs > 0) {
        PlatformSleep(static_cast<uint32_t>(trailMs));
    }
    if (rtsLeadMs > 0) {
        SetRts(port, 0);
    }
    if (write == kSerialOk) {
        return kExchangeComplete;
    }
    ClearLineErrors(port);
    // A write that the platform rejected reports no count: nothing is known
    // to have gone out, and it counts as nothing sent.
    return written != 0 ? kExchangePartial : kExchangeNothing;
}

int32_t ReceiveResponse(QivPortHandle port, char *buffer, int32_t expected) {
    uint32_t received = 0;
    const int32_t read = ReadSerialExact(port, buffer, static_cast<uint32_t>(expected), &received);
    if (read == kSerialOk && received == static_cast<uint32_t>(expected)) {
        return kExchangeComplete;
    }
    ClearLineErrors(port);
    return received != 0 ? kExchangePartial : kExchangeNothing;
}

int32_t ExchangeFrame(QivPortHandle port, int32_t /*replyTimeout*/, const char *frame,
                      int32_t length, char *response, int32_t expected) {
    const int32_t transmitted = TransmitFrame(port, frame, length, kRtsLeadMs, 0, 0);
    if (transmitted != kExchangeComplete) {
        return transmitted;
    }
    return ReceiveResponse(port, response, expected);
}
