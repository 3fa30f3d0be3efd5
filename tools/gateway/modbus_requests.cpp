#include "tools/gateway/modbus_requests.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "qivma_version.h"

namespace gateway {

namespace {

// Quantities per request that the protocol allows.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteBits = 1968;
constexpr int kMaxWriteRegisters = 123;
constexpr int kMaxReadWriteRegisters = 121;  // FC 23's write, beside its read's header
constexpr int kAddressSpace = 65536;

int Word(const uint8_t *at) {
    return at[0] << 8 | at[1];
}

Decision Refuse(Decision decision, uint8_t exception) {
    decision.exception = exception;
    decision.values.clear();
    decision.writes.clear();
    return decision;
}

uint16_t Clip(uint64_t value) {
    return static_cast<uint16_t>(std::min<uint64_t>(value, 0xFFFF));
}

void PutCounter(std::vector<uint16_t> &entry, size_t at, uint64_t value) {
    const uint32_t low = static_cast<uint32_t>(value);
    entry[at] = static_cast<uint16_t>(low >> 16);
    entry[at + 1] = static_cast<uint16_t>(low);
}

void PutCounters(std::vector<uint16_t> &entry, const Counters &counters) {
    PutCounter(entry, 2, counters.reads);
    PutCounter(entry, 4, counters.failures);
    PutCounter(entry, 6, counters.retries);
    PutCounter(entry, 8, counters.resyncs);
    PutCounter(entry, 10, counters.demotions);
    PutCounter(entry, 12, counters.bytes);
}

// The status unit's input registers: 16 per station at 16 x its unit id, 16
// per line from 4096 (the docs list them).
std::map<int, std::vector<uint16_t>> StatusEntries(const TagTable &table) {
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    std::map<int, std::vector<uint16_t>> entries;
    const auto steadyNow = std::chrono::steady_clock::now();
    const auto wallNow = std::chrono::system_clock::now();
    for (const StationStatus &station : table.Stations()) {
        std::vector<uint16_t> entry(kStatusRegistersPerEntry, 0);
        entry[0] = static_cast<uint16_t>(station.state);
        entry[1] = Clip(static_cast<uint64_t>(station.failuresInRow));
        PutCounters(entry, station.counters);
        if (station.state == StationState::kDemoted && station.demotedUntil > steadyNow)
            entry[14] = Clip(static_cast<uint64_t>(
                duration_cast<seconds>(station.demotedUntil - steadyNow).count() + 1));
        entry[15] = station.lastGood == WallTime{}
                        ? 0xFFFF
                        : Clip(static_cast<uint64_t>(std::max<int64_t>(
                              0, duration_cast<seconds>(wallNow - station.lastGood).count())));
        entries[station.unit * kStatusRegistersPerEntry] = entry;
    }
    const std::vector<LineStatus> lines = table.Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<uint16_t> entry(kStatusRegistersPerEntry, 0);
        entry[0] = lines[i].portOpen ? 0 : 1;
        entry[1] = Clip(static_cast<uint64_t>(lines[i].scanMs));
        PutCounters(entry, lines[i].counters);
        entries[kLineStatusBase + static_cast<int>(i) * kStatusRegistersPerEntry] = entry;
    }
    return entries;
}

Decision ReadStatus(Decision decision, const TagTable &table) {
    const std::map<int, std::vector<uint16_t>> entries = StatusEntries(table);
    for (int reg = decision.address; reg < decision.address + decision.count; ++reg) {
        const int base = reg / kStatusRegistersPerEntry * kStatusRegistersPerEntry;
        const auto entry = entries.find(base);
        if (entry == entries.end())
            return Refuse(decision, kIllegalDataAddress);
        decision.values.push_back(entry->second[static_cast<size_t>(reg - base)]);
    }
    return decision;
}

Table TableOf(uint8_t function) {
    switch (function) {
        case 1:
        case 5:
        case 15:
            return Table::kCoil;
        case 2:
            return Table::kDiscrete;
        case 4:
            return Table::kInput;
        default:
            return Table::kHolding;
    }
}

Decision Read(Decision decision, const RegisterMap &map, const TagTable &table, int unit) {
    const Table kind = TableOf(decision.function);
    std::vector<const RegisterMap::Slot *> slots;
    std::vector<size_t> tags;
    for (int reg = decision.address; reg < decision.address + decision.count; ++reg) {
        const RegisterMap::Slot *slot = map.Find(unit, kind, reg);
        if (slot == nullptr)
            return Refuse(decision, kIllegalDataAddress);
        slots.push_back(slot);
        if (tags.empty() || tags.back() != slot->tag)
            tags.push_back(slot->tag);
    }
    const std::vector<TagValue> values = table.GetMany(tags);
    std::map<size_t, const TagValue *> byTag;
    for (size_t i = 0; i < tags.size(); ++i) {
        if (values[i].quality != Quality::kGood)
            return Refuse(decision, kGatewayTargetFailed);
        byTag[tags[i]] = &values[i];
    }
    decision.values.clear();
    for (const RegisterMap::Slot *slot : slots)
        decision.values.push_back(byTag[slot->tag]->words.at(static_cast<size_t>(slot->word)));
    return decision;
}

// The tags that a write from `address` on covers, each with all of its
// words: a register of a 32-bit value alone cannot be written.
Decision Write(Decision decision, const Config &config, const RegisterMap &map, int unit,
               int address, const std::vector<uint16_t> &registers) {
    const Table kind = TableOf(decision.function);
    const int count = static_cast<int>(registers.size());
    for (int i = 0; i < count; ++i) {
        const RegisterMap::Slot *slot = map.Find(unit, kind, address + i);
        if (slot == nullptr || !config.tags[slot->tag].writable)
            return Refuse(decision, kIllegalDataAddress);
        if (decision.writes.empty() || decision.writes.back().tag != slot->tag) {
            const size_t words = static_cast<size_t>(RegistersOf(config.tags[slot->tag].type));
            decision.writes.push_back({slot->tag, std::vector<uint16_t>(words, 0)});
        }
        TagWrite &write = decision.writes.back();
        write.words.at(static_cast<size_t>(slot->word)) = registers[static_cast<size_t>(i)];
    }
    // Every register of every tag written, and each once.
    std::map<size_t, int> covered;
    for (int i = 0; i < count; ++i)
        ++covered[map.Find(unit, kind, address + i)->tag];
    for (const auto &[tag, registersCovered] : covered) {
        if (registersCovered != RegistersOf(config.tags[tag].type))
            return Refuse(decision, kIllegalDataAddress);
    }
    return decision;
}

bool Served(uint8_t function, int unit) {
    if (function == kDiagnostics || function == kEncapsulatedInterface)
        return true;
    if (unit == kStatusUnit)
        return function == 4;
    return (function >= 1 && function <= 6) || function == 15 || function == 16 ||
           function == kMaskWriteRegister || function == kReadWriteRegisters;
}

// The size that a served function's PDU has, from what it says of itself.
size_t ExpectedLength(const uint8_t *pdu, size_t length) {
    switch (pdu[0]) {
        case 15:
        case 16:
            return length > 5 ? 6 + size_t{pdu[5]} : 6;
        case kMaskWriteRegister:
            return 7;
        case kReadWriteRegisters:
            return length > 9 ? 10 + size_t{pdu[9]} : 10;
        case kDiagnostics:
            // Sub-function 0 echoes data of any length.
            return std::max<size_t>(length, 3);
        case kEncapsulatedInterface:
            // Another interface is refused for itself, whatever its size.
            return length < 2 ? 2 : pdu[1] == kReadDeviceIdentification ? 4 : length;
        default:
            return 5;
    }
}

// --- Device identification ---------------------------------------------------
// Conformity: the basic and regular objects, by stream and one by one.
constexpr uint8_t kConformityRegularIndividual = 0x82;
enum : uint8_t {
    kReadBasic = 1,
    kReadRegular = 2,
    kReadExtended = 3,
    kReadOne = 4,
};
constexpr size_t kMaxObjectBytes = 120;

struct DeviceObject {
    uint8_t id;
    std::string value;
};

// Objects 0-2 are the basic set, 4 and 5 of the regular; the model names
// what stands behind the unit.
std::vector<DeviceObject> DeviceObjects(const Config &config, int unit) {
    std::string model = "gateway status: the stations and lines";
    for (const LineConfig &line : config.lines) {
        for (const StationConfig &station : line.stations) {
            if (station.unit == unit)
                model = "station " + station.station + " on line " + line.name;
        }
    }
    std::vector<DeviceObject> objects = {
        {0, "qivma"},         {1, "qivma-gateway"}, {2, QIVMA_VERSION_STRING},
        {4, "qivma-gateway"}, {5, model},
    };
    for (DeviceObject &object : objects) {
        if (object.value.size() > kMaxObjectBytes)
            object.value.resize(kMaxObjectBytes);
    }
    return objects;
}

Decision DeviceIdentification(Decision decision, const Config &config, int unit, uint8_t code,
                              uint8_t object) {
    if (code < kReadBasic || code > kReadOne)
        return Refuse(decision, kIllegalDataValue);
    std::vector<DeviceObject> objects = DeviceObjects(config, unit);
    if (code == kReadBasic)
        objects.resize(3);
    auto first = std::find_if(objects.begin(), objects.end(),
                              [&](const DeviceObject &o) { return o.id == object; });
    if (code == kReadOne) {
        if (first == objects.end())
            return Refuse(decision, kIllegalDataAddress);
        objects = {*first};
        first = objects.begin();
    } else if (first == objects.end()) {
        // An object the stream does not have starts it from its beginning.
        first = objects.begin();
    }
    std::vector<uint8_t> &reply = decision.reply;
    reply = {kEncapsulatedInterface,
             kReadDeviceIdentification,
             code,
             kConformityRegularIndividual,
             0,
             0,
             0};
    for (auto it = first; it != objects.end(); ++it) {
        if (reply.size() + 2 + it->value.size() > kMaxPduBytes) {
            reply[4] = 0xFF;  // more follows, from this object on
            reply[5] = it->id;
            break;
        }
        reply.push_back(it->id);
        reply.push_back(static_cast<uint8_t>(it->value.size()));
        reply.insert(reply.end(), it->value.begin(), it->value.end());
        ++reply[6];
    }
    return decision;
}

void PutWord(std::vector<uint8_t> &bytes, int word) {
    bytes.push_back(static_cast<uint8_t>(word >> 8));
    bytes.push_back(static_cast<uint8_t>(word));
}

}  // namespace

