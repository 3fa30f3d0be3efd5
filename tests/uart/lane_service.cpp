#include "uart/lane_service.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>

namespace uart_lane {

namespace {

bool ParseUnsigned(const std::string &text, unsigned long limit, unsigned long *value) {
    if (text.empty())
        return false;
    char *end = nullptr;
    *value = strtoul(text.c_str(), &end, 0);
    return *end == '\0' && *value <= limit;
}

std::string RestOf(std::istringstream &words) {
    std::string rest;
    std::getline(words >> std::ws, rest);
    return rest;
}

}  // namespace

// "STATION AREA INDEX" of a poke or peek: a station on the line and a word
// that its memory has.
bool LaneService::ParseLocation(std::istringstream &words, std::string *station, fpsim::Area *area,
                                size_t *index, std::string *error) const {
    std::string areaName, indexText;
    unsigned long number = 0;
    if (!(words >> *station >> areaName >> indexText)) {
        *error = "needs STATION AREA INDEX";
        return false;
    }
    if (std::find(stations_.begin(), stations_.end(), *station) == stations_.end()) {
        *error = "station " + *station + " is not on the line";
        return false;
    }
    if (!fpsim::AreaFromName(areaName, *area)) {
        *error = "no area " + areaName;
        return false;
    }
    if (!ParseUnsigned(indexText, bounds_.Size(*area) - 1, &number)) {
        *error = "no word " + indexText + " in " + areaName;
        return false;
    }
    *index = number;
    return true;
}

std::string LaneService::Handle(const std::string &request, int64_t nowMicros) {
    std::istringstream words(request);
    std::string verb;
    words >> verb;
    std::string error;
    if (verb == "hello" || verb == "clear-faults") {
        if (verb == "clear-faults")
            simulator_.ClearFaults();
        return "ok";
    }
    if (verb == "poke" || verb == "peek") {
        std::string station, valueText;
        fpsim::Area area;
        size_t index = 0;
        if (!ParseLocation(words, &station, &area, &index, &error))
            return "error " + error;
        if (verb == "peek")
            return "ok " + std::to_string(simulator_.ReadWord(station, area, index));
        unsigned long value = 0;
        if (!(words >> valueText) || !ParseUnsigned(valueText, 0xFFFF, &value))
            return "error poke needs a value of 0 to 65535";
        simulator_.WriteWord(station, area, index, static_cast<uint16_t>(value));
        return "ok";
    }
    if (verb == "fault-once" || verb == "fault-every") {
        unsigned long every = 1;
        std::string text;
        if (verb == "fault-every") {
            std::string everyText;
            if (!(words >> everyText) || !ParseUnsigned(everyText, 1000, &every) || every == 0)
                return "error fault-every needs N from 1 to 1000";
        }
        fpsim::Fault fault;
        if (!(words >> text) || !fpsim::ParseFault(text, fault, &error))
            return "error " + (error.empty() ? "needs a fault" : error);
        if (verb == "fault-once") {
            simulator_.FaultOnce(fault);
        } else {
            simulator_.FaultEvery(static_cast<int>(every), fault);
        }
        return "ok";
    }
    if (verb == "expect") {
        const std::string expectation = RestOf(words);
        if (expectation.empty())
            return "error expect needs KEY=VALUE";
        marks_.push_back({nowMicros, expectation});
        return "ok";
    }
    if (verb == "log") {
        driverLog_.push_back(RestOf(words));
        return "ok";
    }
    if (verb == "done") {
        std::string statusText;
        unsigned long status = 0;
        if (!(words >> statusText) || !ParseUnsigned(statusText, 255, &status))
            return "error done needs a status";
        done_ = true;
        guestStatus_ = static_cast<int>(status);
        return "ok";
    }
    return "error unknown request '" + verb + "'";
}

int64_t WallMicros() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace uart_lane
