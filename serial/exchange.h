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

// What the input queue held when the line errors were cleared: `counted`
// when the port could tell.
struct WaitingInput {
    bool counted;
    uint32_t bytes;
};

// The line-control operations do nothing on QIV_INVALID_PORT_HANDLE (the
// channel's null device) and log their failures without stopping anything.
void ClearLineErrors(QivPortHandle port, WaitingInput *waiting = nullptr);
// Only 1 raises the line; false when the port refused (it is logged).
bool SetRts(QivPortHandle port, uint8_t on);
bool SetDtr(QivPortHandle port, uint8_t on);
int32_t GetCts(QivPortHandle port);
void WaitTxEmpty(QivPortHandle port);
int32_t WaitCtsOn(QivPortHandle port);

// TurnLineRound, then SendOnTurnedLine.
int32_t TransmitFrame(QivPortHandle port, const char *frame, int32_t length, int32_t rtsLeadMs,
                      int32_t waitForCts, int32_t trailMs);
// The line turned round for a frame: RTS raised for `rtsLeadMs` (not at all
// at 0), CTS seen if asked for, and the line errors cleared just before the
// frame can go out. That one query of the port tells, in `waiting` when
// given, what has arrived by then: it was sent before the far end could hear
// any of the frame. kExchangePartial when CTS was not seen (RTS has fallen
// again), else kExchangeComplete.
int32_t TurnLineRound(QivPortHandle port, int32_t rtsLeadMs, int32_t waitForCts,
                      WaitingInput *waiting = nullptr);
// Writes the frame on a line that TurnLineRound turned, waits until its last
// byte has left and `trailMs` more, and lets RTS fall if it was raised.
int32_t SendOnTurnedLine(QivPortHandle port, const char *frame, int32_t length, int32_t rtsLeadMs,
                         int32_t trailMs);
int32_t ReceiveResponse(QivPortHandle port, char *buffer, int32_t expected);

// `replyTimeout` has no effect: the port's read time-out alone bounds the
// wait for the response.
int32_t ExchangeFrame(QivPortHandle port, int32_t replyTimeout, const char *frame, int32_t length,
                      char *response, int32_t expected);
