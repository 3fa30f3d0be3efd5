#include "tools/gateway/modbus_requests.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace gateway {

namespace {

// Quantities per request that the protocol allows.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteBits = 1968;
constexpr int kMaxWriteRegisters = 123;
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
    for (const RegisterMap::Slot *slot : slots)
        decision.values.push_back(byTag[slot->tag]->words.at(static_cast<size_t>(slot->word)));
    return decision;
}

// The tags that a write covers, each with all of its words: a register of a
// 32-bit value alone cannot be written.
Decision Write(Decision decision, const Config &config, const RegisterMap &map, int unit,
               const std::vector<uint16_t> &registers) {
    const Table kind = TableOf(decision.function);
    for (int i = 0; i < decision.count; ++i) {
        const RegisterMap::Slot *slot = map.Find(unit, kind, decision.address + i);
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
    for (int i = 0; i < decision.count; ++i)
        ++covered[map.Find(unit, kind, decision.address + i)->tag];
    for (const auto &[tag, registersCovered] : covered) {
        if (registersCovered != RegistersOf(config.tags[tag].type))
            return Refuse(decision, kIllegalDataAddress);
    }
    return decision;
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

Decision Decide(const Config &config, const RegisterMap &map, const TagTable &table, int unit,
                const uint8_t *pdu, size_t length) {
    Decision decision;
    if (length < 1)
        return Refuse(decision, kIllegalFunction);
    decision.function = pdu[0];
    const uint8_t function = decision.function;
    const bool known = (function >= 1 && function <= 6) || function == 15 || function == 16;
    if (unit != kStatusUnit && !map.HasUnit(unit))
        return Refuse(decision, kGatewayPathUnavailable);
    if (!known || (unit == kStatusUnit && function != 4))
        return Refuse(decision, kIllegalFunction);
    if (length < 5)
        return Refuse(decision, kIllegalDataValue);
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
            return Write(decision, config, map, unit, {static_cast<uint16_t>(value != 0)});
        }
        case 6:
            decision.count = 1;
            return Write(decision, config, map, unit, {static_cast<uint16_t>(Word(pdu + 3))});
        default: {
            // 15 and 16: address, quantity, byte count, then the values.
            if (length < 6)
                return Refuse(decision, kIllegalDataValue);
            decision.count = Word(pdu + 3);
            const size_t bytes = pdu[5];
            const bool coils = function == 15;
            const int limit = coils ? kMaxWriteBits : kMaxWriteRegisters;
            const size_t expected = coils ? static_cast<size_t>(decision.count + 7) / 8
                                          : static_cast<size_t>(decision.count) * 2;
            if (decision.count < 1 || decision.count > limit || bytes != expected ||
                length < 6 + bytes)
                return Refuse(decision, kIllegalDataValue);
            if (decision.address + decision.count > kAddressSpace)
                return Refuse(decision, kIllegalDataAddress);
            std::vector<uint16_t> values;
            for (int i = 0; i < decision.count; ++i) {
                const uint8_t *data = pdu + 6;
                values.push_back(coils ? (data[i / 8] >> (i % 8)) & 1
                                       : static_cast<uint16_t>(Word(data + 2 * i)));
            }
            return Write(decision, config, map, unit, values);
        }
    }
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

}  // namespace gateway
