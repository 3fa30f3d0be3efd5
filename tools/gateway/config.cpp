#include "tools/gateway/config.h"

#include <arpa/inet.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include <yaml-cpp/yaml.h>

#include "tools/hostkit/session.h"
#include "wire/wire_rules.h"

namespace gateway {

namespace {

constexpr int kLastModbusAddress = 65535;

struct Checker {
    std::string file;
    std::vector<std::string> &errors;

    void Fail(int line, const std::string &what) {
        errors.push_back(file + ":" + std::to_string(line) + ": " + what);
    }
    void Fail(const YAML::Node &node, const std::string &what) { Fail(LineOf(node), what); }
    static int LineOf(const YAML::Node &node) { return node.Mark().line + 1; }

    // A mapping with only the keys named; each other key is an error.
    bool Mapping(const YAML::Node &node, const std::string &what,
                 const std::set<std::string> &keys) {
        if (!node.IsMap()) {
            Fail(node, what + " is a mapping (key: value lines)");
            return false;
        }
        for (const auto &entry : node) {
            const std::string key = entry.first.as<std::string>();
            if (keys.count(key) == 0) {
                std::string known;
                for (const std::string &k : keys)
                    known += (known.empty() ? "" : ", ") + k;
                Fail(entry.first,
                     "unknown key '" + key + "' in " + what + " (known: " + known + ")");
            }
        }
        return true;
    }

    bool Int(const YAML::Node &map, const char *key, int &value, long low, long high) {
        const YAML::Node node = map[key];
        if (!node)
            return false;
        const std::string text = node.IsScalar() ? node.Scalar() : "";
        char *end = nullptr;
        const long parsed = strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || parsed < low || parsed > high) {
            Fail(node, std::string(key) + " takes a whole number from " + std::to_string(low) +
                           " to " + std::to_string(high) + ", not '" + text + "'");
            return false;
        }
        value = static_cast<int>(parsed);
        return true;
    }

    bool String(const YAML::Node &map, const char *key, std::string &value) {
        const YAML::Node node = map[key];
        if (!node)
            return false;
        if (!node.IsScalar() || node.Scalar().empty()) {
            Fail(node, std::string(key) + " takes a text");
            return false;
        }
        value = node.Scalar();
        return true;
    }

