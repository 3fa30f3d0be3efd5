// MEWTOCOL-COM frames as a controller reads and writes them. Written apart
// from the driver's protocol layer on purpose: a misreading there must not be
// mirrored here.
#pragma once

#include <stdint.h>

#include <string>

namespace fpsim {

constexpr char kCarriageReturn = '\r';
// The headers of a frame: "%" for frames of up to 118 characters, "<" for the
// extended frames of up to 2048 that masters send for long reads and writes.
// An answer starts with the header of its request.
constexpr char kHeader = '%';
constexpr char kExtendedHeader = '<';

// Error codes that a controller answers with.
enum ErrorCode : int {
    kErrFrameTooLong = 27,
    kErrBlockCheck = 40,
    kErrFormat = 41,
    kErrNotSupported = 42,
    kErrProcedure = 43,
    kErrParameter = 60,
    kErrData = 61,
};

// XOR of every byte of `text`.
uint8_t BlockCheck(const std::string &text);

// Two upper-case hexadecimal digits.
std::string Hex2(unsigned value);

// A 16-bit word as it travels: four upper-case digits, low byte first.
std::string WireWord(uint16_t value);

// Reads the wire word at `at`; false if any of its four characters is not an
// upper-case hexadecimal digit.
bool ParseWireWord(const std::string &text, size_t at, uint16_t &value);

// Reads `count` decimal digits at `at`; false if any is not a digit.
bool ParseDecimal(const std::string &text, size_t at, size_t count, uint32_t &value);

// The header ("%" or "<"), station, "$", echo, data, block check, carriage
// return.
std::string NormalResponse(const std::string &station, const std::string &echo,
                           const std::string &data, char header = kHeader);

// The header, station, "!", code, block check, carriage return.
std::string ErrorResponse(const std::string &station, int code, char header = kHeader);

// `body` followed by its block check and a carriage return.
std::string Sealed(const std::string &body);

// The frame with the carriage return shown as "<CR>" and other control
// bytes as "<XX>", for logs and traces.
std::string Printable(const std::string &bytes);

}  // namespace fpsim