RegisterMap::RegisterMap(const Config &config) : units_(256, false) {
    for (size_t tag = 0; tag < config.tags.size(); ++tag) {
        const TagConfig &t = config.tags[tag];
        const int registers = RegistersOf(t.type);
        for (int r = 0; r < registers; ++r) {
            // Registers in the order the clients want; the words stay in
            // address order.
            const int word =
                registers == 2 && config.modbus.wordOrder == WordOrder::kHighFirst ? 1 - r : r;
            slots_[Key(t.unit, t.table, t.reg + r)] = {tag, word};
        }
        units_[static_cast<size_t>(t.unit)] = true;
    }
    for (const LineConfig &line : config.lines) {
        for (const StationConfig &station : line.stations)
            units_[static_cast<size_t>(station.unit)] = true;
    }
}

const RegisterMap::Slot *RegisterMap::Find(int unit, Table table, int reg) const {
    const auto found = slots_.find(Key(unit, table, reg));
    return found == slots_.end() ? nullptr : &found->second;
}

bool RegisterMap::HasUnit(int unit) const {
    return unit >= 0 && unit < static_cast<int>(units_.size()) && units_[static_cast<size_t>(unit)];
}

bool WritesTags(uint8_t function) {
    return function == 5 || function == 6 || function == 15 || function == 16 ||
           function == kMaskWriteRegister || function == kReadWriteRegisters;
}

