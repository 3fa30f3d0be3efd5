// The memory of one simulated controller.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace fpsim {

enum class Profile {
    kLarge,  // an FP10-class controller (the default)
    kSmall,  // an FP3-class controller
};

// Memory areas. Contacts are kept in words of 16; timers and counters share
// one contact area (T0 upward, then the counters), as they share numbers.
// kLinkData, the link data registers LD, and kSystem, the system registers
// (the controller's settings, read with RR), come last so that the areas
// before them keep their numbers.
enum class Area {
    kX,
    kY,
    kR,
    kL,
    kTimerCounter,
    kSetValue,
    kElapsedValue,
    kData,
    kFile,
    kLinkData,
    kSystem,
};

constexpr int kAreaCount = 11;

class Memory {
  public:
    explicit Memory(Profile profile);

    // Number of words (of contacts, for the contact areas) in the area.
    size_t Size(Area area) const { return words_[Index(area)].size(); }
    // Number of timers and counters: the bound of RCS/WCS on T and C and of RS/RK.
    size_t TimerCounterCount() const { return Size(Area::kSetValue); }

    bool InRange(Area area, uint32_t first, uint32_t last) const {
        return first <= last && last < Size(area);
    }

    uint16_t Word(Area area, size_t index) const { return words_[Index(area)][index]; }
    void SetWord(Area area, size_t index, uint16_t value) { words_[Index(area)][index] = value; }

    bool Contact(Area area, size_t contact) const;
    void SetContact(Area area, size_t contact, bool on);

    // Fills every area with the start-up pattern: data register n holds n,
    // file register n holds n + 0x4000, link data register n holds n + 0x6000,
    // system register n holds n + 0x7000, set value n holds 100 + n, elapsed
    // value n holds n, and contact word n of X, Y, R, L and T/C holds 0x1000,
    // 0x2000, 0x3000, 0x4000 or 0x5000 plus n.
    void FillPattern();
    void Clear();

    // Applies "AREA NUMBER = VALUE", e.g. "DT100=1234", "FL7=0x10", "LD3=5",
    // "SV5=-1", "SR4=2", "R3=0xFFFF" (a contact word); blanks around the
    // "=" and before the number are allowed ("DT101 = 5"). false, with a
    // reason, if it does not apply.
    bool Assign(const std::string &assignment, std::string *error);

  private:
    static size_t Index(Area area) { return static_cast<size_t>(area); }
    std::vector<uint16_t> words_[kAreaCount];
};

// `text` without the spaces and tabs at its ends.
std::string WithoutOuterBlanks(const std::string &text);

// "DT", "D", "FL", "F", "LD", "SR", "SV", "EV", "X", "Y", "R", "L", "T", "C"
// to an area.
bool AreaFromName(const std::string &name, Area &area);

}  // namespace fpsim
