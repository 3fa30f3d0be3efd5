#include "tools/fpsim/faults.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "tools/fpsim/frame.h"

namespace fpsim {

namespace {

const struct {
    FaultKind kind;
    const char *name;
} kFaultNames[] = {
    {FaultKind::kNone, "none"},
    {FaultKind::kNoAnswer, "no-answer"},
    {FaultKind::kLate, "late"},
    {FaultKind::kTruncated, "truncated"},
    {FaultKind::kCorruptChar, "corrupt"},
    {FaultKind::kWrongBlockCheck, "bad-bcc"},
    {FaultKind::kWrongStation, "wrong-station"},
    {FaultKind::kErrorResponse, "error"},
    {FaultKind::kStrayBytes, "stray"},
    {FaultKind::kDouble, "double"},
    {FaultKind::kEcho, "echo"},
    {FaultKind::kNoise, "noise"},
    {FaultKind::kForeign, "foreign"},
};

// Another station number, of the same two-character form.
std::string OtherStation(const std::string &station) {
    const unsigned next = (static_cast<unsigned>(atoi(station.c_str())) + 1) % 100;
    return {static_cast<char>('0' + next / 10), static_cast<char>('0' + next % 10)};
}

}  // namespace

const std::vector<FaultKind> &AllFaultKinds() {
    static const std::vector<FaultKind> kinds = {
        FaultKind::kNoAnswer,        FaultKind::kLate,
        FaultKind::kTruncated,       FaultKind::kCorruptChar,
        FaultKind::kWrongBlockCheck, FaultKind::kWrongStation,
        FaultKind::kErrorResponse,   FaultKind::kStrayBytes,
        FaultKind::kDouble,          FaultKind::kEcho,
        FaultKind::kNoise,           FaultKind::kForeign,
    };
    return kinds;
}

const char *FaultKindName(FaultKind kind) {
    for (const auto &entry : kFaultNames) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "?";
}

bool ParseFault(const std::string &text, Fault &fault, std::string *error) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const std::string argument = colon == std::string::npos ? "" : text.substr(colon + 1);
    fault = Fault();
    bool known = false;
    for (const auto &entry : kFaultNames) {
        if (name == entry.name) {
            fault.kind = entry.kind;
            known = true;
        }
    }
    if (!known) {
        *error = "unknown fault '" + name +
                 "' (none, no-answer, late[:MS], truncated[:N], corrupt, bad-bcc, "
                 "wrong-station, error[:CODE], stray[:TEXT], double[:GAP], echo, "
                 "noise[:MS], foreign[:MS])";
        return false;
    }
    if (colon == std::string::npos) {
        return true;
    }
    if (fault.kind == FaultKind::kStrayBytes) {
        if (argument.empty()) {
            *error = "fault 'stray' takes the bytes to send after its colon";
            return false;
        }
        fault.stray = argument;
        return true;
    }
    // The number that each kind takes, and what it means.
    int *field = nullptr;
    long highest = 0;
    const char *what = "";
    switch (fault.kind) {
        case FaultKind::kLate:
            field = &fault.lateMs;
            highest = 60000;
            what = "a time in ms";
            break;
        case FaultKind::kTruncated:
            field = &fault.keepChars;
            highest = 1000;
            what = "a number of characters";
            break;
        case FaultKind::kErrorResponse:
            field = &fault.errorCode;
            highest = 99;
            what = "an error code";
            break;
        case FaultKind::kDouble:
            field = &fault.repeatGapMs;
            highest = 60000;
            what = "a gap in ms";
            break;
        case FaultKind::kNoise:
        case FaultKind::kForeign:
            field = &fault.noiseMs;
            highest = 60000;
            what = "a time in ms after the request";
            break;
        default:
            *error = "fault '" + name + "' takes no argument";
            return false;
    }
    char *end = nullptr;
    errno = 0;
    const long number = strtol(argument.c_str(), &end, 10);
    if (*end != '\0' || !isdigit(static_cast<unsigned char>(argument[0])) || errno != 0 ||
        number > highest) {
        *error = "fault '" + name + "' takes " + what + ", 0 to " + std::to_string(highest) +
                 ", not '" + argument + "'";
        return false;
    }
    *field = static_cast<int>(number);
    return true;
}

