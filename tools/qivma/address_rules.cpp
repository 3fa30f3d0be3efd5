#include "tools/qivma/address_rules.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qivma.h"

namespace {

char Folded(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
bool IsDecimal(char c) {
    return c >= '0' && c <= '9';
}

int32_t WidthOf(int32_t dataType) {
    if (dataType >= 3 && dataType <= 5)
        return 32;
    if (dataType == QIV_TYPE_BIT)
        return 1;
    return 16;
}

std::string Quoted(char c) {
    char text[16];
    if (c >= 0x20 && c < 0x7F) {
        snprintf(text, sizeof text, "'%c'", c);
    } else {
        snprintf(text, sizeof text, "byte 0x%02X", static_cast<unsigned char>(c));
    }
    return text;
}

}  // namespace

int32_t InferredDataType(const std::string &address) {
    if (address.size() < 3)
        return QIV_TYPE_WORD;
    const char device = Folded(address[2]);
    if (device == 'E' || device == 'G')
        return QIV_TYPE_DWORD;
    if (device == 'D' || device == 'F')
        return QIV_TYPE_WORD;
    return address.size() == 8 ? QIV_TYPE_BIT : QIV_TYPE_WORD;
}

std::vector<std::string> AddressProblems(const std::string &address, int32_t dataType,
                                         int32_t count) {
    std::vector<std::string> problems;
    if (address.size() > 8) {
        problems.push_back("it has " + std::to_string(address.size()) +
                           " characters; an address has 7 or 8 (station, device, number)");
        return problems;
    }
    if (dataType == QIV_TYPE_REJECTED) {
        problems.push_back("data type 7 is never accepted");
        return problems;
    }
    std::string text;
    for (const char c : address)
        text += Folded(c);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const std::string where = " at position " + std::to_string(i + 1);
        if (i < 2 && !IsHex(c)) {
            problems.push_back(Quoted(c) + where + ": the station is two hexadecimal digits");
        } else if (i == 2 && strchr("XYRLDTCEVFGS", c) == nullptr) {
            problems.push_back(Quoted(c) + where +
                               ": the device is one of X Y R L T C V S D E F G");
        } else if (i >= 3 && i <= 6 && !IsDecimal(c)) {
            problems.push_back(Quoted(c) + where + ": the number is decimal");
        } else if (i == 7 && !IsHex(c)) {
            problems.push_back(Quoted(c) + where + ": a hexadecimal digit belongs here");
        }
    }
    if (text.size() >= 2 && IsHex(text[0]) && IsHex(text[1])) {
        const int station = static_cast<int>(strtol(text.substr(0, 2).c_str(), nullptr, 16));
        const bool decimal = isdigit(static_cast<unsigned char>(text[0])) &&
                             isdigit(static_cast<unsigned char>(text[1]));
        const bool decimalStation = decimal && station >= 0x21 && station <= 0x32;
        if (station > 32 && station != 0xEE && station != 0xFF && !decimalStation) {
            problems.push_back("station " + text.substr(0, 2) + " (" + std::to_string(station) +
                               ") is outside 00 to 20 (0 to 32), 21 to 32, EE and FF");
        }
    }
    const char device = text.size() >= 3 ? text[2] : '\0';
    int32_t width = WidthOf(dataType);
    if (device == 'D' || device == 'F') {
        if (text.size() != 8) {
            problems.push_back(std::string(1, device) +
                               " takes a five-digit register number: 8 characters, e.g. 01" +
                               device + "00100");
        }
        if (width != 16) {
            problems.push_back(std::string(1, device) +
                               " holds 16-bit words: use --type word, or E/G for 32 bits");
        }
    } else if (device == 'E' || device == 'G') {
        if (count != 0)
            width = 32;
        if (text.size() != 8) {
            problems.push_back(std::string(1, device) +
                               " takes a five-digit register number: 8 characters");
        }
        if (width != 32) {
            problems.push_back(std::string(1, device) +
                               " holds 32-bit values: use --type dword (or give a --count)");
        }
        const char last = text.size() == 8 ? text[7] : '0';
        const int lastDigit = IsDecimal(last) ? last - '0' : last - 'A' + 10;
        if (text.size() == 8 && lastDigit % 2 != 0) {
            problems.push_back(std::string(1, device) + " values start at an even register");
        }
    } else if (text.size() >= 3) {
        if (width == 1 && text.size() != 8) {
            problems.push_back("a bit address has 8 characters: the word and a bit digit 0-F");
        }
        if (width != 1 && text.size() != 7) {
            problems.push_back(text.size() == 8
                                   ? "an 8-character address names a bit: use --type bit"
                                   : "a word address has 7 characters: station, "
                                     "device, four-digit number");
        }
    } else {
        problems.push_back("an address has 7 or 8 characters (station, device, number)");
    }
    if ((device == 'D' || device == 'F' || device == 'E' || device == 'G') && text.size() == 8 &&
        strspn(text.c_str() + 3, "0123456789") == 5 && atol(text.substr(3, 5).c_str()) > 65535) {
        problems.push_back("register " + text.substr(3, 5) + " is above 65535, the last one");
    }
    if (count > 27) {
        problems.push_back("a tag has at most 27 elements");
    } else if (count > 13 && (device == 'E' || device == 'G')) {
        problems.push_back("an E or G tag has at most 13 values (26 words)");
    }
    return problems;
}