Framed ReadRequest(const std::function<bool(uint8_t *, size_t)> &receive, Request &request,
                   std::string *why) {
    uint8_t header[kMbapHeaderBytes];
    if (!receive(header, sizeof header))
        return Framed::kEnded;
    request.header = {static_cast<uint16_t>(Word(header)), static_cast<uint16_t>(Word(header + 2)),
                      static_cast<uint16_t>(Word(header + 4)), header[6]};
    const int protocol = request.header.protocol, length = request.header.length;
    if (protocol != 0) {
        *why = "protocol id " + std::to_string(protocol) + " is not Modbus's (0)";
        return Framed::kRefused;
    }
    // The unit id and a PDU of 1 to 253 bytes.
    if (length < 2 || length > static_cast<int>(kMaxPduBytes) + 1) {
        *why = "length " + std::to_string(length) + " is outside 2 to 254";
        return Framed::kRefused;
    }
    request.pdu.resize(static_cast<size_t>(length - 1));
    return receive(request.pdu.data(), request.pdu.size()) ? Framed::kRequest : Framed::kEnded;
}

Decision Decide(const Config &config, const RegisterMap &map, const TagTable &table, int unit,
                const uint8_t *pdu, size_t length, bool mayWrite) {
    Decision decision;
    if (length < 1)
        return Refuse(decision, kIllegalFunction);
    decision.function = pdu[0];
    const uint8_t function = decision.function;
    if (unit != kStatusUnit && !map.HasUnit(unit))
        return Refuse(decision, kGatewayPathUnavailable);
    if (!Served(function, unit) || (WritesTags(function) && !mayWrite))
        return Refuse(decision, kIllegalFunction);
    if (function == kDiagnostics && length >= 3 && Word(pdu + 1) != 0)
        return Refuse(decision, kIllegalFunction);  // only sub-function 0, return query data
    if (length != ExpectedLength(pdu, length))
        return Refuse(decision, kIllegalDataValue);
    switch (function) {
        case kDiagnostics:
            return decision;  // the request is its answer
        case kEncapsulatedInterface:
            if (pdu[1] != kReadDeviceIdentification)
                return Refuse(decision, kIllegalFunction);
            return DeviceIdentification(decision, config, unit, pdu[2], pdu[3]);
        default:
            break;
    }
    decision.address = Word(pdu + 1);
    switch (function) {
        case 1:
        case 2:
        case 3:
        case 4: {
            decision.count = Word(pdu + 3);
            const int limit = function <= 2 ? kMaxReadBits : kMaxReadRegisters;
            if (decision.count < 1 || decision.count > limit)
                return Refuse(decision, kIllegalDataValue);
            if (decision.address + decision.count > kAddressSpace)
                return Refuse(decision, kIllegalDataAddress);
            if (unit == kStatusUnit)
                return ReadStatus(decision, table);
            return Read(decision, map, table, unit);
        }
        case 5: {
            const int value = Word(pdu + 3);
            if (value != 0xFF00 && value != 0x0000)
                return Refuse(decision, kIllegalDataValue);
            decision.count = 1;
            return Write(decision, config, map, unit, decision.address,
                         {static_cast<uint16_t>(value != 0)});
        }
        case 6:
            decision.count = 1;
            return Write(decision, config, map, unit, decision.address,
                         {static_cast<uint16_t>(Word(pdu + 3))});
        case kMaskWriteRegister:
            // The word itself comes from the controller, just before the write.
            decision.count = 1;
            decision.andMask = static_cast<uint16_t>(Word(pdu + 3));
            decision.orMask = static_cast<uint16_t>(Word(pdu + 5));
            return Write(decision, config, map, unit, decision.address, {0});
        case kReadWriteRegisters: {
            // Read address and quantity, write address, quantity and byte
            // count, then the values.
            decision.count = Word(pdu + 3);
            const int writeAddress = Word(pdu + 5), writeCount = Word(pdu + 7);
            if (decision.count < 1 || decision.count > kMaxReadRegisters || writeCount < 1 ||
                writeCount > kMaxReadWriteRegisters || pdu[9] != writeCount * 2)
                return Refuse(decision, kIllegalDataValue);
            if (decision.address + decision.count > kAddressSpace ||
                writeAddress + writeCount > kAddressSpace)
                return Refuse(decision, kIllegalDataAddress);
            // Nothing is written for a read that could not be answered.
            for (int reg = decision.address; reg < decision.address + decision.count; ++reg) {
                if (map.Find(unit, Table::kHolding, reg) == nullptr)
                    return Refuse(decision, kIllegalDataAddress);
            }
            std::vector<uint16_t> values;
            for (int i = 0; i < writeCount; ++i)
                values.push_back(static_cast<uint16_t>(Word(pdu + 10 + 2 * i)));
            return Write(decision, config, map, unit, writeAddress, values);
        }
        default: {
            // 15 and 16: address, quantity, byte count, then the values.
            decision.count = Word(pdu + 3);
            const size_t bytes = pdu[5];
            const bool coils = function == 15;
            const int limit = coils ? kMaxWriteBits : kMaxWriteRegisters;
            const size_t expected = coils ? static_cast<size_t>(decision.count + 7) / 8
                                          : static_cast<size_t>(decision.count) * 2;
            if (decision.count < 1 || decision.count > limit || bytes != expected)
                return Refuse(decision, kIllegalDataValue);
            if (decision.address + decision.count > kAddressSpace)
                return Refuse(decision, kIllegalDataAddress);
            std::vector<uint16_t> values;
            for (int i = 0; i < decision.count; ++i) {
                const uint8_t *data = pdu + 6;
                values.push_back(coils ? (data[i / 8] >> (i % 8)) & 1
                                       : static_cast<uint16_t>(Word(data + 2 * i)));
            }
            return Write(decision, config, map, unit, decision.address, values);
        }
    }
}