    bool Bool(const YAML::Node &map, const char *key, bool &value) {
        const YAML::Node node = map[key];
        if (!node)
            return false;
        const std::string text = node.IsScalar() ? node.Scalar() : "";
        if (text == "true" || text == "yes") {
            value = true;
        } else if (text == "false" || text == "no") {
            value = false;
        } else {
            Fail(node, std::string(key) + " takes true or false, not '" + text + "'");
            return false;
        }
        return true;
    }
};

int32_t DataTypeOf(ValueType type) {
    switch (type) {
        case ValueType::kBit:
            return QIV_TYPE_BIT;
        case ValueType::kInt32:
        case ValueType::kUint32:
        case ValueType::kFloat:
            return QIV_TYPE_DWORD;
        default:
            return QIV_TYPE_WORD;
    }
}

bool ParseTag(TagDefinition &definition, const std::string &address, int32_t dataType) {
    definition = {};
    definition.addressText = address.c_str();
    definition.dataType = dataType;
    DriverRequest request = {};
    request.command = QIV_CMD_PARSE_TAG;
    request.params = &definition;
    const bool ok = QivMain(&request) == QIV_STATUS_OK;
    definition.addressText = nullptr;
    return ok;
}

// The address of element `index` of a range that starts at `first`.
std::string ElementAddress(const std::string &station, const TagDefinition &first, ValueType type,
                           long index, long *lastWord) {
    const char device = static_cast<char>(first.device);
    char text[24];
    if (type == ValueType::kBit) {
        const long contact = first.wordAddress * 16L + first.bitNumber + index;
        *lastWord = contact / 16;
        snprintf(text, sizeof text, "%s%c%04ld%X", station.c_str(), device, contact / 16,
                 static_cast<unsigned>(contact % 16));
        return text;
    }
    const long step = first.width == 32 ? 2 : 1;
    const long word = first.wordAddress + index * step;
    *lastWord = word + step - 1;
    snprintf(text, sizeof text, "%s%c%0*ld", station.c_str(), device, wire::NumberDigits(device),
             word);
    return text;
}

bool ParseType(const std::string &text, ValueType &type) {
    static const std::map<std::string, ValueType> kTypes = {
        {"int16", ValueType::kInt16}, {"uint16", ValueType::kUint16},
        {"int32", ValueType::kInt32}, {"uint32", ValueType::kUint32},
        {"float", ValueType::kFloat}, {"bit", ValueType::kBit}};
    const auto found = kTypes.find(text);
    if (found == kTypes.end())
        return false;
    type = found->second;
    return true;
}

bool ParseTable(const std::string &text, Table &table) {
    static const std::map<std::string, Table> kTables = {{"holding", Table::kHolding},
                                                         {"input", Table::kInput},
                                                         {"coil", Table::kCoil},
                                                         {"discrete", Table::kDiscrete}};
    const auto found = kTables.find(text);
    if (found == kTables.end())
        return false;
    table = found->second;
    return true;
}

bool ParseNetwork(const std::string &text, Network &network) {
    const size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    int bits = 32;
    if (slash != std::string::npos) {
        char *end = nullptr;
        bits = static_cast<int>(strtol(text.c_str() + slash + 1, &end, 10));
        if (slash + 1 == text.size() || *end != '\0' || bits < 0 || bits > 32)
            return false;
    }
    in_addr address;
    if (inet_pton(AF_INET, host.c_str(), &address) != 1)
        return false;
    network.mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    network.address = ntohl(address.s_addr) & network.mask;
    network.text = text;
    return true;
}

// The scan settings that `defaults` gives every line and a line may change.
const std::set<std::string> kScanKeys = {
    "timeout_ms", "rate_ms", "gap", "demote_after", "demote_for_s", "reopen_ms", "reopen_max_ms"};

void ReadScanSettings(Checker &check, const YAML::Node &node, LineConfig &line, int &rateMs) {
    check.Int(node, "timeout_ms", line.timeoutMs, 10, 2000);
    if (line.timeoutMs % 10 != 0) {
        check.Fail(node["timeout_ms"],
                   "timeout_ms is counted in steps of 10 ms by the driver: give a multiple of 10");
    }
    check.Int(node, "rate_ms", rateMs, 0, 3600000);
    check.Int(node, "gap", line.gapWords, 0, 26);
    check.Int(node, "demote_after", line.demoteAfter, 1, 1000);
    int seconds = line.demoteForMs / 1000;
    if (check.Int(node, "demote_for_s", seconds, 1, 86400))
        line.demoteForMs = seconds * 1000;
    check.Int(node, "reopen_ms", line.reopenMs, 10, 600000);
    check.Int(node, "reopen_max_ms", line.reopenMaxMs, 10, 3600000);
}

class Reader {
  public:
    Reader(const std::string &file, Config &config, std::vector<std::string> &errors)
        : check_{file, errors}, config_(config) {}

    void Read(const YAML::Node &root) {
        if (!check_.Mapping(root, "the file", {"modbus", "defaults", "lines", "mqtt", "http"}))
            return;
        if (root["modbus"])
            ReadModbus(root["modbus"]);
        LineConfig defaults;
        int defaultRate = 1000;
        if (root["defaults"] && check_.Mapping(root["defaults"], "defaults", kScanKeys))
            ReadScanSettings(check_, root["defaults"], defaults, defaultRate);
        const YAML::Node lines = root["lines"];
        if (!lines || !lines.IsSequence() || lines.size() == 0) {
            check_.Fail(lines ? check_.LineOf(lines) : 1,
                        "the file names no lines: give 'lines:' with at least one line (port, "
                        "stations, tags)");
            return;
        }
        for (const YAML::Node &line : lines)
            ReadLine(line, defaults, defaultRate);
        ReadFrontEnds(root, check_.file, config_, check_.errors);
    }

