#include "tools/hostkit/value_format.h"

#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>

namespace {

struct FormatName {
    const char *name;
    ValueFormat format;
};

const FormatName kFormats[] = {
    {"signed", ValueFormat::kSigned}, {"unsigned", ValueFormat::kUnsigned},
    {"hex", ValueFormat::kHex},       {"bin", ValueFormat::kBin},
    {"bcd", ValueFormat::kBcd},       {"float", ValueFormat::kFloat},
    {"ascii", ValueFormat::kAscii},
};

std::string Printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string Printf(const char *format, ...) {
    char text[160];
    va_list values;
    va_start(values, format);
    vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return text;
}

int DigitOf(char c, int base) {
    int digit = 99;
    if (c >= '0' && c <= '9')
        digit = c - '0';
    else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
    return digit < base ? digit : -1;
}

// Digits of one base, without prefix or sign; false past 2^64.
bool ParseDigits(const std::string &digits, int base, unsigned long long &value) {
    if (digits.empty())
        return false;
    value = 0;
    for (const char c : digits) {
        const int digit = DigitOf(c, base);
        if (digit < 0 || value > (~0ULL - static_cast<unsigned>(digit)) / base)
            return false;
        value = value * base + static_cast<unsigned>(digit);
    }
    return true;
}

bool StartsWith(const std::string &text, const char *prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

uint32_t Combined(const uint16_t *words, WordOrder order) {
    const uint32_t first = words[0], second = words[1];
    return order == WordOrder::kLowFirst ? second << 16 | first : first << 16 | second;
}

void Split(uint32_t value, WordOrder order, std::vector<uint16_t> &words) {
    const uint16_t low = static_cast<uint16_t>(value & 0xFFFF);
    const uint16_t high = static_cast<uint16_t>(value >> 16);
    words.push_back(order == WordOrder::kLowFirst ? low : high);
    words.push_back(order == WordOrder::kLowFirst ? high : low);
}

float AsFloat(uint32_t bits) {
    float real;
    memcpy(&real, &bits, sizeof real);
    return real;
}

std::string Binary(uint32_t value, int bits) {
    std::string text = "0b";
    for (int bit = bits - 1; bit >= 0; --bit)
        text += (value >> bit & 1) ? '1' : '0';
    return text;
}

// Packed decimal digits, four bits each; -1 when a nibble is above 9.
long long FromBcd(uint32_t value, int bits) {
    long long decimal = 0;
    for (int shift = bits - 4; shift >= 0; shift -= 4) {
        const uint32_t digit = value >> shift & 0xF;
        if (digit > 9)
            return -1;
        decimal = decimal * 10 + digit;
    }
    return decimal;
}

uint32_t ToBcd(unsigned long long decimal) {
    uint32_t value = 0;
    for (int shift = 0; decimal != 0; shift += 4, decimal /= 10)
        value |= static_cast<uint32_t>(decimal % 10) << shift;
    return value;
}

// Characters low byte first, as the controller keeps text in its words.
std::string Characters(uint32_t value, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; ++i)
        text += static_cast<char>(value >> (8 * i) & 0xFF);
    return text;
}

// Printable characters as they are, the others as \xNN.
std::string EscapedCharacters(const std::string &raw) {
    std::string text;
    for (const char c : raw) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\')
            text += c;
        else
            text += Printf("\\x%02X", byte);
    }
    return text;
}

ShownValue ShowNumber(uint32_t value, int bits, ValueFormat format) {
    const int32_t signedValue =
        bits == 16 ? static_cast<int16_t>(value) : static_cast<int32_t>(value);
    const int hexDigits = bits / 4;
    switch (format) {
        case ValueFormat::kDefault: {
            std::string text = std::to_string(signedValue);
            if (signedValue < 0)
                text += " (unsigned " + std::to_string(value) + ", ";
            else
                text += " (";
            text += Printf("0x%0*X", hexDigits, value);
            if (bits == 32)
                text += Printf(", float %.7g", static_cast<double>(AsFloat(value)));
            return {text + ")", signedValue};
        }
        case ValueFormat::kSigned:
            return {std::to_string(signedValue), signedValue};
        case ValueFormat::kUnsigned:
            return {std::to_string(value), value};
        case ValueFormat::kHex: {
            const std::string text = Printf("0x%0*X", hexDigits, value);
            return {text, text};
        }
        case ValueFormat::kBin: {
            const std::string text = Binary(value, bits);
            return {text, text};
        }
        case ValueFormat::kBcd: {
            const long long decimal = FromBcd(value, bits);
            if (decimal < 0)
                return {Printf("0x%0*X (not BCD)", hexDigits, value), nullptr};
            return {std::to_string(decimal), decimal};
        }
        case ValueFormat::kFloat: {
            const float real = AsFloat(value);
            const std::string text = Printf("%.7g", static_cast<double>(real));
            if (!std::isfinite(real))
                return {text, nullptr};
            return {text, static_cast<double>(real)};
        }
        case ValueFormat::kAscii: {
            const std::string escaped = EscapedCharacters(Characters(value, bits / 8));
            return {"\"" + escaped + "\"", escaped};
        }
    }
    return {"?", nullptr};
}

