// What the gateway answers to one Modbus request, decided per register: the
// tag that serves it, its quality, whether clients may write it. Apart from
// the sockets, so that a fuzzer and the tests reach it directly: the framing
// of a client's stream by its MBAP headers, the decision, and the answer's
// bytes.
#pragma once

#include <stdint.h>

#include <functional>
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

// The functions served besides the four reads and four writes.
enum : uint8_t {
    kDiagnostics = 8,
    kMaskWriteRegister = 22,
    kReadWriteRegisters = 23,
    kEncapsulatedInterface = 43,
};
// FC 43's interface that reads the device identification.
constexpr uint8_t kReadDeviceIdentification = 14;

// The status unit's input registers: an entry per station and per line.
constexpr int kStatusRegistersPerEntry = 16;
constexpr int kLineStatusBase = 4096;

// --- Framing -----------------------------------------------------------------
// A request is the 7-byte MBAP header and exactly the PDU that its length
// gives (the length counts the unit id and the PDU); nothing else bounds it.
constexpr size_t kMbapHeaderBytes = 7;
constexpr size_t kMaxPduBytes = 253;

struct MbapHeader {
    uint16_t transaction = 0;
    uint16_t protocol = 0;
    uint16_t length = 0;
    uint8_t unit = 0;
};

struct Request {
    MbapHeader header;
    std::vector<uint8_t> pdu;  // the function code and what follows it
};

enum class Framed {
    kRequest,  // a whole request
    kEnded,    // the stream ended, or stopped in the middle of a request
    kRefused,  // a header that is no Modbus TCP request's: the connection is closed
};

// Reads the next request from a client's stream. `receive` fills exactly the
// bytes asked for, or returns false when the stream ends before; `*why` says
// why a header was refused.
Framed ReadRequest(const std::function<bool(uint8_t *, size_t)> &receive, Request &request,
                   std::string *why);

// --- The decision ------------------------------------------------------------
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
    // A read's registers or coils (FC 1-4, and FC 23's read); a write's.
    int address = 0;
    int count = 0;
    // A read's registers, or its coils as 0 and 1.
    std::vector<uint16_t> values;
    // A write's tags and their new words; the answer waits for the engine.
    // A mask write names its one tag here, its word still to be read.
    std::vector<TagWrite> writes;
    uint16_t andMask = 0;
    uint16_t orMask = 0;
    // An answer whose bytes are known at once (the device identification).
    std::vector<uint8_t> reply;
};

// Whether a function writes tags: refused with exception 1 to a client that
// may not write.
bool WritesTags(uint8_t function);

// `pdu` is the function code and what follows it, `unit` the MBAP header's;
// `mayWrite` whether the client may write.
Decision Decide(const Config &config, const RegisterMap &map, const TagTable &table, int unit,
                const uint8_t *pdu, size_t length, bool mayWrite);

// FC 22's new value of a register.
uint16_t MaskedWord(uint16_t current, uint16_t andMask, uint16_t orMask);

// FC 23's read, from the table once the write was acknowledged.
Decision ReadAfterWrite(const RegisterMap &map, const TagTable &table, int unit, Decision decision);

// The exception that a write's result is answered with; 0 for success.
uint8_t ExceptionFor(WriteResult result);

// --- The answer --------------------------------------------------------------
// The whole answer to `request` once `decision` is final: the request's
// header with the answer's length, and its PDU (the values, the request's
// echo, or the exception).
std::vector<uint8_t> Answer(const Request &request, const Decision &decision);

}  // namespace gateway
