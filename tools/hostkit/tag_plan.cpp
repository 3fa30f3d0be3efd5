#include "tools/hostkit/tag_plan.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <utility>

#include "wire/wire_rules.h"

namespace {

bool IsTimerOrCounter(char device) {
    return device == 'T' || device == 'C';
}

// Tags reach a plan parsed, so their device is always one of the wire's.
const wire::DeviceCommands &Commands(char device) {
    const wire::DeviceCommands *commands = wire::FindDevice(device);
    if (commands == nullptr)
        throw PlanError(std::string("no device ") + device);
    return *commands;
}

std::string Hex2(int value) {
    char text[8];
    snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// The letters people know the memory by.
std::string MemoryName(char device, bool contact) {
    device = MemoryView(device, 1);
    switch (device) {
        case 'V':
            return "EV";
        case 'S':
            return "SV";
        case 'D':
        case 'F':
            return std::string(1, device);
        default:
            return contact ? std::string(1, device) : "W" + std::string(1, device);
    }
}

}  // namespace

std::string TagAddress(const std::string &station, char device, long word, int bit) {
    char text[16];
    snprintf(text, sizeof text, "%0*ld", static_cast<int>(wire::NumberDigits(device)), word);
    std::string address = station + device + text;
    if (bit >= 0)
        address += "0123456789ABCDEF"[bit];
    return address;
}

std::string WordLabel(char device, long word) {
    return MemoryName(device, false) + std::to_string(word);
}

namespace {

// R12A is word 12, contact A; R5 is word 0, contact 5; T and C contacts go by
// the timer's or counter's number.
std::string ContactLabel(char device, long contact) {
    if (IsTimerOrCounter(device))
        return MemoryName(device, true) + std::to_string(contact);
    const long word = contact / 16;
    const char digit = "0123456789ABCDEF"[contact % 16];
    return MemoryName(device, true) + (word == 0 ? "" : std::to_string(word)) + digit;
}

Element OneElement(const std::string &label, size_t word, int bit) {
    return {label, word, bit, label, label};
}

// A 32-bit value goes by the two registers that hold it: D100-D101.
Element ValueElement(char device, long at, size_t word, ValueKind kind) {
    if (kind != ValueKind::kDoubleWord)
        return OneElement(WordLabel(device, at), word, -1);
    const std::string from = WordLabel(device, at), to = WordLabel(device, at + 1);
    return {from + "-" + to, word, -1, from, to};
}

Tag ParsedTag(const std::string &address, int32_t dataType, int32_t count) {
    Tag tag;
    tag.address = address;
    tag.dataType = dataType;
    tag.count = count;
    if (!Session::ParseTag(tag))
        throw PlanError(address + " is refused", tag);
    return tag;
}

void CheckLastWord(const TagPlan &plan, char device, long last, int count) {
    const long limit = wire::LastNumber(device);
    if (last > limit) {
        throw PlanError(plan.address + " --count " + std::to_string(count) + " runs to " +
                        WordLabel(device, last) + ", past the last number an address names (" +
                        std::to_string(limit) + ")");
    }
}

// Chunks of whole elements, each as large as one frame allows.
void SplitWords(TagPlan &plan, char device, long firstWord, size_t totalWords, Operation op) {
    const size_t perElement = WordsPerElement(plan.kind);
    size_t perFrame = static_cast<size_t>(WordsPerFrame(device, op));
    if (wire::IsDoubleWordDevice(device))
        perFrame = std::min<size_t>(perFrame, 2 * wire::kMaxDoubleWordValues);
    perFrame = perFrame / perElement * perElement;
    for (size_t done = 0; done < totalWords; done += perFrame) {
        const size_t words = std::min(perFrame, totalWords - done);
        const long word = firstWord + static_cast<long>(done);
        const bool pairs = wire::IsDoubleWordDevice(device);
        const int32_t dataType = pairs ? QIV_TYPE_DWORD : QIV_TYPE_WORD;
        const int32_t count = static_cast<int32_t>(pairs ? words / 2 : words);
        Tag tag = ParsedTag(TagAddress(plan.station, device, word, -1), dataType, count);
        plan.chunks.push_back({tag, done, words});
    }
    plan.words = totalWords;
}

void PlanContacts(TagPlan &plan, char device, int count, Operation op) {
    const long first =
        static_cast<long>(plan.base.definition.wordAddress) * 16 + plan.base.definition.bitNumber;
    const long last = first + count - 1;
    CheckLastWord(plan, device, last / 16, count);
    if (op == Operation::kWrite) {
        if (last / 16 > wire::kMaxContactWord) {
            throw PlanError(plan.address + " --count " + std::to_string(count) + " runs to " +
                            ContactLabel(device, last) +
                            ": a single contact is written only up to word " +
                            std::to_string(wire::kMaxContactWord) + " (three digits)");
        }
        // The driver writes one contact per frame.
        for (long contact = first; contact <= last; ++contact) {
            const size_t index = static_cast<size_t>(contact - first);
            plan.elements.push_back(OneElement(ContactLabel(device, contact), index, -1));
            Tag tag = ParsedTag(
                TagAddress(plan.station, device, contact / 16, static_cast<int>(contact % 16)),
                QIV_TYPE_BIT, 0);
            plan.chunks.push_back({tag, index, 1});
        }
        plan.words = static_cast<size_t>(count);
        return;
    }
    // Contacts are read through the contact words that hold them.
    const long firstWord = first / 16;
    for (long contact = first; contact <= last; ++contact) {
        plan.elements.push_back(OneElement(ContactLabel(device, contact),
                                           static_cast<size_t>(contact / 16 - firstWord),
                                           static_cast<int>(contact % 16)));
    }
    const ValueKind kind = plan.kind;
    plan.kind = ValueKind::kWord;
    SplitWords(plan, device, firstWord, static_cast<size_t>(last / 16 - firstWord + 1), op);
    plan.kind = kind;
}

// The read of a station that none answers.
std::string GlobalStationRead(const std::string &address) {
    return address +
           ": station FF is the global station; every controller executes what is written to it "
           "and none answers, so it cannot be read";
}

}  // namespace

char MemoryView(char device, int32_t wordsPerValue) {
    for (const wire::DeviceCommands &other : wire::kDevices) {
        if (strcmp(other.read, Commands(device).read) == 0 &&
            wire::WordsPerValue(other.letter) == wordsPerValue)
            return other.letter;
    }
    return device;
}

ValueKind KindOf(const Tag &tag) {
    if (tag.definition.width == 1)
        return ValueKind::kBit;
    if (tag.definition.width == 32 || wire::IsDoubleWordDevice(tag.definition.device))
        return ValueKind::kDoubleWord;
    return ValueKind::kWord;
}

size_t WordsPerElement(ValueKind kind) {
    return kind == ValueKind::kDoubleWord ? 2 : 1;
}

size_t RequestCharacters(const Chunk &chunk, Operation op) {
    const bool write = op == Operation::kWrite;
    if (write && chunk.tag.definition.width == 1)
        return wire::kContactWriteLength;
    return static_cast<size_t>(
        wire::BlockRequestLength(Commands(static_cast<char>(chunk.tag.definition.device)), write,
                                 static_cast<int32_t>(chunk.words)));
}

size_t AnswerCharacters(const Chunk &chunk, Operation op) {
    return static_cast<size_t>(
        wire::AnswerLength(op == Operation::kRead ? static_cast<int32_t>(chunk.words) : 0));
}

int WordsPerFrame(char device, Operation op) {
    return op == Operation::kRead ? wire::kMaxWordsPerFrame : wire::WordsPerWrite(Commands(device));
}

TagPlan PlanTag(const std::string &address, int32_t dataType, int count, Operation op) {
    TagPlan plan;
    plan.address = address;
    plan.op = op;
    // A block of any length is parsed as a block of one: the driver's own
    // limit on one tag does not bind a range that goes in several frames.
    plan.base = ParsedTag(address, dataType, count > 0 ? 1 : 0);
    plan.base.count = 0;
    plan.station = Hex2(plan.base.definition.station);
    plan.kind = KindOf(plan.base);
    const char device = static_cast<char>(plan.base.definition.device);

    if (op == Operation::kRead && plan.station == "FF")
        throw PlanError(GlobalStationRead(address));
    if (op == Operation::kWrite && WordsPerFrame(device, op) == 0) {
        throw PlanError(address +
                        ": timer and counter contacts (T, C) cannot be written; the protocol "
                        "has no write for them (write the set value, S, instead)");
    }
    const long word = plan.base.definition.wordAddress;
    if (count == 0) {
        plan.words = WordsPerElement(plan.kind);
        plan.elements.push_back(
            plan.kind == ValueKind::kBit
                ? OneElement(ContactLabel(device, word * 16 + plan.base.definition.bitNumber), 0,
                             -1)
                : ValueElement(device, word, 0, plan.kind));
        plan.chunks.push_back({plan.base, 0, plan.words});
        return plan;
    }
    if (plan.kind == ValueKind::kBit) {
        PlanContacts(plan, device, count, op);
        return plan;
    }
    const size_t perElement = WordsPerElement(plan.kind);
    const size_t totalWords = static_cast<size_t>(count) * perElement;
    CheckLastWord(plan, device, word + static_cast<long>(totalWords) - 1, count);
    for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
        const long at = word + static_cast<long>(i * perElement);
        plan.elements.push_back(ValueElement(device, at, i * perElement, plan.kind));
    }
    SplitWords(plan, device, word, totalWords, op);
    return plan;
}

