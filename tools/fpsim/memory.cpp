#include "tools/fpsim/memory.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>

namespace fpsim {

namespace {

struct Bounds {
    size_t xyWords, rWords, lWords, timersCounters, dataRegisters, fileRegisters, linkDataRegisters,
        systemRegisters;
};

// Upper bounds of an FP10-class and an FP3-class controller (each one past
// the last address: DT0-DT10239 and LD0-LD8447 on the large one). Both hold
// the system registers 0 to 999, every number that RR's three digits name.
constexpr Bounds kLargeBounds = {512, 887, 640, 3072, 10240, 32765, 8448, 1000};
constexpr Bounds kSmallBounds = {128, 98, 64, 512, 2048, 8192, 128, 1000};

}  // namespace

std::string WithoutOuterBlanks(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

namespace {}  // namespace

Memory::Memory(Profile profile) {
    const Bounds &b = profile == Profile::kLarge ? kLargeBounds : kSmallBounds;
    words_[Index(Area::kX)].resize(b.xyWords);
    words_[Index(Area::kY)].resize(b.xyWords);
    words_[Index(Area::kR)].resize(b.rWords);
    words_[Index(Area::kL)].resize(b.lWords);
    words_[Index(Area::kTimerCounter)].resize((b.timersCounters + 15) / 16);
    words_[Index(Area::kSetValue)].resize(b.timersCounters);
    words_[Index(Area::kElapsedValue)].resize(b.timersCounters);
    words_[Index(Area::kData)].resize(b.dataRegisters);
    words_[Index(Area::kFile)].resize(b.fileRegisters);
    words_[Index(Area::kLinkData)].resize(b.linkDataRegisters);
    words_[Index(Area::kSystem)].resize(b.systemRegisters);
    FillPattern();
}

bool Memory::Contact(Area area, size_t contact) const {
    return (Word(area, contact / 16) >> (contact % 16) & 1) != 0;
}

void Memory::SetContact(Area area, size_t contact, bool on) {
    uint16_t word = Word(area, contact / 16);
    const uint16_t mask = static_cast<uint16_t>(1u << (contact % 16));
    word = on ? static_cast<uint16_t>(word | mask) : static_cast<uint16_t>(word & ~mask);
    SetWord(area, contact / 16, word);
}

void Memory::FillPattern() {
    const struct {
        Area area;
        uint16_t base;
    } kPatterns[] = {
        {Area::kX, 0x1000},
        {Area::kY, 0x2000},
        {Area::kR, 0x3000},
        {Area::kL, 0x4000},
        {Area::kTimerCounter, 0x5000},
        {Area::kSetValue, 100},
        {Area::kElapsedValue, 0},
        {Area::kData, 0},
        {Area::kFile, 0x4000},
        {Area::kLinkData, 0x6000},
        {Area::kSystem, 0x7000},
    };
    for (const auto &p : kPatterns) {
        std::vector<uint16_t> &words = words_[Index(p.area)];
        for (size_t i = 0; i < words.size(); ++i) {
            words[i] = static_cast<uint16_t>(p.base + i);
        }
    }
}

void Memory::Clear() {
    for (std::vector<uint16_t> &words : words_) {
        std::fill(words.begin(), words.end(), 0);
    }
}

bool AreaFromName(const std::string &name, Area &area) {
    const struct {
        const char *name;
        Area area;
    } kNames[] = {
        {"DT", Area::kData},
        {"D", Area::kData},
        {"FL", Area::kFile},
        {"F", Area::kFile},
        {"LD", Area::kLinkData},
        {"SR", Area::kSystem},
        {"SV", Area::kSetValue},
        {"EV", Area::kElapsedValue},
        {"X", Area::kX},
        {"Y", Area::kY},
        {"R", Area::kR},
        {"L", Area::kL},
        {"T", Area::kTimerCounter},
        {"C", Area::kTimerCounter},
    };
    for (const auto &n : kNames) {
        if (name == n.name) {
            area = n.area;
            return true;
        }
    }
    return false;
}

bool Memory::Assign(const std::string &given, std::string *error) {
    const std::string assignment = WithoutOuterBlanks(given);
    const size_t equals = assignment.find('=');
    size_t letters = 0;
    while (letters < assignment.size() &&
           isalpha(static_cast<unsigned char>(assignment[letters]))) {
        ++letters;
    }
    const std::string name = assignment.substr(0, letters);
    Area area;
    if (equals == std::string::npos || letters == 0 || !AreaFromName(name, area)) {
        *error = "'" + assignment +
                 "': expected AREA NUMBER=VALUE, e.g. DT100=1234 (areas DT D FL F LD SR SV EV X Y "
                 "R L T C)";
        return false;
    }
    const std::string number = WithoutOuterBlanks(assignment.substr(letters, equals - letters));
    const std::string value = WithoutOuterBlanks(assignment.substr(equals + 1));
    char *end = nullptr;
    const unsigned long index = strtoul(number.c_str(), &end, 10);
    if (number.empty() || !isdigit(static_cast<unsigned char>(number[0])) || *end != '\0' ||
        index >= Size(area)) {
        *error = "'" + assignment + "': no " + name + number + " in this controller (" + name +
                 "0 to " + name + std::to_string(Size(area) - 1) + ")";
        return false;
    }
    const long parsed = strtol(value.c_str(), &end, 0);
    if (value.empty() || *end != '\0' || parsed < -32768 || parsed > 65535) {
        *error = "'" + assignment + "': the value must be a 16-bit number (-32768 to 65535)";
        return false;
    }
    SetWord(area, index, static_cast<uint16_t>(parsed));
    return true;
}

}  // namespace fpsim