Delivery ApplyFault(const Fault &fault, const std::string &response, std::mt19937 &rng,
                    const std::string &request) {
    Delivery delivery;
    delivery.bytes = response;
    // Every normal and error response has a header ("%" or "<"), a station,
    // a mark, a block check and a carriage return.
    const bool wellFormed = response.size() >= 6;
    switch (fault.kind) {
        case FaultKind::kNone:
            break;
        case FaultKind::kNoAnswer:
            delivery.send = false;
            break;
        case FaultKind::kLate:
            delivery.extraDelayMs = fault.lateMs;
            break;
        case FaultKind::kTruncated: {
            const size_t keep =
                fault.keepChars < 0 ? response.size() / 2 : static_cast<size_t>(fault.keepChars);
            delivery.bytes = response.substr(0, std::min(keep, response.size()));
            break;
        }
        case FaultKind::kCorruptChar:
            if (wellFormed) {
                // Any character but the carriage return, so that the frame still ends.
                std::uniform_int_distribution<size_t> position(0, response.size() - 2);
                delivery.bytes[position(rng)] ^= 0x01;
            }
            break;
        case FaultKind::kWrongBlockCheck:
            if (wellFormed) {
                const std::string body = response.substr(0, response.size() - 3);
                delivery.bytes = body + Hex2(BlockCheck(body) ^ 0x5A) + kCarriageReturn;
            }
            break;
        case FaultKind::kWrongStation:
            if (wellFormed) {
                const std::string body = response.substr(0, response.size() - 3);
                delivery.bytes =
                    Sealed(body.substr(0, 1) + OtherStation(body.substr(1, 2)) + body.substr(3));
            }
            break;
        case FaultKind::kErrorResponse:
            if (wellFormed) {
                delivery.bytes = ErrorResponse(response.substr(1, 2), fault.errorCode, response[0]);
            }
            break;
        case FaultKind::kStrayBytes:
            delivery.bytes = fault.stray + response;
            break;
        case FaultKind::kDouble:
            delivery.repeatGapMs = fault.repeatGapMs;
            break;
        case FaultKind::kEcho:
            delivery.before = request;
            delivery.beforeMs = kWithTheRequest;
            break;
        case FaultKind::kNoise:
            delivery.before = fault.noise;
            delivery.beforeMs = fault.noiseMs;
            break;
        case FaultKind::kForeign:
            if (wellFormed) {
                const std::string body = response.substr(0, response.size() - 3);
                delivery.before =
                    Sealed(body.substr(0, 1) + OtherStation(body.substr(1, 2)) + body.substr(3));
                delivery.beforeMs = fault.noiseMs;
            }
            break;
    }
    return delivery;
}

void FaultSchedule::Every(int n, const Fault &fault) {
    everyN_ = n;
    everyFault_ = fault;
}

void FaultSchedule::Randomly(double probability, uint32_t seed, const std::vector<Fault> &choices) {
    probability_ = probability;
    choices_ = choices;
    rng_.seed(seed);
}

void FaultSchedule::Clear() {
    once_.clear();
    everyN_ = 0;
    probability_ = 0;
    choices_.clear();
}

Fault FaultSchedule::Next() {
    ++answers_;
    if (!once_.empty()) {
        const Fault fault = once_.front();
        once_.pop_front();
        return fault;
    }
    if (everyN_ > 0 && answers_ % static_cast<uint64_t>(everyN_) == 0) {
        return everyFault_;
    }
    if (probability_ > 0 && !choices_.empty()) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (chance(rng_) < probability_) {
            std::uniform_int_distribution<size_t> pick(0, choices_.size() - 1);
            return choices_[pick(rng_)];
        }
    }
    return Fault();
}

}  // namespace fpsim
