#include "tools/qivma/address_rules.h"

#include <ctype.h>
#include <stdio.h>

#include "address/tag_address.h"
#include "qivma.h"
#include "wire/wire_rules.h"

namespace {

std::string Upper(const std::string &text) {
    std::string upper;
    for (const char c : text)
        upper += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return upper;
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

std::string CharacterProblem(AddressPart part) {
    switch (part) {
        case AddressPart::kStation:
            return "the station is two hexadecimal digits";
        case AddressPart::kDevice:
            return "the device is one of X Y R L T C V S D E F G";
        case AddressPart::kNumber:
            return "the number is decimal";
        default:
            return "a hexadecimal digit belongs here";
    }
}

// Whether a character of this part is wrong: what the parse then made of the
// part's value is no reason of its own.
bool PartIsWrong(uint32_t faults, AddressPart part) {
    for (int i = 0; i < kAddressPositions; ++i) {
        if (addressParts[i] == part && (faults & CharacterFault(i)) != 0)
            return true;
    }
    return false;
}

// The length that the device and the width ask for, said for each device.
std::string LengthProblem(const TagDefinition &tag, size_t length) {
    const std::string device(1, static_cast<char>(tag.device));
    if (wire::IsDoubleWordDevice(tag.device))
        return device + " takes a five-digit register number: 8 characters";
    if (wire::NumberDigits(tag.device) == 5) {
        return device + " takes a five-digit register number: 8 characters, e.g. 01" + device +
               "00100";
    }
    if (tag.device == '\0')
        return "an address has 7 or 8 characters (station, device, number)";
    if (tag.width == 1)
        return "a bit address has 8 characters: the word and a bit digit 0-F";
    return length == kAddressPositions ? "an 8-character address names a bit: use --type bit"
                                       : "a word address has 7 characters: station, device, "
                                         "four-digit number";
}

std::string WidthProblem(const TagDefinition &tag) {
    const std::string device(1, static_cast<char>(tag.device));
    if (wire::IsDoubleWordDevice(tag.device))
        return device + " holds 32-bit values: use --type dword (or give a --count)";
    return device + " holds 16-bit words: use --type word, or E/G for 32 bits";
}

}  // namespace

int32_t InferredDataType(const std::string &address) {
    if (address.size() < 3)
        return QIV_TYPE_WORD;
    const int32_t device = toupper(static_cast<unsigned char>(address[2]));
    if (wire::IsDoubleWordDevice(device))
        return QIV_TYPE_DWORD;
    if (wire::NumberDigits(device) == 5)
        return QIV_TYPE_WORD;
    return address.size() == kAddressPositions ? QIV_TYPE_BIT : QIV_TYPE_WORD;
}

std::vector<std::string> AddressProblems(const std::string &address, int32_t dataType,
                                         int32_t count) {
    TagDefinition tag = {};
    tag.addressText = address.c_str();
    tag.dataType = dataType;
    tag.count = count;
    const uint32_t faults = TagAddressFaults(&tag);

    std::vector<std::string> problems;
    if ((faults & kFaultText) != 0) {
        problems.push_back("it has " + std::to_string(address.size()) +
                           " characters; an address has 7 or 8 (station, device, number)");
        return problems;
    }
    if ((faults & kFaultDataType) != 0) {
        problems.push_back("data type 7 is never accepted");
        return problems;
    }
    const std::string text = Upper(address);
    for (int i = 0; i < kAddressPositions; ++i) {
        if ((faults & CharacterFault(i)) != 0) {
            problems.push_back(Quoted(text[static_cast<size_t>(i)]) + " at position " +
                               std::to_string(i + 1) + ": " + CharacterProblem(addressParts[i]));
        }
    }
    if ((faults & kFaultStation) != 0 && !PartIsWrong(faults, AddressPart::kStation)) {
        problems.push_back("station " + text.substr(0, 2) + " (" + std::to_string(tag.station) +
                           ") is outside 00 to 20 (0 to 32), 21 to 32, EE and FF");
    }
    if ((faults & kFaultLength) != 0)
        problems.push_back(LengthProblem(tag, text.size()));
    if ((faults & kFaultWidth) != 0)
        problems.push_back(WidthProblem(tag));
    // An odd register is a reason where the number is all there; one too
    // high, where it is also written right.
    const bool numberWhole = (faults & kFaultLength) == 0;
    if ((faults & kFaultOddRegister) != 0 && numberWhole) {
        problems.push_back(std::string(1, static_cast<char>(tag.device)) +
                           " values start at an even register");
    }
    if ((faults & kFaultRegister) != 0 && numberWhole &&
        !PartIsWrong(faults, AddressPart::kNumber) && !PartIsWrong(faults, AddressPart::kLast)) {
        problems.push_back("register " + text.substr(3, 5) + " is above " +
                           std::to_string(wire::kMaxRegister) + ", the last one");
    }
    if ((faults & kFaultCount) != 0) {
        problems.push_back("a tag has at most " + std::to_string(wire::kMaxWordsPerFrame) +
                           " elements");
    } else if ((faults & kFaultDoubleWordCount) != 0) {
        const int32_t values = wire::kMaxDoubleWordValues;
        problems.push_back("an E or G tag has at most " + std::to_string(values) + " values (" +
                           std::to_string(values * wire::WordsPerValue('E')) + " words)");
    }
    return problems;
}