  private:
    void ReadModbus(const YAML::Node &node) {
        if (!check_.Mapping(
                node, "modbus",
                {"listen", "port", "max_clients", "allow", "write_allow", "word_order"}))
            return;
        ModbusConfig &modbus = config_.modbus;
        if (check_.String(node, "listen", modbus.listen)) {
            in_addr address;
            if (inet_pton(AF_INET, modbus.listen.c_str(), &address) != 1)
                check_.Fail(node["listen"], "listen takes an IPv4 address such as 127.0.0.1");
        }
        check_.Int(node, "port", modbus.port, 1, 65535);
        check_.Int(node, "max_clients", modbus.maxClients, 1, 1000);
        std::string order;
        if (check_.String(node, "word_order", order)) {
            if (order == "ABCD") {
                modbus.wordOrder = WordOrder::kHighFirst;
            } else if (order == "CDAB") {
                modbus.wordOrder = WordOrder::kLowFirst;
            } else {
                check_.Fail(node["word_order"],
                            "word_order takes ABCD (high word first) or CDAB (low word first), "
                            "not '" +
                                order + "'");
            }
        }
        if (node["allow"])
            ReadNetworks(node["allow"], "allow", modbus.allow);
        if (node["write_allow"])
            ReadNetworks(node["write_allow"], "write_allow", modbus.writeAllow.emplace());
    }

    void ReadNetworks(const YAML::Node &list, const std::string &key,
                      std::vector<Network> &networks) {
        if (!list.IsSequence()) {
            check_.Fail(list, key + " takes a list of networks: [127.0.0.0/8, 10.1.2.0/24]");
            return;
        }
        for (const YAML::Node &entry : list) {
            Network network;
            if (!entry.IsScalar() || !ParseNetwork(entry.Scalar(), network)) {
                check_.Fail(entry, "'" + (entry.IsScalar() ? entry.Scalar() : "") +
                                       "' is no network: give an IPv4 address with an "
                                       "optional /bits, as 192.168.1.0/24");
            } else {
                networks.push_back(network);
            }
        }
    }

    void ReadLine(const YAML::Node &node, const LineConfig &defaults, int defaultRate) {
        std::set<std::string> keys = {"name", "port", "settings", "stations", "tags"};
        keys.insert(kScanKeys.begin(), kScanKeys.end());
        if (!check_.Mapping(node, "a line", keys))
            return;
        LineConfig line = defaults;
        line.stations.clear();
        line.sourceLine = check_.LineOf(node);
        line.name = "line" + std::to_string(config_.lines.size() + 1);
        check_.String(node, "name", line.name);
        for (const LineConfig &other : config_.lines) {
            if (other.name == line.name) {
                check_.Fail(node, "a line named '" + line.name + "' is there already (line " +
                                      std::to_string(other.sourceLine) + ")");
            }
        }
        if (!check_.String(node, "port", line.port))
            check_.Fail(node, "line '" + line.name + "' has no port: give port: /dev/ttyUSB0");
        std::string settings;
        if (check_.String(node, "settings", settings) &&
            !ParseLineSettings(settings, line.settings)) {
            check_.Fail(node["settings"],
                        "settings takes rate and format as 19200-8O1 (data bits "
                        "5-8, parity N O E M S, stop bits 1 1.5 2), not '" +
                            settings + "'");
        }
        int rateMs = defaultRate;
        ReadScanSettings(check_, node, line, rateMs);
        const size_t lineIndex = config_.lines.size();
        ReadStations(node["stations"], line, node);
        config_.lines.push_back(line);
        const YAML::Node tags = node["tags"];
        if (!tags || !tags.IsSequence() || tags.size() == 0) {
            check_.Fail(tags ? tags : node, "line '" + line.name + "' has no tags");
            return;
        }
        for (const YAML::Node &tag : tags)
            ReadTags(tag, lineIndex, rateMs);
    }

