// Faults on demand: what the line does to an answer.
#pragma once

#include <stdint.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace fpsim {

enum class FaultKind {
    kNone,
    kNoAnswer,         // the answer never comes
    kLate,             // it comes after `lateMs` more
    kTruncated,        // only its first `keepChars` characters come
    kCorruptChar,      // one character is changed on the way
    kWrongBlockCheck,  // its block check is wrong
    kWrongStation,     // it carries another station number (with a right block check)
    kErrorResponse,    // an error response with `errorCode` comes instead
    kStrayBytes,       // `stray` comes before it
    kDouble,           // it comes twice, `repeatGapMs` apart
    // Something that is no answer comes first, and then the answer itself:
    kEcho,     // the request comes back at once, as a two-wire adapter hears it
    kNoise,    // `noise` comes `noiseMs` after the request
    kForeign,  // another station's answer comes `noiseMs` after the request
};

struct Fault {
    FaultKind kind = FaultKind::kNone;
    int lateMs = 100;
    int keepChars = -1;  // -1: half of the answer
    int errorCode = 61;
    std::string stray = std::string("\x00\xFF", 2);
    int repeatGapMs = 0;  // from the end of the first copy to the start of the second
    std::string noise = "%\r";
    int noiseMs = 1;
};

// Every kind but kNone, in a fixed order.
const std::vector<FaultKind> &AllFaultKinds();
const char *FaultKindName(FaultKind kind);
// "late", "late:250", "truncated:5", "error:42", "stray:ABC", "double:5",
// "echo", "noise:3", "foreign:2", "none" ...
bool ParseFault(const std::string &text, Fault &fault, std::string *error);

// What goes on the line in place of an answer.
struct Delivery {
    bool send = true;
    std::string bytes;
    int extraDelayMs = 0;
    int repeatGapMs = -1;  // 0 or more: the bytes go out a second time, that long after
    // Bytes that go out `beforeMs` after the request, ahead of the answer;
    // with kWithTheRequest, as the request itself comes in (an echo).
    std::string before;
    int beforeMs = 0;
};

constexpr int kWithTheRequest = -1;

// Applies `fault` to `response`, the answer to `request`; `rng` picks the
// corrupted character.
Delivery ApplyFault(const Fault &fault, const std::string &response, std::mt19937 &rng,
                    const std::string &request = "");

// Decides the fault of each answer: first the faults queued for the next
// answers, then every Nth answer, then at random.
class FaultSchedule {
  public:
    void Once(const Fault &fault) { once_.push_back(fault); }
    void Every(int n, const Fault &fault);
    void Randomly(double probability, uint32_t seed, const std::vector<Fault> &choices);
    void Clear();

    Fault Next();
    std::mt19937 &Rng() { return rng_; }

  private:
    std::deque<Fault> once_;
    int everyN_ = 0;
    Fault everyFault_;
    uint64_t answers_ = 0;
    double probability_ = 0;
    std::vector<Fault> choices_;
    std::mt19937 rng_{1};
};

}  // namespace fpsim
