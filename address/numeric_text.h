// Conversions between 16-bit numbers and the digits of address texts and
// MEWTOCOL-COM frames. Pure functions: they never fail, never log, and read
// every character as a digit, whatever it is (see DigitValue).
#pragma once

#include <stdint.h>

#include "wire/wire_rules.h"

// The value that both text-to-number routines give a character: '0'-'9' are
// 0-9 and 'A'-'F' are 10-15, and every other byte has a value too ('G' 16,
// 'a' 42, a blank 240, NUL 208), so that nothing is ever rejected here.
constexpr uint8_t DigitValue(unsigned char ch) {
    return static_cast<uint8_t>((ch <= 0x39 || ch >= 0x80) ? ch - 0x30 : ch - 0x37);
}

// Exactly `count` characters read as decimal digits, wrapping modulo 65536.
// Does not stop at a terminator: callers pass spans within their text.
uint16_t DecimalTextToWord(const char *text, uint8_t count);

// Up to `count` characters read as hexadecimal digits; 255 when the text ends
// before `count` characters.
uint16_t HexTextToWord(const char *text, uint8_t count);

// A MEWTOCOL-COM data word, low byte first ("3412" is 0x1234); 255 when the
// text holds fewer than four characters.
uint16_t SwappedHexToWord(const char *text);

// The low 16 bits of `value` as a MEWTOCOL-COM data word: four upper-case
// digits, low byte first, and a terminator.
using wire::kDataWordChars;
void WordToSwappedHex(uint32_t value, char (&out)[kDataWordChars + 1]);

// 1 when bit `bit` of `value` is set. Indexes of 16 and above (255 means "no
// bit") give 0; 0 and negative indexes test bit 0.
int32_t TestBit(uint16_t value, int32_t bit);
