// The rules of the wire that more than one part of qivma needs, each written
// here once: the devices' commands and number widths, the words a value
// takes, the lengths of frames and answers, the limits of one frame and of
// one address, the block check, a character's time on the line, and the
// attempts, the horizon and the RTS lead that every exchange keeps to. The
// driver, the tool and the benchmark take them from here. The controller
// simulator does not: it is written apart, so that a misreading here cannot
// hide behind the same misreading there.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "qivma.h"

namespace wire {

// ---- Frames -----------------------------------------------------------------
// A request: "%", the station (two hexadecimal digits), "#", the command and
// its fields, the block check and a carriage return. An answer: "%", the
// station, "$", the command's two letters echoed, the data, the block check
// and a carriage return; an error answer has "!" and a two-digit code in
// place of "$" and the echo, and no data.

constexpr int32_t kStationDigits = 2;
constexpr int32_t kBlockCheckDigits = 2;
// Where an answer's data begins, after "%", the station, "$" and the echo.
constexpr int32_t kDataStart = 6;
// An answer without data, carriage return included.
constexpr int32_t kAnswerOverhead = kDataStart + kBlockCheckDigits + 1;
constexpr int32_t kErrorAnswerLength = kAnswerOverhead;
// One data word: four hexadecimal digits, its low byte first.
constexpr int32_t kDataWordChars = 4;
// The longest frame that may be sent, carriage return included.
constexpr int32_t kMaxFrameLength = 119;

// The most words one answer carries; a tag has at most as many elements.
constexpr int32_t kMaxWordsPerFrame = 27;
// E and G values in one tag: 13 values are 26 words.
constexpr int32_t kMaxDoubleWordValues = kMaxWordsPerFrame / 2;

// The length of a read's answer of `words` words, or of a write's (0 words).
constexpr int32_t AnswerLength(int32_t words) {
    return kAnswerOverhead + kDataWordChars * words;
}

// ---- Devices ----------------------------------------------------------------

struct DeviceCommands {
    char letter;
    const char *read;   // the command of a block read
    const char *write;  // of a block write; empty where the device takes none
};

inline constexpr DeviceCommands kDevices[] = {
    {'X', "RCCX", "WCCX"}, {'Y', "RCCY", "WCCY"}, {'R', "RCCR", "WCCR"}, {'L', "RCCL", "WCCL"},
    {'D', "RDD", "WDD"},   {'E', "RDD", "WDD"},   {'T', "RCCT", ""},     {'C', "RCCC", ""},
    {'V', "RK", "WK"},     {'S', "RS", "WS"},     {'F', "RDF", "WDF"},   {'G', "RDF", "WDF"},
};

// The device of this letter (upper case only), or null.
constexpr const DeviceCommands *FindDevice(int32_t letter) {
    for (const DeviceCommands &device : kDevices) {
        if (device.letter == letter)
            return &device;
    }
    return nullptr;
}

// Every device letter, as a text.
struct DeviceLetters {
    char text[sizeof kDevices / sizeof kDevices[0] + 1];
};
constexpr DeviceLetters AllDeviceLetters() {
    DeviceLetters letters = {};
    for (size_t i = 0; i < sizeof kDevices / sizeof kDevices[0]; ++i)
        letters.text[i] = kDevices[i].letter;
    return letters;
}
inline constexpr DeviceLetters kDeviceLetters = AllDeviceLetters();

// E and G are 32-bit views of D and F: each of their values is two registers.
constexpr bool IsDoubleWordDevice(int32_t device) {
    return device == 'E' || device == 'G';
}

// The words one element of a block takes on the device.
constexpr int32_t WordsPerValue(int32_t device) {
    return IsDoubleWordDevice(device) ? 2 : 1;
}

// D, E, F and G name registers with five digits, the others words with four.
constexpr int32_t NumberDigits(int32_t device) {
    return device >= 'D' && device <= 'G' ? 5 : 4;
}

// The highest register number of any device (a five-digit field could hold
// more), and the highest that four digits hold.
constexpr int32_t kMaxRegister = 65535;
constexpr int32_t kMaxWordNumber = 9999;

constexpr int32_t LastNumber(int32_t device) {
    return NumberDigits(device) == 5 ? kMaxRegister : kMaxWordNumber;
}

// The single-contact write: "%", station, "#WCS", the device, three digits
// of word, the bit digit, the value digit, the block check and the carriage
// return.
constexpr int32_t kMaxContactWord = 999;
constexpr int32_t kContactWriteLength = 16;

constexpr int32_t TextLength(const char *text) {
    int32_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

// A block request of `words` data words (none for a read), carriage return
// included: "%", station, "#", the command, the first and the last number,
// the data, the block check.
constexpr int32_t BlockRequestLength(const DeviceCommands &device, bool write, int32_t words) {
    return 1 + kStationDigits + 1 + TextLength(write ? device.write : device.read) +
           2 * NumberDigits(device.letter) + (write ? kDataWordChars * words : 0) +
           kBlockCheckDigits + 1;
}

// The most words that one block write to the device carries: as many as
// keep its frame within kMaxFrameLength; none where it takes no writes.
constexpr int32_t WordsPerWrite(const DeviceCommands &device) {
    return device.write[0] == '\0'
               ? 0
               : (kMaxFrameLength - BlockRequestLength(device, true, 0)) / kDataWordChars;
}

static_assert(WordsPerWrite(*FindDevice('D')) == 24, "a register write carries 24 words");
static_assert(AnswerLength(kMaxWordsPerFrame) <= kMaxFrameLength, "27 words fit an answer");

// ---- The block check --------------------------------------------------------
// The XOR of every character of the frame before it, sent as two upper-case
// hexadecimal digits.

constexpr uint8_t BlockCheck(const char *text, int32_t length) {
    uint8_t check = 0;
    for (int32_t i = 0; i < length; ++i)
        check = static_cast<uint8_t>(check ^ static_cast<uint8_t>(text[i]));
    return check;
}

constexpr char HexDigit(uint32_t value) {
    return "0123456789ABCDEF"[value & 0xF];
}

// Whether the two characters before the carriage return of a frame of
// `length` characters are the block check of all before them, or "**",
// which a controller may send instead.
constexpr bool BlockCheckHolds(const char *frame, int32_t length) {
    if (length < kBlockCheckDigits + 1)
        return false;
    const char *check = frame + length - kBlockCheckDigits - 1;
    if (check[0] == '*' && check[1] == '*')
        return true;
    const uint8_t expected = BlockCheck(frame, length - kBlockCheckDigits - 1);
    return check[0] == HexDigit(expected >> 4u) && check[1] == HexDigit(expected);
}

// ---- The line ---------------------------------------------------------------

// The bits of one character, in halves so that one and a half stop bits
// stay exact: the start bit, the data bits, the parity bit unless there is
// none, and the stop bits. The count is exact; a deadline that wants slack
// adds it where the deadline is made.
constexpr uint32_t HalfBitsPerCharacter(uint32_t dataBits, uint32_t parity, uint32_t stopBits) {
    const uint32_t stopHalves = stopBits == QIV_STOPBITS_ONE            ? 2
                                : stopBits == QIV_STOPBITS_ONE_AND_HALF ? 3
                                                                        : 4;
    return 2 * (1 + dataBits + (parity != QIV_PARITY_NONE ? 1 : 0)) + stopHalves;
}

// The time that `characters` characters of `halfBits` half bits each take
// at `baud` bit/s (above 0), in microseconds, rounded up.
constexpr uint64_t LineMicroseconds(uint64_t characters, uint32_t halfBits, uint32_t baud) {
    const uint64_t halfBitsPerSecond = 2 * uint64_t{baud};
    return (characters * halfBits * 1000000 + halfBitsPerSecond - 1) / halfBitsPerSecond;
}

// ---- The exchange's timing ---------------------------------------------------

// RTS is raised this long before a frame goes out.
constexpr int32_t kRtsLeadMs = 1;
// A request is sent up to this many times.
constexpr int kAttempts = 3;
// A wait of this long is ended only by the arrival of a byte; a read
// time-out of this value waits so.
constexpr uint32_t kWaitWithoutEnd = UINT32_MAX;
// How long after its request an answer may still come and be told apart
// from the answer to a later request: the read time-out and a guard of at
// least kMinGuardMs, and at least the time-out itself. What comes later than
// this horizon no master can tell from a prompt answer to the next request.
constexpr uint32_t kMinGuardMs = 100;
constexpr uint32_t AnswerHorizonMs(uint32_t timeoutMs) {
    // Without a time-out the read itself waits for its answer.
    return timeoutMs == kWaitWithoutEnd
               ? kMinGuardMs
               : timeoutMs + (timeoutMs > kMinGuardMs ? timeoutMs : kMinGuardMs);
}
// An answer sent at the horizon itself still has to reach the driver: its
// first character takes its time on the line, and the driver's thread its
// time to wake. The wait for late answers lasts this much longer.
constexpr uint32_t kHorizonMarginMs = 3;

}  // namespace wire