namespace {

struct Placed {
    size_t tag;
    long first, last;  // the words of the memory it takes
};

}  // namespace

std::vector<BlockFrame> PlanBlocks(const std::vector<Tag> &tags, int gapWords) {
    std::map<std::pair<int32_t, char>, std::vector<Placed>> groups;
    for (size_t i = 0; i < tags.size(); ++i) {
        const TagDefinition &d = tags[i].definition;
        if (tags[i].count != 0)
            throw PlanError(tags[i].address +
                            ": a block; its elements are scanned as tags of "
                            "their own");
        if (d.station == 0xFF)
            throw PlanError(GlobalStationRead(tags[i].address));
        const long first = d.wordAddress;
        const long last = first + static_cast<long>(WordsPerElement(KindOf(tags[i]))) - 1;
        groups[{d.station, MemoryView(static_cast<char>(d.device), 1)}].push_back({i, first, last});
    }
    std::vector<BlockFrame> frames;
    for (auto &[key, placed] : groups) {
        const char memory = key.second;
        const long limit = WordsPerFrame(memory, Operation::kRead);
        std::stable_sort(placed.begin(), placed.end(),
                         [](const Placed &a, const Placed &b) { return a.first < b.first; });
        for (size_t begin = 0; begin < placed.size();) {
            const long first = placed[begin].first;
            long last = placed[begin].last;
            size_t end = begin + 1;
            while (end < placed.size() && placed[end].first - last - 1 <= gapWords &&
                   std::max(last, placed[end].last) - first + 1 <= limit) {
                last = std::max(last, placed[end].last);
                ++end;
            }
            const size_t words = static_cast<size_t>(last - first + 1);
            BlockFrame frame;
            frame.chunk = {ParsedTag(TagAddress(Hex2(key.first), memory, first, -1), QIV_TYPE_WORD,
                                     static_cast<int32_t>(words)),
                           0, words};
            for (size_t i = begin; i < end; ++i) {
                const Tag &tag = tags[placed[i].tag];
                const ValueKind kind = KindOf(tag);
                frame.slots.push_back({placed[i].tag, static_cast<size_t>(placed[i].first - first),
                                       kind == ValueKind::kBit ? tag.definition.bitNumber : -1,
                                       kind});
            }
            frames.push_back(std::move(frame));
            begin = end;
        }
    }
    return frames;
}

std::vector<uint16_t> SlotWords(const BlockSlot &slot, const std::vector<uint16_t> &frameWords) {
    if (slot.kind == ValueKind::kBit)
        return {static_cast<uint16_t>(frameWords.at(slot.word) >> slot.bit & 1)};
    std::vector<uint16_t> words;
    for (size_t w = 0; w < WordsPerElement(slot.kind); ++w)
        words.push_back(frameWords.at(slot.word + w));
    return words;
}

ShownValue SlotValue(const BlockSlot &slot, const std::vector<uint16_t> &frameWords,
                     ValueFormat format) {
    const std::vector<uint16_t> words = SlotWords(slot, frameWords);
    return ShowValue(slot.kind, words.data(), format, WordOrder::kLowFirst);
}