    void ReadStations(const YAML::Node &stations, LineConfig &line, const YAML::Node &lineNode) {
        if (!stations || !stations.IsSequence() || stations.size() == 0) {
            check_.Fail(stations ? stations : lineNode,
                        "line '" + line.name +
                            "' has no stations: give stations: [{station: 01, "
                            "unit: 1}]");
            return;
        }
        for (const YAML::Node &node : stations) {
            if (!check_.Mapping(node, "a station", {"station", "unit"}))
                continue;
            StationConfig station;
            station.sourceLine = check_.LineOf(node);
            int number = 0;
            if (!check_.Int(node, "station", number, 1, 99)) {
                check_.Fail(node, "a station needs its number: station: 01 (1 to 99)");
                continue;
            }
            char text[8];
            snprintf(text, sizeof text, "%02d", number);
            station.station = text;
            if (!check_.Int(node, "unit", station.unit, 1, 255)) {
                check_.Fail(node, "station " + station.station +
                                      " needs the Modbus unit id it is served as: unit: 1 "
                                      "(1 to 255)");
                continue;
            }
            if (station.unit == kStatusUnit) {
                check_.Fail(node, "unit " + std::to_string(kStatusUnit) +
                                      " is the gateway's own, where clients read the stations' "
                                      "state: give the station another unit id");
                continue;
            }
            for (const StationConfig &other : line.stations) {
                if (other.station == station.station)
                    check_.Fail(node, "station " + station.station + " is on this line already");
            }
            const auto unit = units_.find(station.unit);
            if (unit != units_.end()) {
                check_.Fail(node, "unit " + std::to_string(station.unit) +
                                      " is given already to the station at line " +
                                      std::to_string(unit->second));
            } else {
                units_[station.unit] = station.sourceLine;
            }
            line.stations.push_back(station);
        }
    }

