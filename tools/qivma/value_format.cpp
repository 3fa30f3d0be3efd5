#include "tools/qivma/value_format.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char *format, ...) {
    char text[128];
    va_list values;
    va_start(values, format);
    vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return text;
}

bool ParseInteger(const std::string &text, long long min, long long max, long long &value) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    value = strtoll(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

bool LooksLikeFloat(const std::string &text) {
    return text.find_first_of(".eEnN") != std::string::npos && text.find("0x") != 0 &&
           text.find("0X") != 0;
}

}  // namespace

std::string DescribeWord(int16_t word) {
    const uint16_t unsignedWord = static_cast<uint16_t>(word);
    return Format("%d (unsigned %u, 0x%04X)", word, unsignedWord, unsignedWord);
}

std::string DescribeDoubleWord(int16_t low, int16_t high) {
    const uint32_t value =
        static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16 | static_cast<uint16_t>(low);
    float real;
    memcpy(&real, &value, sizeof real);
    return Format("%d (unsigned %u, 0x%08X, float %g)", static_cast<int32_t>(value), value, value,
                  static_cast<double>(real));
}

std::string DescribeBit(int16_t word) {
    return word != 0 ? "1" : "0";
}

bool ParseValue(const std::string &text, ValueKind kind, std::vector<int16_t> &words,
                std::string *error) {
    long long value = 0;
    switch (kind) {
        case ValueKind::kBit:
            if (text == "1" || text == "on" || text == "true") {
                words.push_back(1);
            } else if (text == "0" || text == "off" || text == "false") {
                words.push_back(0);
            } else {
                *error = "'" + text + "' is no bit value (0, 1, on, off)";
                return false;
            }
            return true;
        case ValueKind::kWord:
            if (!ParseInteger(text, -32768, 65535, value)) {
                *error = "'" + text + "' is no 16-bit value (-32768 to 65535, or 0x0000 to 0xFFFF)";
                return false;
            }
            words.push_back(static_cast<int16_t>(static_cast<uint16_t>(value)));
            return true;
        case ValueKind::kDoubleWord: {
            uint32_t bits = 0;
            if (LooksLikeFloat(text)) {
                char *end = nullptr;
                const float real = strtof(text.c_str(), &end);
                if (*end != '\0' || text.empty()) {
                    *error = "'" + text + "' is no number";
                    return false;
                }
                memcpy(&bits, &real, sizeof bits);
            } else if (ParseInteger(text, -2147483648LL, 4294967295LL, value)) {
                bits = static_cast<uint32_t>(value);
            } else {
                *error =
                    "'" + text + "' is no 32-bit value (an integer, 0x hexadecimal, or a float)";
                return false;
            }
            words.push_back(static_cast<int16_t>(bits & 0xFFFF));
            words.push_back(static_cast<int16_t>(bits >> 16));
            return true;
        }
    }
    return false;
}

std::string PrintableFrame(const std::string &bytes) {
    std::string out;
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "<CR>";
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += Format("<%02X>", byte);
        } else {
            out += c;
        }
    }
    return out;
}

std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += Format("\\u%04x", byte);
        } else {
            out += c;
        }
    }
    return out + "\"";
}
