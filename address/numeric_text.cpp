#include "address/numeric_text.h"

uint16_t DecimalTextToWord(const char *text, uint8_t count) {
    uint16_t value = 0;
    for (uint8_t i = 0; i < count; ++i) {
        value = static_cast<uint16_t>(value * 10 + DigitValue(static_cast<unsigned char>(text[i])));
    }
    return value;
}

uint16_t HexTextToWord(const char *text, uint8_t count) {
    uint16_t value = 0;
    for (uint8_t i = 0; i < count; ++i) {
        if (text[i] == '\0') {
            return 255;
        }
        value = static_cast<uint16_t>(value * 16 + DigitValue(static_cast<unsigned char>(text[i])));
    }
    return value;
}

uint16_t SwappedHexToWord(const char *text) {
    // Stop at the terminator before reading past it: a short text reads as
    // 255, as the reordered digits below would with a NUL among them.
    for (int i = 0; i < kDataWordChars; ++i) {
        if (text[i] == '\0') {
            return 255;
        }
    }
    const char highByteFirst[kDataWordChars + 1] = {text[2], text[3], text[0], text[1], '\0'};
    return HexTextToWord(highByteFirst, kDataWordChars);
}

void WordToSwappedHex(uint32_t value, char (&out)[kDataWordChars + 1]) {
    static const char kHexDigits[] = "0123456789ABCDEF";
    out[0] = kHexDigits[(value >> 4) & 0xF];
    out[1] = kHexDigits[value & 0xF];
    out[2] = kHexDigits[(value >> 12) & 0xF];
    out[3] = kHexDigits[(value >> 8) & 0xF];
    out[4] = '\0';
}

int32_t TestBit(uint16_t value, int32_t bit) {
    uint32_t mask = 1;
    if (bit > 0) {
        mask = bit >= 32 ? 0 : mask << bit;
    }
    return (value & mask) != 0 ? 1 : 0;
}
