// The gateway's configuration that the Modbus fuzz targets answer from, with
// every third tag bad, and the checks that every decision must pass.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tools/gateway/config.h"
#include "tools/gateway/modbus_requests.h"
#include "tools/gateway/tag_table.h"

namespace fuzzgateway {

using namespace gateway;

constexpr char kConfig[] = R"(lines:
  - port: /dev/null
    stations: [{station: 01, unit: 1}, {station: 02, unit: 2}]
    tags:
      - {address: 01D00100, count: 20, register: 0, writable: true}
      - {address: 01D00120, count: 5, register: 20}
      - {address: 01D00200, count: 4, type: float, table: input, register: 0}
      - {address: 01D00300, count: 3, type: int32, register: 100, writable: true}
      - {address: 01R00000, count: 40, type: bit, register: 0, writable: true}
      - {address: 01X00000, count: 16, type: bit, table: discrete, register: 0}
      - {address: 02D00000, count: 10, type: uint16, register: 0, writable: true}
)";

struct Fixture {
    Config config;
    std::unique_ptr<TagTable> table;
    std::unique_ptr<RegisterMap> map;

    Fixture() {
        std::vector<std::string> errors;
        if (!ParseConfig(kConfig, "fuzz", config, errors))
            abort();
        table = std::make_unique<TagTable>(config);
        map = std::make_unique<RegisterMap>(config);
        const auto now = std::chrono::steady_clock::now();
        const auto wall = std::chrono::system_clock::now();
        for (size_t tag = 0; tag < config.tags.size(); ++tag) {
            if (tag % 3 == 2)
                table->SetBad(tag, Quality::kNoAnswer);
            else
                table->SetGood(tag, std::vector<uint16_t>(RegistersOf(config.tags[tag].type), 7),
                               now, wall);
        }
    }
};

// What a decision may be, whatever the request: an exception of the list
// with nothing to read or write, or exactly what was asked, writing only
// writable tags whole, and nothing for a client that may only read.
inline void CheckDecision(const Fixture &fixture, const Decision &decision, bool mayWrite) {
    switch (decision.exception) {
        case 0:
            break;
        case kIllegalFunction:
        case kIllegalDataAddress:
        case kIllegalDataValue:
        case kGatewayPathUnavailable:
        case kGatewayTargetFailed:
            if (!decision.values.empty() || !decision.writes.empty() || !decision.reply.empty())
                abort();
            return;
        default:
            abort();
    }
    const uint8_t function = decision.function;
    if (function <= 4 &&
        (decision.values.size() != static_cast<size_t>(decision.count) || decision.count < 1))
        abort();
    if ((function == kDiagnostics || function == kEncapsulatedInterface || function <= 4) !=
        decision.writes.empty())
        abort();
    if (!mayWrite && !decision.writes.empty())
        abort();
    if ((function == kEncapsulatedInterface) == decision.reply.empty())
        abort();
    if (function == kMaskWriteRegister &&
        (decision.writes.size() != 1 ||
         RegistersOf(fixture.config.tags.at(decision.writes[0].tag).type) != 1))
        abort();
    for (const TagWrite &write : decision.writes) {
        const TagConfig &tag = fixture.config.tags.at(write.tag);
        if (!tag.writable || write.words.size() != static_cast<size_t>(RegistersOf(tag.type)))
            abort();
    }
}

}  // namespace fuzzgateway
