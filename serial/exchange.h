// The half-duplex exchange: one frame out with RTS keyed around it, one
// response of known length back; and the line-control operations it uses.
#pragma once

#include <stdint.h>

#include "qivma.h"
#include "wire/wire_rules.h"

// Results of the exchange and its two halves.
enum ExchangeResult : int32_t {
    kExchangeComplete = 0,  // all of the frame went out and all of the response came
    kExchangePartial = 1,   // part of the frame or of the response, or CTS not seen
    kExchangeNothing = 2,   // no byte of the frame went out, or none of the response came
};

using wire::kRtsLeadMs;
// The pause after CTS was not seen.
constexpr uint32_t kCtsRefusalPauseMs = 1000;
constexpr int kCtsPolls = 9;

// The line-control operations do nothing on QIV_INVALID_PORT_HANDLE (the
// channel's null device) and log their failures without stopping anything.
void ClearLineErrors(QivPortHandle port);
void SetRts(QivPortHandle port, uint8_t on);  // only 1 raises the line
void SetDtr(QivPortHandle port, uint8_t on);  // only 1 raises the line
int32_t GetCts(QivPortHandle port);
void WaitTxEmpty(QivPortHandle port);
int32_t WaitCtsOn(QivPortHandle port);

int32_t TransmitFrame(QivPortHandle port, const char *frame, int32_t length, int32_t rtsLeadMs,
                      int32_t waitForCts, int32_t trailMs);
// TransmitFrame that calls `beforeWrite` once the line is turned round and
// just before the frame is written: what has arrived by then was sent before
// the far end could hear any of the frame.
using BeforeWrite = void (*)(void *context);
int32_t TransmitFrameWatched(QivPortHandle port, const char *frame, int32_t length,
                             int32_t rtsLeadMs, int32_t waitForCts, int32_t trailMs,
                             BeforeWrite beforeWrite, void *context);
int32_t ReceiveResponse(QivPortHandle port, char *buffer, int32_t expected);

// `replyTimeout` has no effect: the port's read time-out alone bounds the
// wait for the response.
int32_t ExchangeFrame(QivPortHandle port, int32_t replyTimeout, const char *frame, int32_t length,
                      char *response, int32_t expected);