    void ReadTags(const YAML::Node &node, size_t lineIndex, int rateMs) {
        if (!check_.Mapping(
                node, "a tag",
                {"name", "address", "count", "type", "table", "register", "writable", "rate_ms"}))
            return;
        const LineConfig &line = config_.lines[lineIndex];
        TagConfig tag;
        tag.line = lineIndex;
        tag.sourceLine = check_.LineOf(node);
        tag.rateMs = rateMs;
        if (!check_.String(node, "address", tag.address)) {
            check_.Fail(node, "a tag needs its address as the driver takes it: 01D00100");
            return;
        }
        int count = 1;
        check_.Int(node, "count", count, 1, 65536);
        std::string text;
        if (check_.String(node, "type", text) && !ParseType(text, tag.type)) {
            check_.Fail(
                node["type"],
                "type takes int16, uint16, int32, uint32, float or bit, not '" + text + "'");
            return;
        }
        if (!node["type"])
            tag.type = tag.address.size() == 8 && wire::NumberDigits(tag.address[2]) != 5
                           ? ValueType::kBit
                           : ValueType::kInt16;
        tag.table = tag.type == ValueType::kBit ? Table::kCoil : Table::kHolding;
        if (check_.String(node, "table", text) && !ParseTable(text, tag.table)) {
            check_.Fail(node["table"],
                        "table takes holding, input, coil or discrete, not '" + text + "'");
            return;
        }
        check_.Bool(node, "writable", tag.writable);
        check_.Int(node, "rate_ms", tag.rateMs, 0, 3600000);
        if (!check_.Int(node, "register", tag.reg, 0, kLastModbusAddress)) {
            check_.Fail(node,
                        "a tag needs the register it is served at: register: 0 (counted "
                        "from 0, as the request carries it)");
            return;
        }
        check_.String(node, "name", tag.name);

        if (IsBitTable(tag.table) != (tag.type == ValueType::kBit)) {
            check_.Fail(node, std::string("a ") + ValueTypeName(tag.type) + " value is served " +
                                  (tag.type == ValueType::kBit ? "as a coil or discrete input"
                                                               : "in holding or input registers") +
                                  ", not in the " + TableName(tag.table) + " table");
            return;
        }
        if (tag.writable && (tag.table == Table::kInput || tag.table == Table::kDiscrete)) {
            check_.Fail(node, std::string("clients cannot write the ") + TableName(tag.table) +
                                  " table: serve a writable tag as holding or coil");
            return;
        }
        // A 32-bit value in D or F is read through E or G, the driver's
        // 32-bit view of the same registers.
        if (RegistersOf(tag.type) == 2 && tag.address.size() > 2 &&
            (tag.address[2] == 'D' || tag.address[2] == 'F'))
            tag.address[2] = tag.address[2] == 'D' ? 'E' : 'G';
        TagDefinition first;
        if (!ParseTag(first, tag.address, DataTypeOf(tag.type))) {
            check_.Fail(node, tag.address + " is refused by the driver as an address of type " +
                                  ValueTypeName(tag.type) + " (" +
                                  (tag.type == ValueType::kBit
                                       ? "a contact is station, X Y R L T or C, four digits of "
                                         "word and one of bit: 01R00012"
                                       : "station, device and digits: 01D00100, 01R0012") +
                                  ")");
            return;
        }
        const char device = static_cast<char>(first.device);
        const int width = tag.type == ValueType::kBit ? 1 : RegistersOf(tag.type) * 16;
        if (first.width != width) {
            check_.Fail(node, tag.address + " holds a " + std::to_string(first.width) +
                                  "-bit value, which type " + ValueTypeName(tag.type) +
                                  " does not fit" +
                                  (first.width == 32 ? ": give int32, uint32 or float" : ""));
            return;
        }
        if (tag.writable && (device == 'T' || device == 'C') && width == 1) {
            check_.Fail(node, tag.address + ": timer and counter contacts cannot be written");
            return;
        }
        tag.station = tag.address.substr(0, 2);
        const auto station =
            std::find_if(line.stations.begin(), line.stations.end(),
                         [&](const StationConfig &s) { return s.station == tag.station; });
        if (station == line.stations.end()) {
            check_.Fail(node, tag.address + ": station " + tag.station +
                                  " is not among the stations of line '" + line.name + "'");
            return;
        }
        tag.unit = station->unit;
        const std::string base = tag.name;
        const int registers = RegistersOf(tag.type);
        for (long i = 0; i < count; ++i) {
            TagConfig element = tag;
            long lastWord = 0;
            element.address = ElementAddress(tag.station, first, tag.type, i, &lastWord);
            if (lastWord > wire::LastNumber(device)) {
                check_.Fail(node, tag.address + " with count " + std::to_string(count) +
                                      " runs past the device's last word (" +
                                      std::to_string(lastWord) + ")");
                return;
            }
            element.reg = tag.reg + static_cast<int>(i) * registers;
            if (element.reg + registers - 1 > kLastModbusAddress) {
                check_.Fail(
                    node, "count " + std::to_string(count) + " runs past the last register, 65535");
                return;
            }
            element.name = base.empty() ? element.address
                           : count == 1 ? base
                                        : base + "[" + std::to_string(i) + "]";
            if (!ParseTag(element.parsed, element.address, DataTypeOf(tag.type))) {
                check_.Fail(node, element.address + " is refused by the driver");
                return;
            }
            for (int r = 0; r < registers; ++r) {
                const auto key =
                    std::make_tuple(tag.unit, static_cast<int>(tag.table), element.reg + r);
                const auto served = served_.find(key);
                if (served != served_.end()) {
                    check_.Fail(node, std::string(TableName(tag.table)) + " " +
                                          std::to_string(element.reg + r) + " of unit " +
                                          std::to_string(tag.unit) +
                                          " is served already by the tag at line " +
                                          std::to_string(served->second));
                    return;
                }
                served_[key] = tag.sourceLine;
            }
            config_.tags.push_back(element);
        }
    }