bool LooksLikeFloat(const std::string &text) {
    if (StartsWith(text, "0x") || StartsWith(text, "0X") || StartsWith(text, "-0x") ||
        StartsWith(text, "-0X"))
        return false;
    std::string lower;
    for (const char c : text)
        lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const std::string body = lower.substr(!lower.empty() && (lower[0] == '-' || lower[0] == '+'));
    return lower.find_first_of(".e") != std::string::npos || body == "inf" || body == "infinity" ||
           body.compare(0, 3, "nan") == 0;
}

// A float's bits; false with a reason for what is no float, what a float
// cannot hold, and (unless allowed) infinities and NaN.
bool ParseFloatBits(const std::string &text, bool allowNonfinite, uint32_t &bits,
                    std::string *error) {
    char *end = nullptr;
    errno = 0;
    const float real = text.empty() ? 0 : strtof(text.c_str(), &end);
    if (text.empty() || *end != '\0') {
        *error = "'" + text + "' is no float: a number such as 3.25 or -1e3 was expected";
        return false;
    }
    if (errno == ERANGE && std::isinf(real)) {
        *error = "'" + text + "' is beyond what a float holds (about -3.4e38 to 3.4e38)";
        return false;
    }
    if (errno == ERANGE && real == 0) {
        *error = "'" + text + "' is too small for a float: it would be stored as 0";
        return false;
    }
    if (!std::isfinite(real) && !allowNonfinite) {
        *error = "'" + text +
                 "' is no finite number: give --allow-nonfinite to write an infinity or NaN";
        return false;
    }
    memcpy(&bits, &real, sizeof bits);
    return true;
}

// An integer in the element's notation: with --format hex or bin the digits
// may come without their prefix.
bool ParseInFormat(const std::string &text, ValueFormat format, long long min, long long max,
                   long long &value) {
    if (format == ValueFormat::kHex && !StartsWith(text, "0x") && !StartsWith(text, "0X"))
        return ParseInteger("0x" + text, min, max, value) || ParseInteger(text, min, max, value);
    if (format == ValueFormat::kBin && !StartsWith(text, "0b") && !StartsWith(text, "0B"))
        return ParseInteger("0b" + text, min, max, value);
    return ParseInteger(text, min, max, value);
}

struct Range {
    long long min, max;
};

Range RangeOf(int bits, ValueFormat format) {
    const long long unsignedMax = bits == 16 ? 65535LL : 4294967295LL;
    const long long signedMin = bits == 16 ? -32768LL : -2147483648LL;
    const long long signedMax = bits == 16 ? 32767LL : 2147483647LL;
    switch (format) {
        case ValueFormat::kSigned:
            return {signedMin, signedMax};
        case ValueFormat::kUnsigned:
        case ValueFormat::kHex:
        case ValueFormat::kBin:
            return {0, unsignedMax};
        case ValueFormat::kBcd:
            return {0, bits == 16 ? 9999LL : 99999999LL};
        default:
            return {signedMin, unsignedMax};
    }
}

std::string RangeText(int bits, ValueFormat format) {
    const Range range = RangeOf(bits, format);
    std::string text = std::to_string(range.min) + " to " + std::to_string(range.max);
    if (format == ValueFormat::kDefault)
        text += Printf(", or 0x0 to 0x%X", bits == 16 ? 0xFFFFu : 0xFFFFFFFFu);
    if (format == ValueFormat::kBcd)
        text += " (stored as BCD)";
    return text;
}

