#include "tools/fpsim/controller.h"

#include "tools/fpsim/frame.h"

namespace fpsim {

namespace {

// The longest frame, block check included, carriage return not: 118
// characters after "%", 2047 after "<" (2048 with the carriage return).
constexpr size_t kMaxFrameChars = 118;
constexpr size_t kMaxExtendedFrameChars = 2047;
// A normal response holds the header, station, "$", echo, data and block check.
constexpr size_t kResponseOverhead = 8;

// The most words that one answer carries: 27 after "%", 509 after "<".
size_t MaxResponseWords(size_t frameChars) {
    return (frameChars - kResponseOverhead) / 4;
}

const std::string kEveryStation = "FF";
const std::string kConnectedStation = "EE";

bool IsWrite(const std::string &command) {
    return !command.empty() && command[0] == 'W';
}

// Area codes of the register and contact commands. Letters that name an area
// of another command are a parameter error; other letters are not supported.
enum class AreaCheck { kOk, kWrongArea, kUnknownArea };

// RD and WD: data registers D, file registers F and link data registers L.
// (L names the link relays in the contact commands and the link data
// registers here.)
AreaCheck RegisterArea(char letter, Area &area) {
    switch (letter) {
        case 'D':
            area = Area::kData;
            return AreaCheck::kOk;
        case 'F':
            area = Area::kFile;
            return AreaCheck::kOk;
        case 'L':
            area = Area::kLinkData;
            return AreaCheck::kOk;
        case 'X':
        case 'Y':
        case 'R':
        case 'T':
        case 'C':
            return AreaCheck::kWrongArea;
        default:
            return AreaCheck::kUnknownArea;
    }
}

AreaCheck ContactArea(char letter, Area &area) {
    switch (letter) {
        case 'X':
            area = Area::kX;
            return AreaCheck::kOk;
        case 'Y':
            area = Area::kY;
            return AreaCheck::kOk;
        case 'R':
            area = Area::kR;
            return AreaCheck::kOk;
        case 'L':
            area = Area::kL;
            return AreaCheck::kOk;
        case 'T':
        case 'C':
            area = Area::kTimerCounter;
            return AreaCheck::kOk;
        case 'D':
        case 'F':
            return AreaCheck::kWrongArea;
        default:
            return AreaCheck::kUnknownArea;
    }
}

int AreaError(AreaCheck check) {
    return check == AreaCheck::kWrongArea ? kErrParameter : kErrNotSupported;
}

}  // namespace

Bus::Bus(const std::vector<std::string> &stations, const BusSettings &settings)
    : stations_(stations), settings_(settings) {
    for (size_t i = 0; i < stations_.size(); ++i) {
        memories_.push_back(std::make_unique<Memory>(settings_.profile));
    }
}

Memory *Bus::MemoryOf(const std::string &station) {
    for (size_t i = 0; i < stations_.size(); ++i) {
        if (stations_[i] == station) {
            return memories_[i].get();
        }
    }
    return nullptr;
}

bool Bus::Assign(const std::string &assignment, std::string *error) {
    const size_t colon = assignment.find(':');
    if (colon == std::string::npos) {
        for (auto &memory : memories_) {
            if (!memory->Assign(assignment, error))
                return false;
        }
        return true;
    }
    const std::string station = WithoutOuterBlanks(assignment.substr(0, colon));
    Memory *memory = MemoryOf(station);
    if (memory == nullptr) {
        std::string onTheLine;
        for (const std::string &s : stations_)
            onTheLine += " " + s;
        *error = "'" + assignment + "': station " + station + " is not on the line (stations" +
                 onTheLine + ")";
        return false;
    }
    return memory->Assign(assignment.substr(colon + 1), error);
}

Outcome Bus::Handle(const std::string &frame) {
    Outcome outcome;
    // A frame whose station cannot be read is noise on the line: no answer.
    if (frame.size() < 4 || (frame[0] != kHeader && frame[0] != kExtendedHeader) ||
        frame.back() != kCarriageReturn) {
        return outcome;
    }
    const char header = frame[0];
    maxFrameChars_ = header == kExtendedHeader ? kMaxExtendedFrameChars : kMaxFrameChars;
    outcome.station = frame.substr(1, 2);
    const std::string body = frame.substr(0, frame.size() - 1);

    if (outcome.station == kEveryStation) {
        // Executed by every station, answered by none.
        if (body.size() >= 6 && body[3] == '#' && IsWrite(body.substr(4))) {
            const std::string check = body.substr(body.size() - 2);
            const std::string content = body.substr(0, body.size() - 2);
            if (check == "**" || check == Hex2(BlockCheck(content))) {
                for (auto &memory : memories_) {
                    Execute(*memory, content.substr(4));
                }
            }
        }
        return outcome;
    }

    Memory *memory = nullptr;
    if (outcome.station == kConnectedStation && settings_.answerEE && !memories_.empty()) {
        memory = memories_.front().get();
    } else {
        memory = MemoryOf(outcome.station);
    }
    if (memory == nullptr) {
        return outcome;  // another controller's request
    }

    outcome.answered = true;
    const auto fail = [&](int code) {
        outcome.errorCode = code;
        outcome.response = ErrorResponse(outcome.station, code, header);
        return outcome;
    };
    if (body.size() < 6) {
        return fail(kErrFormat);
    }
    const std::string check = body.substr(body.size() - 2);
    const std::string content = body.substr(0, body.size() - 2);
    if (check != "**" && check != Hex2(BlockCheck(content))) {
        return fail(kErrBlockCheck);
    }
    if (body.size() > maxFrameChars_) {
        return fail(kErrFrameTooLong);
    }
    if (content[3] != '#') {
        return fail(kErrFormat);
    }
    const std::string command = content.substr(4);
    if (command.empty()) {
        return fail(kErrFormat);
    }
    if (command.back() == '&') {
        return fail(kErrProcedure);  // no multi-frame requests
    }
    const Reply reply = Execute(*memory, command);
    if (reply.error != 0) {
        return fail(reply.error);
    }
    outcome.response = NormalResponse(outcome.station, reply.echo, reply.data, header);
    return outcome;
}

Bus::Reply Bus::Execute(Memory &memory, const std::string &command) {
    const auto startsWith = [&](const char *prefix) { return command.rfind(prefix, 0) == 0; };
    if (startsWith("RD") || startsWith("WD"))
        return Registers(memory, command);
    if (startsWith("RCC") || startsWith("WCC"))
        return ContactWords(memory, command);
    if (startsWith("RCS"))
        return ReadContact(memory, command);
    if (startsWith("WCS"))
        return WriteContact(memory, command);
    if (startsWith("RCP"))
        return ReadContacts(memory, command);
    if (startsWith("WCP"))
        return WriteContacts(memory, command);
    if (startsWith("RS") || startsWith("RK"))
        return ReadTimerValues(memory, command);
    if (startsWith("WS") || startsWith("WK"))
        return WriteTimerValues(memory, command);
    if (startsWith("RR"))
        return ReadSystemRegisters(memory, command);
    if (command == "RT")
        return {0, "RT", settings_.statusData};
    return {kErrNotSupported, "", ""};
}

namespace {

// A range of words: the start and end fields after the command and area.
struct Range {
    uint32_t first = 0, last = 0;
    size_t Count() const { return last - first + 1; }
};

// Reads the two `digits`-wide fields at `at`. 41 for a short or non-decimal
// field, 61 for a range the area does not hold, else 0.
int ReadRange(const std::string &command, size_t at, size_t digits, const Memory &memory, Area area,
              Range &range) {
    if (!ParseDecimal(command, at, digits, range.first) ||
        !ParseDecimal(command, at + digits, digits, range.last)) {
        return kErrFormat;
    }
    return memory.InRange(area, range.first, range.last) ? 0 : kErrData;
}

// The words of a write: exactly one wire word per word of the range.
int ReadWriteData(const std::string &command, size_t at, const Range &range,
                  std::vector<uint16_t> &words) {
    if (command.size() - at != 4 * range.Count()) {
        return kErrData;
    }
    words.resize(range.Count());
    for (size_t i = 0; i < words.size(); ++i) {
        if (!ParseWireWord(command, at + 4 * i, words[i])) {
            return kErrData;
        }
    }
    return 0;
}

std::string WireWords(const Memory &memory, Area area, const Range &range) {
    std::string data;
    for (uint32_t i = range.first; i <= range.last; ++i) {
        data += WireWord(memory.Word(area, i));
    }
    return data;
}

}  // namespace

// A read of the words from start to end, both `digits` wide at `at`.
Bus::Reply Bus::ReadWords(Memory &memory, Area area, const std::string &command, size_t at,
                          size_t digits, const std::string &echo) {
    if (command.size() != at + 2 * digits)
        return {kErrFormat, "", ""};
    Range range;
    if (const int error = ReadRange(command, at, digits, memory, area, range))
        return {error, "", ""};
    if (range.Count() > MaxResponseWords(maxFrameChars_))
        return {kErrFrameTooLong, "", ""};
    return {0, echo, WireWords(memory, area, range)};
}

// A write of the words from start to end, with their data after the range.
Bus::Reply Bus::WriteWords(Memory &memory, Area area, const std::string &command, size_t at,
                           size_t digits, const std::string &echo) {
    if (command.size() < at + 2 * digits)
        return {kErrFormat, "", ""};
    Range range;
    if (const int error = ReadRange(command, at, digits, memory, area, range))
        return {error, "", ""};
    std::vector<uint16_t> words;
    if (const int error = ReadWriteData(command, at + 2 * digits, range, words))
        return {error, "", ""};
    for (size_t i = 0; i < words.size(); ++i) {
        memory.SetWord(area, range.first + i, words[i]);
    }
    return {0, echo, ""};
}

// RD / WD area start(5) end(5) [data]: data and file registers
Bus::Reply Bus::Registers(Memory &memory, const std::string &command) {
    if (command.size() < 3)
        return {kErrFormat, "", ""};
    Area area;
    const AreaCheck check = RegisterArea(command[2], area);
    if (check != AreaCheck::kOk)
        return {AreaError(check), "", ""};
    const std::string echo = command.substr(0, 2);
    return IsWrite(command) ? WriteWords(memory, area, command, 3, 5, echo)
                            : ReadWords(memory, area, command, 3, 5, echo);
}

// RCC / WCC area start(4) end(4) [data]: contact words. X is input and T/C
// contacts are the controller's own, so only Y, R and L take writes.
Bus::Reply Bus::ContactWords(Memory &memory, const std::string &command) {
    if (command.size() < 4)
        return {kErrFormat, "", ""};
    Area area;
    const AreaCheck check = ContactArea(command[3], area);
    if (check != AreaCheck::kOk)
        return {AreaError(check), "", ""};
    if (!IsWrite(command))
        return ReadWords(memory, area, command, 4, 4, "RC");
    if (const int error = WriteRefusal(area))
        return {error, "", ""};
    return WriteWords(memory, area, command, 4, 4, "WC");
}

namespace {

// The contact number at `at`: for X, Y, R and L three decimal digits of the
// word and one hexadecimal digit of the bit; for T and C the timer or counter
// number in four decimal digits.
int ReadContactNumber(const std::string &command, size_t at, const Memory &memory, char letter,
                      Area area, size_t &contact) {
    uint32_t number = 0;
    if (letter == 'T' || letter == 'C') {
        if (!ParseDecimal(command, at, 4, number))
            return kErrFormat;
        if (number >= memory.TimerCounterCount())
            return kErrData;
        contact = number;
        return 0;
    }
    if (!ParseDecimal(command, at, 3, number) || at + 3 >= command.size())
        return kErrFormat;
    const char bit = command[at + 3];
    int bitValue = -1;
    if (bit >= '0' && bit <= '9')
        bitValue = bit - '0';
    if (bit >= 'A' && bit <= 'F')
        bitValue = bit - 'A' + 10;
    if (bitValue < 0)
        return kErrFormat;
    if (number >= memory.Size(area))
        return kErrData;
    contact = number * 16 + static_cast<size_t>(bitValue);
    return 0;
}

// The count of RCP and WCP, one digit after the command, and the length that
// it gives the frame: `each` characters per contact. A count that is not a
// digit, or a frame longer or shorter than its count, is a format error; a
// count outside 1 to 8 is a data error.
constexpr size_t kContactListStart = 4;
constexpr uint32_t kMostContactsPerFrame = 8;

int ReadContactCount(const std::string &command, size_t each, size_t &count) {
    uint32_t number = 0;
    if (!ParseDecimal(command, 3, 1, number))
        return kErrFormat;
    if (number < 1 || number > kMostContactsPerFrame)
        return kErrData;
    count = number;
    return command.size() == kContactListStart + each * count ? 0 : kErrFormat;
}

}  // namespace

// RCS area contact(4)
Bus::Reply Bus::ReadContact(Memory &memory, const std::string &command) {
    if (command.size() < 4)
        return {kErrFormat, "", ""};
    Area area;
    const AreaCheck check = ContactArea(command[3], area);
    if (check != AreaCheck::kOk)
        return {AreaError(check), "", ""};
    if (command.size() != 8)
        return {kErrFormat, "", ""};
    size_t contact = 0;
    if (const int error = ReadContactNumber(command, 4, memory, command[3], area, contact)) {
        return {error, "", ""};
    }
    return {0, "RC", memory.Contact(area, contact) ? "1" : "0"};
}

// WCS area contact(4) value(1)
Bus::Reply Bus::WriteContact(Memory &memory, const std::string &command) {
    if (command.size() < 4)
        return {kErrFormat, "", ""};
    Area area;
    const AreaCheck check = ContactArea(command[3], area);
    if (check != AreaCheck::kOk)
        return {AreaError(check), "", ""};
    if (const int error = WriteRefusal(area))
        return {error, "", ""};
    if (command.size() != 9)
        return {kErrFormat, "", ""};
    size_t contact = 0;
    if (const int error = ReadContactNumber(command, 4, memory, command[3], area, contact)) {
        return {error, "", ""};
    }
    const char value = command[8];
    if (value != '0' && value != '1')
        return {kErrData, "", ""};
    memory.SetContact(area, contact, value == '1');
    return {0, "WC", ""};
}

// X is input and T/C contacts are the controller's own: only Y, R and L take
// writes of contacts.
int Bus::WriteRefusal(Area area) const {
    if (area == Area::kX)
        return settings_.inputWriteError;
    if (area == Area::kTimerCounter)
        return kErrParameter;
    return 0;
}

// RCP count(1) then count times: area contact(4)
Bus::Reply Bus::ReadContacts(Memory &memory, const std::string &command) {
    constexpr size_t kEach = 5;
    size_t count = 0;
    if (const int error = ReadContactCount(command, kEach, count))
        return {error, "", ""};
    std::string states;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = kContactListStart + kEach * i;
        Area area;
        const AreaCheck check = ContactArea(command[at], area);
        if (check != AreaCheck::kOk)
            return {AreaError(check), "", ""};
        size_t contact = 0;
        if (const int error =
                ReadContactNumber(command, at + 1, memory, command[at], area, contact))
            return {error, "", ""};
        states += memory.Contact(area, contact) ? '1' : '0';
    }
    return {0, "RC", states};
}

