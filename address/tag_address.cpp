#include "address/tag_address.h"

#include <string.h>

#include "address/numeric_text.h"
#include "wire/wire_rules.h"

namespace {

constexpr char kHexChars[] = "0123456789ABCDEF";
constexpr char kDecimalChars[] = "0123456789";
constexpr const char *kDeviceChars = wire::kDeviceLetters.text;

constexpr int32_t kNoBit = 255;

// Stations that a tag may name: 0 to 32 read as hexadecimal, "EE" (answered
// by whichever controller is connected) and "FF" (the global station). The
// frame carries the two characters as typed, and controllers are numbered
// 01 to 32 in decimal: so "21" to "32", two decimal digits, name stations 21
// to 32 too, held as the value the characters have in hexadecimal.
bool IsDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAcceptedStation(int32_t station, const char *text) {
    if (station <= 32 || station == 238 || station == 255)
        return true;
    return IsDecimalDigit(text[0]) && IsDecimalDigit(text[1]) && station >= 0x21 && station <= 0x32;
}

int32_t WidthOfDataType(int32_t dataType) {
    switch (dataType) {
        case 3:
        case 4:
        case 5:
            return 32;
        case QIV_TYPE_BIT:
            return 1;
        default:
            return 16;
    }
}

// The five-digit register number as written, without the 16-bit wrap of
// DecimalTextToWord: a number above 65535 must be refused, never taken as
// another register.
uint32_t FiveDigitNumber(const char *text) {
    uint32_t value = 0;
    for (int i = 0; i < 5; ++i) {
        value = value * 10 + DigitValue(static_cast<unsigned char>(text[i]));
    }
    return value;
}

constexpr const char *CharsOf(AddressPart part) {
    switch (part) {
        case AddressPart::kStation:
        case AddressPart::kLast:
            return kHexChars;
        case AddressPart::kDevice:
            return kDeviceChars;
        default:
            return kDecimalChars;
    }
}

}  // namespace

const char *const addressCharClasses[kAddressPositions] = {
    CharsOf(addressParts[0]), CharsOf(addressParts[1]), CharsOf(addressParts[2]),
    CharsOf(addressParts[3]), CharsOf(addressParts[4]), CharsOf(addressParts[5]),
    CharsOf(addressParts[6]), CharsOf(addressParts[7]),
};

int32_t LoadAddressText(const char *text, AddressCopy &copy) {
    if (text == nullptr) {
        return 1;
    }
    // Never look further than one character past the longest text.
    const size_t length = strnlen(text, kAddressPositions + 1);
    if (length > kAddressPositions) {
        return 1;
    }
    memset(copy, 0, sizeof copy);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char ch = static_cast<unsigned char>(text[i]);
        copy[i] = static_cast<char>((ch >= 0x61 && ch <= 0x7F) ? ch - 0x20 : ch);
    }
    return 0;
}

uint32_t CheckAddressChars(const char *const (&classes)[kAddressPositions],
                           const AddressCopy &copy) {
    uint32_t faults = 0;
    for (int i = 0; i < kAddressPositions; ++i) {
        if (copy[i] != '\0' && strchr(classes[i], copy[i]) == nullptr) {
            faults |= CharacterFault(i);
        }
    }
    return faults;
}

uint32_t TagAddressFaults(TagDefinition *tag) {
    tag->bitNumber = kNoBit;

    AddressCopy copy;
    if (LoadAddressText(tag->addressText, copy) != 0) {
        return kFaultText;
    }
    // A character fault does not stop the parse, so that every field is still
    // filled in for the host to look at.
    uint32_t faults = CheckAddressChars(addressCharClasses, copy);
    const size_t length = strlen(copy);

    if (tag->dataType == QIV_TYPE_REJECTED) {
        return faults | kFaultDataType;
    }
    tag->width = WidthOfDataType(tag->dataType);

    tag->station = HexTextToWord(copy, 2) & 0xFF;
    if (!IsAcceptedStation(tag->station, copy)) {
        faults |= kFaultStation;
    }

    tag->device = static_cast<unsigned char>(copy[2]);
    const char *number = copy + 3;

    if (wire::NumberDigits(tag->device) == 5) {
        // Registers: D and F hold 16-bit words; E and G 32-bit values from an
        // even register, and a block of them is always of 32-bit values.
        const bool pairs = wire::IsDoubleWordDevice(tag->device);
        if (pairs && tag->count != 0) {
            tag->width = 32;
        }
        if (length != kAddressPositions) {
            faults |= kFaultLength;
        }
        if (tag->width != (pairs ? 32 : 16)) {
            faults |= kFaultWidth;
        }
        tag->wordAddress = DecimalTextToWord(number, 5);
        if (pairs && tag->wordAddress % 2 != 0) {
            faults |= kFaultOddRegister;
        }
        if (FiveDigitNumber(number) > static_cast<uint32_t>(wire::kMaxRegister)) {
            faults |= kFaultRegister;
        }
    } else {
        // Words and contacts: seven characters, and an eighth for a bit.
        if ((tag->width == 16 || tag->width == 32) && length != kAddressPositions - 1) {
            faults |= kFaultLength;
        }
        if (tag->width == 1 && length != kAddressPositions) {
            faults |= kFaultLength;
        }
        tag->wordAddress = DecimalTextToWord(number, 4);
        if (tag->width == 1 && length == kAddressPositions) {
            tag->bitNumber = HexTextToWord(copy + 7, 1) & 0xFF;
        }
    }

    if (tag->count > wire::kMaxWordsPerFrame) {
        faults |= kFaultCount;
    }
    if (tag->count > wire::kMaxDoubleWordValues && wire::IsDoubleWordDevice(tag->device)) {
        faults |= kFaultDoubleWordCount;
    }
    return faults;
}
