// What the gateway answers to one Modbus request, decided per register: the
// tag that serves it, its quality, whether clients may write it. Apart from
// the sockets, so that a fuzzer and the tests reach it directly.
#pragma once

#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "tools/gateway/config.h"
#include "tools/gateway/engine.h"
#include "tools/gateway/tag_table.h"

namespace gateway {

// Exception codes.
enum : uint8_t {
    kIllegalFunction = 0x01,
    kIllegalDataAddress = 0x02,
    kIllegalDataValue = 0x03,
    kServerDeviceFailure = 0x04,
    kGatewayPathUnavailable = 0x0A,
    kGatewayTargetFailed = 0x0B,
};

// The status unit's input registers: an entry per station and per line.
constexpr int kStatusRegistersPerEntry = 16;
constexpr int kLineStatusBase = 4096;

// Which tag serves each register (or coil) of each unit and table.
class RegisterMap {
  public:
    explicit RegisterMap(const Config &config);
    struct Slot {
        size_t tag;
        int word;  // the register's word of the tag's value, in address order
    };
    const Slot *Find(int unit, Table table, int reg) const;
    bool HasUnit(int unit) const;

  private:
    static uint64_t Key(int unit, Table table, int reg) {
        return static_cast<uint64_t>(unit) << 20 | static_cast<uint64_t>(table) << 16 |
               static_cast<uint64_t>(reg);
    }
    std::unordered_map<uint64_t, Slot> slots_;
    std::vector<bool> units_;
};

// The decision for one request.
struct Decision {
    uint8_t exception = 0;  // 0: answered with `values` or after `writes`
    uint8_t function = 0;
    int address = 0;
    int count = 0;
    // A read's registers, or its coils as 0 and 1.
    std::vector<uint16_t> values;
    // A write's tags and their new words; the answer waits for the engine.
    std::vector<TagWrite> writes;
};

// `pdu` is the function code and what follows it, `unit` the MBAP header's.
Decision Decide(const Config &config, const RegisterMap &map, const TagTable &table, int unit,
                const uint8_t *pdu, size_t length);

// The exception that a write's result is answered with; 0 for success.
uint8_t ExceptionFor(WriteResult result);

}  // namespace gateway
