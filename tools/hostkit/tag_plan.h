// Tags as a host moves them, in as few calls of QivMain as the frames allow:
// a range of any length split into frames, each element labelled by its
// address on the controller; or a list of single tags, neighbours merged
// into block reads, each tag's value then taken from its frame's words.
#pragma once

#include <stddef.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/hostkit/session.h"
#include "tools/hostkit/value_format.h"

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

// Why a plan cannot be made: the message names the limit, or the address
// that the driver refused; Refused() is then that tag as it was given to the
// driver (its address is empty for a limit).
class PlanError : public std::runtime_error {
  public:
    explicit PlanError(const std::string &message, Tag refused = {})
        : std::runtime_error(message), refused_(std::move(refused)) {}
    const Tag &Refused() const { return refused_; }

  private:
    Tag refused_;
};

// The plan of `count` elements from `address` (0: the one value the address
// names) as `dataType` (QIV_TYPE_*). Throws PlanError; nothing touches a port.
TagPlan PlanTag(const std::string &address, int32_t dataType, int count, Operation op);

// The address as the driver takes it of word `word` of `device` at
// `station` (two hexadecimal digits), or of its contact `bit` (0-15; -1 for
// the word): 01D00100, 01R0012A.
std::string TagAddress(const std::string &station, char device, long word, int bit = -1);

// A word as people know it on the controller: D100, WR12, SV5, EV5; E and G
// go by the D and F registers that hold them.
std::string WordLabel(char device, long word);

// The device that reads the same memory as `device` with `wordsPerValue`
// words to a value: D for E and 1, G for F and 2; `device` where none does.
char MemoryView(char device, int32_t wordsPerValue);

// What the elements of a tag are: a contact, a 32-bit value, a word.
ValueKind KindOf(const Tag &tag);

// The words each element of this kind takes.
size_t WordsPerElement(ValueKind kind);

// The characters of the frames that move a chunk, carriage return included:
// the request, and the answer that a good exchange brings back.
size_t RequestCharacters(const Chunk &chunk, Operation op);
size_t AnswerCharacters(const Chunk &chunk, Operation op);

// How many words one frame moves for this device: a read answer holds 27,
// a register write 24, a contact-word or timer write 25; T and C take none.
int WordsPerFrame(char device, Operation op);

// Where a scanned tag's value lies in its block frame.
struct BlockSlot {
    size_t tag;   // its index among the tags planned
    size_t word;  // its first word in the frame
    int bit;      // 0-15: a contact of that word; -1: the value's own words
    ValueKind kind;
};

// One block read: the chunk the driver reads (firstWord 0), and the tags
// whose values it brings.
struct BlockFrame {
    Chunk chunk;
    std::vector<BlockSlot> slots;
};

// The block reads that bring in `tags`, single values as Session::ParseTag
// left them. Tags of one station and memory go in one frame while it holds
// at most the words of one read answer and reads across at most `gapWords`
// words that no tag asks for; E and G are read as the D and F words that
// hold them, contacts through their contact words. Throws PlanError for a
// tag that no read brings in.
std::vector<BlockFrame> PlanBlocks(const std::vector<Tag> &tags, int gapWords);

// The slot's words in address order, out of its frame's words as Read
// returned them: the value's one or two words, or the contact's 0 or 1.
std::vector<uint16_t> SlotWords(const BlockSlot &slot, const std::vector<uint16_t> &frameWords);

// The slot's value as a host serves it: signed, unsigned or float bits.
ShownValue SlotValue(const BlockSlot &slot, const std::vector<uint16_t> &frameWords,
                     ValueFormat format);
