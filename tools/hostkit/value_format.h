// Typed values: how the words of a tag are shown as text and JSON, and how
// text becomes the words to write.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// What one element of a tag is: a 16-bit word, a 32-bit value in two words,
// or one contact.
enum class ValueKind { kWord, kDoubleWord, kBit };

// --format: how values are shown, and how values to write are read.
enum class ValueFormat { kDefault, kSigned, kUnsigned, kHex, kBin, kBcd, kFloat, kAscii };

// --word-order: which word of a 32-bit value comes first in the controller's
// memory. The controller keeps the low word at the lower address.
enum class WordOrder { kLowFirst, kHighFirst };

bool ParseFormatName(const std::string &name, ValueFormat &format);
bool ParseWordOrderName(const std::string &name, WordOrder &order);
// "signed|unsigned|hex|bin|bcd|float|ascii" and "low-first|high-first".
const char *FormatNames();
const char *WordOrderNames();

// One element as text for people and as a JSON value (a number wherever the
// format is a number).
// JSON objects keep their keys in the order they were written.
using Json = nlohmann::ordered_json;

struct ShownValue {
    std::string text;
    Json json;
};

// `words` holds the element's words in address order: one, or two for a
// 32-bit value; a contact is 0 or 1.
ShownValue ShowValue(ValueKind kind, const uint16_t *words, ValueFormat format, WordOrder order);

// The words that `text` stands for, appended to `words` in address order.
// Integers are decimal, 0x hexadecimal or 0b binary (a leading zero is still
// decimal); each is checked against the element's range. A float goes only
// into a 32-bit element read as --format float, and only finite (inf and nan
// with `allowNonfinite`). false with a reason.
bool ParseValue(const std::string &text, ValueKind kind, ValueFormat format, WordOrder order,
                std::vector<uint16_t> &words, std::string *error, bool allowNonfinite = false);

// An integer as decimal, 0x hexadecimal or 0b binary text, with an optional
// sign; false when the text is none of these or leaves [min, max].
bool ParseInteger(const std::string &text, long long min, long long max, long long &value);

// The frame with its carriage return shown as <CR> and other control bytes
// as <XX>.
std::string PrintableFrame(const std::string &bytes);
