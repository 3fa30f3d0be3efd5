#include "address/tag_address.h"

#include <string.h>

#include "address/numeric_text.h"
#include "log/host_log.h"

namespace {

constexpr char kHexChars[] = "0123456789ABCDEF";
constexpr char kDecimalChars[] = "0123456789";
constexpr char kDeviceChars[] = "YXRLDTCEVFGES";

constexpr int32_t kNoBit = 255;
constexpr int32_t kMaxCount = 27;
constexpr int32_t kMaxDoubleWordCount = 13;  // E and G: 13 values are 26 words

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

constexpr uint32_t kMaxWordAddress = 65535;

bool IsDoubleWordDevice(int32_t device) {
    return device == 'E' || device == 'G';
}

}  // namespace

const char *const addressCharClasses[kAddressPositions] = {
    kHexChars,     kHexChars,     kDeviceChars,  kDecimalChars,
    kDecimalChars, kDecimalChars, kDecimalChars, kHexChars,
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

int32_t CheckAddressChars(const char *const (&classes)[kAddressPositions],
                          const AddressCopy &copy) {
    for (int i = 0; i < kAddressPositions; ++i) {
        if (copy[i] != '\0' && strchr(classes[i], copy[i]) == nullptr) {
            return 1;
        }
    }
    return 0;
}

int32_t ParseTagAddress(DriverRequest *request) {
    TagDefinition *tag = static_cast<TagDefinition *>(request->params);
    int32_t rejected = 0;

    tag->bitNumber = kNoBit;

    AddressCopy copy;
    if (LoadAddressText(tag->addressText, copy) != 0) {
        return 1;
    }
    // An invalid character is reported once and the parse goes on, so that
    // every field is still filled in for the host to look at.
    if (CheckAddressChars(addressCharClasses, copy) != 0) {
        LogToHost("MA: invalid chars in address\n");
        rejected = 1;
    }
    const size_t length = strlen(copy);

    if (tag->dataType == QIV_TYPE_REJECTED) {
        return 1;
    }
    tag->width = WidthOfDataType(tag->dataType);

    tag->station = HexTextToWord(copy, 2) & 0xFF;
    if (!IsAcceptedStation(tag->station, copy)) {
        rejected = 1;
    }

    tag->device = static_cast<unsigned char>(copy[2]);
    const char *number = copy + 3;

    switch (tag->device) {
        case 'D':
        case 'F':
            if (length != 8 || tag->width != 16) {
                rejected = 1;
            }
            tag->wordAddress = DecimalTextToWord(number, 5);
            if (FiveDigitNumber(number) > kMaxWordAddress) {
                rejected = 1;
            }
            break;
        case 'E':
        case 'G':
            // A block of E or G is always of 32-bit values.
            if (tag->count != 0) {
                tag->width = 32;
            }
            if (length != 8 || tag->width != 32) {
                rejected = 1;
            }
            tag->wordAddress = DecimalTextToWord(number, 5);
            if (tag->wordAddress % 2 != 0 || FiveDigitNumber(number) > kMaxWordAddress) {
                rejected = 1;
            }
            break;
        default:
            if ((tag->width == 16 || tag->width == 32) && length != 7) {
                rejected = 1;
            }
            if (tag->width == 1 && length != 8) {
                rejected = 1;
            }
            tag->wordAddress = DecimalTextToWord(number, 4);
            if (tag->width == 1 && length == 8) {
                tag->bitNumber = HexTextToWord(copy + 7, 1) & 0xFF;
            }
            break;
    }

    if (tag->count > kMaxCount) {
        rejected = 1;
    }
    if (tag->count > kMaxDoubleWordCount && IsDoubleWordDevice(tag->device)) {
        rejected = 1;
    }
    return rejected;
}
