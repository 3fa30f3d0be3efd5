// Tag address texts such as "01D00100" (station 01, data register 100):
// checked against the host's data type and count, and translated into the
// station, device letter, word address, bit number and element width.
#pragma once

#include "qivma.h"

constexpr int kAddressPositions = 8;

// The parse's private copy: the eight positions, folded to upper case, and a
// terminator. Positions past the end of the text are NUL.
using AddressCopy = char[kAddressPositions + 1];

// The characters allowed at each of the eight positions.
extern const char *const addressCharClasses[kAddressPositions];

// Parses the TagDefinition at request->params. 0: accepted; 1: rejected.
// Writes only the output fields, as far as the checks got, and logs at most
// "MA: invalid chars in address\n".
int32_t ParseTagAddress(DriverRequest *request);

// 1 for a text longer than eight characters (or none at all); else 0 with the
// text folded into `copy`.
int32_t LoadAddressText(const char *text, AddressCopy &copy);

// 1 at the first character outside its position's set; an empty position passes.
int32_t CheckAddressChars(const char *const (&classes)[kAddressPositions], const AddressCopy &copy);
