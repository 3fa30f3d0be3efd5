// MEWTOCOL-COM frames as the driver sends them and the responses it accepts.
#pragma once

#include <stdint.h>

#include "qivma.h"
#include "wire/wire_rules.h"

enum class FrameKind { kRead, kWrite };

// The text areas the frames are composed in.
constexpr int kReadFrameArea = 120;
constexpr int kWriteFrameArea = 132;
// The operations check their blocks against the wire's limit.
using wire::kMaxWordsPerFrame;

// Composes the frame for the request's TagAccess into `area` (`areaSize`
// bytes) as NUL-terminated text. Write frames take their data words from
// `blockData` when it is given (n words, in address order), else from the
// channel's value pointers: a 16-bit value from valuePtr, a 32-bit value from
// valuePtr0 then valuePtr. Returns 0, or 1 when the frame cannot be composed
// (no such device, a write to a device without a write command, a single-bit
// frame whose fields cannot hold the contact or value) or is too long.
int32_t SetMewtocolCmd(DriverRequest *request, FrameKind kind, int32_t n, char *area,
                       int32_t areaSize, const int16_t *blockData);

// 0 when the channel's rxFrame holds a good answer to its txFrame: "%", the
// request's station, "$", the echo of the request's command, upper-case
// hexadecimal data, a right block check (or "**") and the carriage return,
// in exactly rxLength characters. Otherwise 1.
int32_t CheckResponse(DriverRequest *request);

// The same test on any frame of `length` characters against the request
// frame `tx`: true for a good answer to it.
bool IsGoodAnswerFrame(const char *tx, const char *rx, int32_t length);

// Whether `rx` is the error answer of the station that `tx` asked: "%", the
// request's station, "!", a two-digit code, a right block check (or "**")
// and the carriage return, nine characters in all.
bool IsErrorAnswerFrame(const char *tx, const char *rx, int32_t length);

// The status request to `station` ("%", station, "#RT", block check,
// carriage return) as NUL-terminated text in `area`: the marker that a
// doubtful station is sent, whose answer no read or write answer can be taken
// for. Returns its length.
int32_t ComposeStatusRequest(int32_t station, char *area, int32_t areaSize);

// Whether `rx` is the status answer of the station that `tx` asked: "%", the
// station, "$RT", upper-case hexadecimal data, a right block check and the
// carriage return.
bool IsStatusAnswerFrame(const char *tx, const char *rx, int32_t length);

// The station of a complete frame that is some station's answer (data or
// error) with a right block check, or -1 for anything else: the echo of a
// request, noise, a corrupted frame.
int32_t AnsweringStation(const char *rx, int32_t length);