uint16_t MaskedWord(uint16_t current, uint16_t andMask, uint16_t orMask) {
    return static_cast<uint16_t>((current & andMask) | (orMask & ~andMask));
}

Decision ReadAfterWrite(const RegisterMap &map, const TagTable &table, int unit,
                        Decision decision) {
    decision.writes.clear();
    return Read(std::move(decision), map, table, unit);
}

uint8_t ExceptionFor(WriteResult result) {
    switch (result) {
        case WriteResult::kDone:
            return 0;
        case WriteResult::kRefused:
            return kServerDeviceFailure;
        default:
            return kGatewayTargetFailed;
    }
}

std::vector<uint8_t> Answer(const Request &request, const Decision &decision) {
    const uint8_t function = request.pdu.empty() ? decision.function : request.pdu[0];
    std::vector<uint8_t> pdu;
    if (decision.exception != 0) {
        pdu = {static_cast<uint8_t>(function | 0x80), decision.exception};
    } else {
        switch (function) {
            case 1:
            case 2:
                pdu = {function, static_cast<uint8_t>((decision.values.size() + 7) / 8)};
                for (size_t i = 0; i < decision.values.size(); ++i) {
                    if (i % 8 == 0)
                        pdu.push_back(0);
                    pdu.back() |= static_cast<uint8_t>((decision.values[i] != 0) << (i % 8));
                }
                break;
            case 3:
            case 4:
            case kReadWriteRegisters:
                pdu = {function, static_cast<uint8_t>(decision.values.size() * 2)};
                for (uint16_t value : decision.values)
                    PutWord(pdu, value);
                break;
            case 15:
            case 16:
                pdu.assign(request.pdu.begin(), request.pdu.begin() + 5);
                break;
            case kEncapsulatedInterface:
                pdu = decision.reply;
                break;
            default:
                // 5, 6, 8 and 22: the request echoed.
                pdu = request.pdu;
                break;
        }
    }
    std::vector<uint8_t> answer;
    PutWord(answer, request.header.transaction);
    PutWord(answer, 0);
    PutWord(answer, static_cast<int>(pdu.size() + 1));
    answer.push_back(request.header.unit);
    answer.insert(answer.end(), pdu.begin(), pdu.end());
    return answer;
}

}  // namespace gateway
