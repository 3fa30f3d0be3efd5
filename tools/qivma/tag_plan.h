// A tag as the tool moves it: any number of elements, split into as many
// calls of QivMain as the frames' limits need, each element labelled by its
// address on the controller.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "tools/qivma/session.h"
#include "tools/qivma/value_format.h"

enum class Operation { kRead, kWrite };

struct Element {
    std::string label;     // the controller's address: D100, R12A, WX10, SV5; D100-D101 for 32 bits
    size_t word;           // its first word among the plan's words
    int bit;               // 0-15: a contact of that word; -1: the word or words themselves
    std::string from, to;  // the labels of its first and last register (or contact)
};

// One call of QivMain: its tag and the span of the plan's words it moves.
struct Chunk {
    Tag tag;
    size_t firstWord;
    size_t words;
};

struct TagPlan {
    std::string address;  // as given
    std::string station;  // two hexadecimal digits
    Operation op = Operation::kRead;
    Tag base;  // the address as given, as the driver parsed it
    ValueKind kind = ValueKind::kWord;
    std::vector<Element> elements;
    std::vector<Chunk> chunks;
    size_t words = 0;  // the words of all chunks together
};

// The plan of `count` elements from `address` (0: the one value the address
// names). Throws UsageError when the address is refused or the range cannot
// be moved, naming the limit; nothing touches a port before.
TagPlan PlanTag(const std::string &address, const std::string &type, int count, Operation op);

// The host data type that --type names, or the one guessed from the address.
// Throws UsageError for a name that is none.
int32_t DataTypeFor(const std::string &type, const std::string &address);

// The words each element of this kind takes.
size_t WordsPerElement(ValueKind kind);

// The characters of the frames that move a chunk, carriage return included:
// the request, and the answer that a good exchange brings back.
size_t RequestCharacters(const Chunk &chunk, Operation op);
size_t AnswerCharacters(const Chunk &chunk, Operation op);

// How many words one frame moves for this device: a read answer holds 27,
// a register write 24, a contact-word or timer write 25; T and C take none.
int WordsPerFrame(char device, Operation op);
