#include "tools/fpsim/frame.h"

#include <stdio.h>

namespace fpsim {

uint8_t BlockCheck(const std::string &text) {
    uint8_t check = 0;
    for (const char c : text) {
        check ^= static_cast<uint8_t>(c);
    }
    return check;
}

std::string Hex2(unsigned value) {
    static const char kDigits[] = "0123456789ABCDEF";
    return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

std::string WireWord(uint16_t value) {
    return Hex2(value & 0xFF) + Hex2(value >> 8);
}

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseWireWord(const std::string &text, size_t at, uint16_t &value) {
    if (at + 4 > text.size()) {
        return false;
    }
    int digits[4];
    for (int i = 0; i < 4; ++i) {
        digits[i] = HexDigitValue(text[at + i]);
        if (digits[i] < 0) {
            return false;
        }
    }
    const unsigned low = static_cast<unsigned>(digits[0] << 4 | digits[1]);
    const unsigned high = static_cast<unsigned>(digits[2] << 4 | digits[3]);
    value = static_cast<uint16_t>(high << 8 | low);
    return true;
}

bool ParseDecimal(const std::string &text, size_t at, size_t count, uint32_t &value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return true;
}

std::string Sealed(const std::string &body) {
    return body + Hex2(BlockCheck(body)) + kCarriageReturn;
}

std::string NormalResponse(const std::string &station, const std::string &echo,
                           const std::string &data, char header) {
    return Sealed(header + station + "$" + echo + data);
}

std::string ErrorResponse(const std::string &station, int code, char header) {
    const unsigned number = static_cast<unsigned>(code) % 100;
    const std::string digits = {static_cast<char>('0' + number / 10),
                                static_cast<char>('0' + number % 10)};
    return Sealed(header + station + "!" + digits);
}

std::string Printable(const std::string &bytes) {
    std::string out;
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == kCarriageReturn) {
            out += "<CR>";
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "<" + Hex2(byte) + ">";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace fpsim