// WCP count(1) then count times: area contact(4) value(1). Every contact is
// checked before any is written, so that a refused frame changes nothing.
Bus::Reply Bus::WriteContacts(Memory &memory, const std::string &command) {
    constexpr size_t kEach = 6;
    size_t count = 0;
    if (const int error = ReadContactCount(command, kEach, count))
        return {error, "", ""};
    struct Change {
        Area area;
        size_t contact;
        bool on;
    };
    std::vector<Change> changes;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = kContactListStart + kEach * i;
        Change change{};
        const AreaCheck check = ContactArea(command[at], change.area);
        if (check != AreaCheck::kOk)
            return {AreaError(check), "", ""};
        if (const int error = WriteRefusal(change.area))
            return {error, "", ""};
        if (const int error = ReadContactNumber(command, at + 1, memory, command[at], change.area,
                                                change.contact))
            return {error, "", ""};
        const char value = command[at + 5];
        if (value != '0' && value != '1')
            return {kErrData, "", ""};
        change.on = value == '1';
        changes.push_back(change);
    }
    for (const Change &change : changes)
        memory.SetContact(change.area, change.contact, change.on);
    return {0, "WC", ""};
}

// RS / RK start(4) end(4)
Bus::Reply Bus::ReadTimerValues(Memory &memory, const std::string &command) {
    const Area area = command[1] == 'S' ? Area::kSetValue : Area::kElapsedValue;
    return ReadWords(memory, area, command, 2, 4, command.substr(0, 2));
}

// RR "0" start(3) end(3): the system registers, the controller's own
// settings, read one word each.
Bus::Reply Bus::ReadSystemRegisters(Memory &memory, const std::string &command) {
    if (command.size() != 9 || command[2] != '0')
        return {kErrFormat, "", ""};
    return ReadWords(memory, Area::kSystem, command, 3, 3, "RR");
}

// WS / WK start(4) end(4) data
Bus::Reply Bus::WriteTimerValues(Memory &memory, const std::string &command) {
    const Area area = command[1] == 'S' ? Area::kSetValue : Area::kElapsedValue;
    return WriteWords(memory, area, command, 2, 4, command.substr(0, 2));
}

}  // namespace fpsim
