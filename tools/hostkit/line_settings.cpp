#include "tools/hostkit/line_settings.h"

#include <ctype.h>

#include "wire/wire_rules.h"

namespace {

struct Parity {
    char letter;
    const char *name;
};
// In the order of QIV_PARITY_*.
constexpr Parity kParities[] = {
    {'N', "none"}, {'O', "odd"}, {'E', "even"}, {'M', "mark"}, {'S', "space"}};
constexpr int kParityCount = sizeof kParities / sizeof kParities[0];

struct StopBits {
    const char *text;
    double count;
};
// In the order of QIV_STOPBITS_*.
constexpr StopBits kStopBits[] = {{"1", 1}, {"1.5", 1.5}, {"2", 2}};
constexpr int kStopBitsCount = sizeof kStopBits / sizeof kStopBits[0];

// The rate field of the host's settings is 16 bits wide.
constexpr long kLowestRate = 50;
constexpr long kHighestRate = 65535;

std::string Lower(const std::string &text) {
    std::string lower = text;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool AllDigits(const std::string &text) {
    for (const char c : text) {
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return !text.empty();
}

}  // namespace

char ParityLetter(uint16_t parity) {
    return kParities[parity % kParityCount].letter;
}

const char *ParityName(uint16_t parity) {
    return kParities[parity % kParityCount].name;
}

int ParityCode(const std::string &text) {
    const std::string lower = Lower(text);
    for (int code = 0; code < kParityCount; ++code) {
        const std::string name = kParities[code].name;
        if (lower == name || (lower.size() == 1 && lower[0] == name[0]))
            return code;
    }
    return -1;
}

const char *StopBitsText(uint16_t stopBits) {
    return kStopBits[stopBits % kStopBitsCount].text;
}

double StopBitsCount(uint16_t stopBits) {
    return kStopBits[stopBits % kStopBitsCount].count;
}

int StopBitsCode(const std::string &text) {
    for (int code = 0; code < kStopBitsCount; ++code) {
        if (text == kStopBits[code].text)
            return code;
    }
    return -1;
}

bool ParseLineSettings(const std::string &text, SerialLineSettings &settings, bool *rateGiven,
                       std::string *error) {
    const size_t dash = text.find_first_of("-,");
    const std::string format = dash == std::string::npos ? text : text.substr(dash + 1);
    // Only a letter names a parity: "8-1" is no format.
    const int parity = format.size() >= 3 && isalpha(static_cast<unsigned char>(format[1]))
                           ? ParityCode(format.substr(1, 1))
                           : -1;
    const int stop = format.size() >= 3 ? StopBitsCode(format.substr(2)) : -1;
    if (format.size() < 3 || format[0] < '5' || format[0] > '8' || parity < 0 || stop < 0) {
        *error =
            "takes data bits (5 to 8), parity (N, O, E, M or S) and stop bits (1, 1.5 or 2), "
            "after the rate if it is given: 8O1 or 9600-7E2, not '" +
            text + "'";
        return false;
    }
    long rate = 0;
    if (dash != std::string::npos) {
        const std::string digits = text.substr(0, dash);
        rate = AllDigits(digits) && digits.size() <= 7 ? std::stol(digits) : -1;
        if (rate < kLowestRate || rate > kHighestRate) {
            *error =
                "takes a rate from 50 to 65535 bit/s before the format (the host's rate "
                "field holds 16 bits), not '" +
                digits + "'";
            return false;
        }
        settings.baudRate = static_cast<uint16_t>(rate);
    }
    if (rateGiven != nullptr)
        *rateGiven = dash != std::string::npos;
    settings.dataBits = static_cast<uint16_t>(format[0] - '0');
    settings.parity = static_cast<uint16_t>(parity);
    settings.stopBits = static_cast<uint16_t>(stop);
    return true;
}

std::string LineSettingsText(const SerialLineSettings &settings) {
    return std::to_string(settings.baudRate) + "-" + std::to_string(settings.dataBits) +
           ParityLetter(settings.parity) + StopBitsText(settings.stopBits);
}

double LineMs(const SerialLineSettings &settings, size_t characters) {
    if (settings.baudRate == 0)
        return 0;
    const uint32_t halfBits = wire::HalfBitsPerCharacter(
        settings.dataBits & 0xFF, settings.parity & 0xFF, settings.stopBits & 0xFF);
    return characters * halfBits * 500.0 / settings.baudRate;
}

double CharacterMs(const SerialLineSettings &settings) {
    return LineMs(settings, 1);
}