bool ParseBits(const std::string &text, int bits, ValueFormat format, bool allowNonfinite,
               uint32_t &value, std::string *error) {
    const std::string what = "'" + text + "' is no " + std::to_string(bits) + "-bit value";
    if (format == ValueFormat::kAscii) {
        if (text.size() > static_cast<size_t>(bits / 8)) {
            *error = what + " in ASCII: at most " + std::to_string(bits / 8) + " characters";
            return false;
        }
        value = 0;
        for (size_t i = 0; i < text.size(); ++i)
            value |= static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << (8 * i);
        return true;
    }
    if (bits == 32 && format == ValueFormat::kFloat)
        return ParseFloatBits(text, allowNonfinite, value, error);
    // The same register must not get the integer 1 for "1" and the float's
    // bits for "1.0": a float is written only where it is asked for.
    if (format == ValueFormat::kDefault && LooksLikeFloat(text)) {
        *error = bits == 32
                     ? what +
                           ": a float is written only with --format float (which "
                           "stores the float's 32 bits); without it the value is "
                           "a whole number"
                     : what + ": a register holds whole numbers (" + RangeText(bits, format) + ")";
        return false;
    }
    long long number = 0;
    const Range range = RangeOf(bits, format);
    if (!ParseInFormat(text, format, range.min, range.max, number)) {
        *error = what + " (" + RangeText(bits, format) + ")";
        return false;
    }
    value = format == ValueFormat::kBcd ? ToBcd(static_cast<unsigned long long>(number))
                                        : static_cast<uint32_t>(number);
    return true;
}

}  // namespace

bool ParseFormatName(const std::string &name, ValueFormat &format) {
    for (const FormatName &entry : kFormats) {
        if (name == entry.name) {
            format = entry.format;
            return true;
        }
    }
    return false;
}

bool ParseWordOrderName(const std::string &name, WordOrder &order) {
    if (name == "low-first") {
        order = WordOrder::kLowFirst;
    } else if (name == "high-first") {
        order = WordOrder::kHighFirst;
    } else {
        return false;
    }
    return true;
}

const char *FormatNames() {
    return "signed, unsigned, hex, bin, bcd, float or ascii";
}

const char *WordOrderNames() {
    return "low-first or high-first";
}

bool ParseInteger(const std::string &text, long long min, long long max, long long &value) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string body = text.substr(!text.empty() && (text[0] == '-' || text[0] == '+'));
    unsigned long long magnitude = 0;
    bool parsed;
    if (StartsWith(body, "0x") || StartsWith(body, "0X"))
        parsed = ParseDigits(body.substr(2), 16, magnitude);
    else if (StartsWith(body, "0b") || StartsWith(body, "0B"))
        parsed = ParseDigits(body.substr(2), 2, magnitude);
    else
        parsed = ParseDigits(body, 10, magnitude);
    // Far beyond any range asked for here, and safe to negate.
    if (!parsed || magnitude > (1ULL << 62))
        return false;
    value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return value >= min && value <= max;
}

ShownValue ShowValue(ValueKind kind, const uint16_t *words, ValueFormat format, WordOrder order) {
    if (kind == ValueKind::kBit) {
        const int bit = words[0] != 0 ? 1 : 0;
        return {std::to_string(bit), bit};
    }
    if (kind == ValueKind::kDoubleWord)
        return ShowNumber(Combined(words, order), 32, format);
    return ShowNumber(words[0], 16, format);
}

bool ParseValue(const std::string &text, ValueKind kind, ValueFormat format, WordOrder order,
                std::vector<uint16_t> &words, std::string *error, bool allowNonfinite) {
    if (kind == ValueKind::kBit) {
        if (text == "1" || text == "on") {
            words.push_back(1);
        } else if (text == "0" || text == "off") {
            words.push_back(0);
        } else {
            *error = "'" + text + "' is no contact value (0 or 1, or off or on)";
            return false;
        }
        return true;
    }
    uint32_t value = 0;
    const int bits = kind == ValueKind::kDoubleWord ? 32 : 16;
    if (!ParseBits(text, bits, format, allowNonfinite, value, error))
        return false;
    if (bits == 32)
        Split(value, order, words);
    else
        words.push_back(static_cast<uint16_t>(value));
    return true;
}

std::string PrintableFrame(const std::string &bytes) {
    std::string out;
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "<CR>";
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += Printf("<%02X>", byte);
        } else {
            out += c;
        }
    }
    return out;
}
