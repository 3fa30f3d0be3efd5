// Tag address texts such as "01D00100" (station 01, data register 100):
// checked against the host's data type and count, and translated into the
// station, device letter, word address, bit number and element width.
#pragma once

#include <stdint.h>

#include "qivma.h"

constexpr int kAddressPositions = 8;

// The parse's private copy: the eight positions, folded to upper case, and a
// terminator. Positions past the end of the text are NUL.
using AddressCopy = char[kAddressPositions + 1];

// What each position holds: the station, the device letter, the number, and
// last the bit digit of a word or the fifth digit of a register number.
enum class AddressPart { kStation, kDevice, kNumber, kLast };
inline constexpr AddressPart addressParts[kAddressPositions] = {
    AddressPart::kStation, AddressPart::kStation, AddressPart::kDevice, AddressPart::kNumber,
    AddressPart::kNumber,  AddressPart::kNumber,  AddressPart::kNumber, AddressPart::kLast,
};

// The characters allowed at each of the eight positions.
extern const char *const addressCharClasses[kAddressPositions];

// What the parse finds wrong with a tag: a bit for each rule it breaks.
enum TagAddressFault : uint32_t {
    kFaultText = 1u << 0,         // no text, or more than eight characters: nothing else is checked
    kFaultDataType = 1u << 1,     // data type 7: nothing after the characters is checked
    kFaultStation = 1u << 2,      // none of 0-32, 21-32 in decimal digits, EE, FF
    kFaultLength = 1u << 3,       // a length that the device and the width do not take
    kFaultWidth = 1u << 4,        // D and F hold 16-bit words, E and G 32-bit values
    kFaultOddRegister = 1u << 5,  // E and G values start at an even register
    kFaultRegister = 1u << 6,     // a register number past the last one
    kFaultCount = 1u << 7,        // more elements than one answer carries
    kFaultDoubleWordCount = 1u << 8,  // more E or G values than one answer carries
};
// A character outside its position's set: one bit for each position.
constexpr int kFaultCharacterShift = 16;
constexpr uint32_t kFaultCharacters = 0xFFu << kFaultCharacterShift;
constexpr uint32_t CharacterFault(int position) {
    return 1u << (kFaultCharacterShift + position);
}

// Parses the TagDefinition at request->params. 0: accepted; 1: rejected.
// Writes only the output fields, as far as the checks got, and logs at most
// "MA: invalid chars in address\n".
int32_t ParseTagAddress(DriverRequest *request);

// The same parse, writing the same fields, without a word to the host: what
// it found wrong (0: the tag is accepted). A host program that must say why
// a tag was refused asks this, so that it applies the driver's own rules.
uint32_t TagAddressFaults(TagDefinition *tag);

// 1 for a text longer than eight characters (or none at all); else 0 with the
// text folded into `copy`.
int32_t LoadAddressText(const char *text, AddressCopy &copy);

// The character faults of the copy: a bit for each position whose character
// is outside its set; an empty position passes.
uint32_t CheckAddressChars(const char *const (&classes)[kAddressPositions],
                           const AddressCopy &copy);