    Checker check_;
    Config &config_;
    std::map<int, int> units_;                         // unit id: where it is given
    std::map<std::tuple<int, int, int>, int> served_;  // unit, table, register: the tag's line
};

}  // namespace

const char *ValueTypeName(ValueType type) {
    switch (type) {
        case ValueType::kInt16:
            return "int16";
        case ValueType::kUint16:
            return "uint16";
        case ValueType::kInt32:
            return "int32";
        case ValueType::kUint32:
            return "uint32";
        case ValueType::kFloat:
            return "float";
        case ValueType::kBit:
            return "bit";
    }
    return "?";
}

const char *TableName(Table table) {
    switch (table) {
        case Table::kHolding:
            return "holding";
        case Table::kInput:
            return "input";
        case Table::kCoil:
            return "coil";
        case Table::kDiscrete:
            return "discrete";
    }
    return "?";
}

bool IsBitTable(Table table) {
    return table == Table::kCoil || table == Table::kDiscrete;
}

int RegistersOf(ValueType type) {
    return type == ValueType::kInt32 || type == ValueType::kUint32 || type == ValueType::kFloat ? 2
                                                                                                : 1;
}

bool ParseLineSettings(const std::string &text, SerialLineSettings &settings) {
    const size_t dash = text.find('-');
    if (dash == std::string::npos || dash == 0 || text.size() < dash + 4)
        return false;
    char *end = nullptr;
    const long rate = strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + dash || rate < 50 || rate > 65535)
        return false;
    const char bits = text[dash + 1];
    const std::string parities = "NOEMS";
    const size_t parity = parities.find(static_cast<char>(toupper(text[dash + 2])));
    const std::string stop = text.substr(dash + 3);
    if (bits < '5' || bits > '8' || parity == std::string::npos ||
        (stop != "1" && stop != "1.5" && stop != "2"))
        return false;
    settings.baudRate = static_cast<uint16_t>(rate);
    settings.dataBits = static_cast<uint16_t>(bits - '0');
    settings.parity = static_cast<uint16_t>(parity);
    settings.stopBits = stop == "1"   ? QIV_STOPBITS_ONE
                        : stop == "2" ? QIV_STOPBITS_TWO
                                      : QIV_STOPBITS_ONE_AND_HALF;
    return true;
}

std::string LineSettingsText(const SerialLineSettings &settings) {
    return ::LineSettingsText(settings);
}

namespace {

bool InNetworks(const std::vector<Network> &networks, uint32_t address) {
    return std::any_of(networks.begin(), networks.end(), [&](const Network &network) {
        return (address & network.mask) == network.address;
    });
}

}  // namespace

bool ClientAllowed(const ModbusConfig &modbus, uint32_t address) {
    return modbus.allow.empty() || InNetworks(modbus.allow, address);
}

bool ClientMayWrite(const ModbusConfig &modbus, uint32_t address) {
    return modbus.writeAllow ? InNetworks(*modbus.writeAllow, address)
                             : ClientAllowed(modbus, address);
}

bool ParseConfig(const std::string &text, const std::string &file, Config &config,
                 std::vector<std::string> &errors) {
    config = Config();
    config.file = file;
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::Exception &e) {
        errors.push_back(file + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg);
        return false;
    }
    const size_t before = errors.size();
    try {
        Reader(file, config, errors).Read(root);
    } catch (const YAML::Exception &e) {
        errors.push_back(file + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg);
    }
    return errors.size() == before;
}

bool LoadConfig(const std::string &path, Config &config, std::vector<std::string> &errors) {
    std::ifstream in(path);
    if (!in) {
        errors.push_back(path + ": cannot be read");
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return ParseConfig(text.str(), path, config, errors);
}

}  // namespace gateway
