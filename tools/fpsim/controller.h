// The controllers on one line: each station answers its own requests, "EE"
// is answered by the first, and "FF" writes to all of them without an answer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/fpsim/memory.h"

namespace fpsim {

struct BusSettings {
    Profile profile = Profile::kLarge;
    // Whether the first station answers the "EE" station, as a controller
    // connected alone does.
    bool answerEE = true;
    // What a write to the input relays X is refused with: 61 (data error) or
    // 60 (parameter error), as controllers differ.
    int inputWriteError = 61;
    // RT's status data: CPU type, version, program size, mode flags (RUN),
    // link information, error flag, self-diagnostic error.
    std::string statusData = "9A25600100000000";
};

// What one request frame led to.
struct Outcome {
    bool answered = false;
    std::string response;  // the whole answer, carriage return included
    int errorCode = 0;     // the code of an error response, else 0
    std::string station;   // the station field of the request
};

class Bus {
  public:
    Bus(const std::vector<std::string> &stations, const BusSettings &settings);

    // Executes one request frame, from its header ("%", or "<" for an
    // extended frame) to the carriage return; the answer has the same header.
    Outcome Handle(const std::string &frame);

    const std::vector<std::string> &Stations() const { return stations_; }
    // The memory of a station; null for a station that is not on the bus.
    Memory *MemoryOf(const std::string &station);

    // Applies a start-up assignment (Memory::Assign) to every station, or,
    // as "05:DT100=5", to station 05 alone; false, with a reason, for a
    // station that is not on the bus or an assignment that does not apply.
    bool Assign(const std::string &assignment, std::string *error);

  private:
    struct Reply {
        int error = 0;     // an error code, or 0 for a normal response
        std::string echo;  // the two letters of the normal response
        std::string data;
    };

    Reply Execute(Memory &memory, const std::string &command);
    Reply ReadWords(Memory &memory, Area area, const std::string &command, size_t at, size_t digits,
                    const std::string &echo);
    Reply WriteWords(Memory &memory, Area area, const std::string &command, size_t at,
                     size_t digits, const std::string &echo);
    Reply Registers(Memory &memory, const std::string &command);
    Reply ContactWords(Memory &memory, const std::string &command);
    Reply ReadContact(Memory &memory, const std::string &command);
    Reply WriteContact(Memory &memory, const std::string &command);
    Reply ReadContacts(Memory &memory, const std::string &command);
    Reply WriteContacts(Memory &memory, const std::string &command);
    // The error that a write to the contacts of `area` gets; 0 if it may be written.
    int WriteRefusal(Area area) const;
    Reply ReadTimerValues(Memory &memory, const std::string &command);
    Reply ReadSystemRegisters(Memory &memory, const std::string &command);
    Reply WriteTimerValues(Memory &memory, const std::string &command);

    std::vector<std::string> stations_;
    std::vector<std::unique_ptr<Memory>> memories_;
    BusSettings settings_;
    // The longest frame of the header of the request being executed, which
    // bounds its answer too.
    size_t maxFrameChars_ = 118;
};

}  // namespace fpsim
