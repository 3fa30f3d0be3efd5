#include "tools/gateway/config.h"

#include <arpa/inet.h>
#include <stdio.h>

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <tuple>

#include <yaml-cpp/yaml.h>

#include "tools/gateway/config_check.h"

#include "tools/hostkit/session.h"
#include "tools/hostkit/tag_plan.h"
#include "tools/hostkit/tcp_line.h"
#include "wire/wire_rules.h"

namespace gateway {

namespace {

constexpr int kLastModbusAddress = 65535;

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

bool ParseTag(Tag &tag, const std::string &address, ValueType type) {
    tag = Tag();
    tag.address = address;
    tag.dataType = DataTypeOf(type);
    return Session::ParseTag(tag);
}

// The address of element `index` of a range that starts at `first`.
std::string ElementAddress(const std::string &station, const TagDefinition &first, ValueType type,
                           long index, long *lastWord) {
    const char device = static_cast<char>(first.device);
    if (type == ValueType::kBit) {
        const long contact = first.wordAddress * 16L + first.bitNumber + index;
        *lastWord = contact / 16;
        return TagAddress(station, device, contact / 16, static_cast<int>(contact % 16));
    }
    const long step = first.width == 32 ? 2 : 1;
    const long word = first.wordAddress + index * step;
    *lastWord = word + step - 1;
    return TagAddress(station, device, word);
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
std::vector<ConfigKey> ScanKeys(LineConfig &line, int &rateMs) {
    return {
        {"timeout_ms",
         [&line](ConfigCheck &check, const YAML::Node &value) {
             if (!check.Number(value, "timeout_ms", line.timeoutMs, 10, 2000))
                 return false;
             if (line.timeoutMs % 10 == 0)
                 return true;
             check.Fail(value,
                        "timeout_ms is counted in steps of 10 ms by the driver: give a multiple "
                        "of 10");
             return false;
         }},
        NumberKey("rate_ms", &rateMs, 0, 3600000),
        NumberKey("gap", &line.gapWords, 0, 26),
        NumberKey("demote_after", &line.demoteAfter, 1, 1000),
        {"demote_for_s",
         [&line](ConfigCheck &check, const YAML::Node &value) {
             int seconds = 0;
             if (!check.Number(value, "demote_for_s", seconds, 1, 86400))
                 return false;
             line.demoteForMs = seconds * 1000;
             return true;
         }},
        NumberKey("reopen_ms", &line.reopenMs, 10, 600000),
        NumberKey("reopen_max_ms", &line.reopenMaxMs, 10, 3600000),
    };
}

// A key whose text `parse` takes; `what` says what it takes when it does not.
template <typename T>
ConfigKey ChoiceKey(const char *name, T *value, bool (*parse)(const std::string &, T &),
                    const std::string &what) {
    return {name, [=](ConfigCheck &check, const YAML::Node &node) {
                std::string text;
                if (!check.Text(node, name, text))
                    return false;
                if (parse(text, *value))
                    return true;
                check.Fail(node, std::string(name) + " takes " + what + ", not '" + text + "'");
                return false;
            }};
}

bool ParseWordOrder(const std::string &text, WordOrder &order) {
    if (text != "ABCD" && text != "CDAB")
        return false;
    order = text == "ABCD" ? WordOrder::kHighFirst : WordOrder::kLowFirst;
    return true;
}

class Reader {
  public:
    Reader(ConfigCheck &check, Config &config) : check_(check), config_(config) {}

    void Read(const YAML::Node &root) {
        if (root.IsNull()) {
            check_.Fail(root,
                        "the file holds nothing: give 'lines:' with at least one line (port, "
                        "stations, tags)");
            return;
        }
        if (!check_.Read(root, "the file",
                         {OwnKey("modbus"), OwnKey("defaults"), OwnKey("lines"), OwnKey("mqtt"),
                          OwnKey("http")}) &&
            !root.IsMap())
            return;
        if (root["modbus"])
            ReadModbus(root["modbus"]);
        LineConfig defaults;
        int defaultRate = 1000;
        // A line takes what the defaults give as they stand: an error in them
        // is said here, once, and not again at every line.
        if (root["defaults"])
            check_.Read(root["defaults"], "defaults", ScanKeys(defaults, defaultRate));
        const size_t before = check_.Errors();
        const YAML::Node lines = root["lines"];
        if (!lines || !lines.IsSequence() || lines.size() == 0) {
            check_.Fail(lines ? check_.LineOf(lines) : 1,
                        "the file names no lines: give 'lines:' with at least one line (port, "
                        "stations, tags)");
        } else {
            for (const YAML::Node &line : lines)
                ReadLine(line, defaults, defaultRate);
        }
        ReadFrontEnds(check_, root, config_, check_.Errors() == before);
    }

  private:
    void ReadModbus(const YAML::Node &node) {
        ModbusConfig &modbus = config_.modbus;
        check_.Read(node, "modbus",
                    {AddressKey("listen", &modbus.listen),
                     NumberKey("port", &modbus.port, 1, 65535),
                     NumberKey("max_clients", &modbus.maxClients, 1, 1000),
                     {"allow",
                      [&modbus](ConfigCheck &check, const YAML::Node &value) {
                          return Networks(check, value, "allow", modbus.allow);
                      }},
                     {"write_allow",
                      [&modbus](ConfigCheck &check, const YAML::Node &value) {
                          return Networks(check, value, "write_allow", modbus.writeAllow.emplace());
                      }},
                     ChoiceKey("word_order", &modbus.wordOrder, &ParseWordOrder,
                               "ABCD (high word first) or CDAB (low word first)")});
    }

    static bool Networks(ConfigCheck &check, const YAML::Node &node, const std::string &key,
                         std::vector<Network> &networks) {
        if (!node.IsSequence()) {
            check.Fail(node, key + " takes a list of networks: [127.0.0.0/8, 10.1.2.0/24]");
            return false;
        }
        bool taken = true;
        for (const YAML::Node &entry : node) {
            Network network;
            if (!entry.IsScalar() || !ParseNetwork(entry.Scalar(), network)) {
                check.Fail(entry, "'" + (entry.IsScalar() ? entry.Scalar() : "") +
                                      "' is no network: give an IPv4 address with an "
                                      "optional /bits, as 192.168.1.0/24");
                taken = false;
            } else {
                networks.push_back(network);
            }
        }
        return taken;
    }

    void ReadLine(const YAML::Node &node, const LineConfig &defaults, int defaultRate) {
        LineConfig line = defaults;
        line.stations.clear();
        line.sourceLine = check_.LineOf(node);
        line.name = "line" + std::to_string(config_.lines.size() + 1);
        int rateMs = defaultRate;
        std::vector<ConfigKey> keys = ScanKeys(line, rateMs);
        keys.insert(keys.end(), {TextKey("name", &line.name),
                                 TextKey("port", &line.port),
                                 {"settings",
                                  [&line](ConfigCheck &check, const YAML::Node &value) {
                                      std::string text, error;
                                      if (!check.Text(value, "settings", text))
                                          return false;
                                      if (ParseLineSettings(text, line.settings, nullptr, &error))
                                          return true;
                                      check.Fail(value, "settings " + error);
                                      return false;
                                  }},
                                 OwnKey("stations"),
                                 OwnKey("tags")});
        // A wrong value of the line's own is said; its stations and tags are
        // checked all the same.
        if (!check_.Read(node, "a line", keys) && !node.IsMap())
            return;
        for (const LineConfig &other : config_.lines) {
            if (other.name == line.name) {
                check_.Fail(node, "a line named '" + line.name + "' is there already (line " +
                                      std::to_string(other.sourceLine) + ")");
            }
        }
        if (!node["port"])
            check_.Fail(node, "line '" + line.name + "' has no port: give port: /dev/ttyUSB0");
        std::string host, service, why;
        if (IsTcpPort(line.port) && !SplitTcpPort(line.port, &host, &service, &why))
            check_.Fail(node["port"], why);
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
            StationConfig station;
            station.sourceLine = check_.LineOf(node);
            int number = 0;
            const bool taken = check_.Read(
                node, "a station",
                {NumberKey("station", &number, 1, 99), NumberKey("unit", &station.unit, 1, 255)});
            if (!node.IsMap())
                continue;
            if (!node["station"])
                check_.Fail(node, "a station needs its number: station: 01 (1 to 99)");
            if (!taken || !node["station"])
                continue;
            char text[8];
            snprintf(text, sizeof text, "%02d", number);
            station.station = text;
            if (!node["unit"]) {
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
        const LineConfig &line = config_.lines[lineIndex];
        TagConfig tag;
        tag.line = lineIndex;
        tag.sourceLine = check_.LineOf(node);
        tag.rateMs = rateMs;
        int count = 1;
        const bool taken = check_.Read(
            node, "a tag",
            {TextKey("name", &tag.name), TextKey("address", &tag.address),
             NumberKey("count", &count, 1, 65536),
             ChoiceKey("type", &tag.type, &ParseType, "int16, uint16, int32, uint32, float or bit"),
             ChoiceKey("table", &tag.table, &ParseTable, "holding, input, coil or discrete"),
             FlagKey("writable", &tag.writable), NumberKey("rate_ms", &tag.rateMs, 0, 3600000),
             NumberKey("register", &tag.reg, 0, kLastModbusAddress)});
        if (!node.IsMap())
            return;
        if (!node["address"])
            check_.Fail(node, "a tag needs its address as the driver takes it: 01D00100");
        if (!node["register"]) {
            check_.Fail(node,
                        "a tag needs the register it is served at: register: 0 (counted "
                        "from 0, as the request carries it)");
        }
        // What follows judges the values together: not on a value refused.
        if (!taken || !node["address"] || !node["register"])
            return;
        if (!node["type"])
            tag.type = tag.address.size() == 8 && wire::NumberDigits(tag.address[2]) != 5
                           ? ValueType::kBit
                           : ValueType::kInt16;
        if (!node["table"])
            tag.table = tag.type == ValueType::kBit ? Table::kCoil : Table::kHolding;

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
            wire::FindDevice(tag.address[2]) != nullptr)
            tag.address[2] = MemoryView(tag.address[2], 2);
        Tag parsed;
        if (!ParseTag(parsed, tag.address, tag.type)) {
            check_.Fail(node, tag.address + " is refused by the driver as an address of type " +
                                  ValueTypeName(tag.type) + " (" +
                                  (tag.type == ValueType::kBit
                                       ? "a contact is station, X Y R L T or C, four digits of "
                                         "word and one of bit: 01R00012"
                                       : "station, device and digits: 01D00100, 01R0012") +
                                  ")");
            return;
        }
        const TagDefinition &first = parsed.definition;
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
            if (!ParseTag(element.parsed, element.address, tag.type)) {
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

    ConfigCheck &check_;
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
    ConfigCheck check(file);
    YAML::Node root;
    if (LoadYaml(text, check, root)) {
        try {
            Reader(check, config).Read(root);
        } catch (const YAML::Exception &e) {
            // Every node is looked at before it is used; this is what was missed.
            check.Fail(e.mark.line + 1,
                       "the check of the file stopped here at what it did not expect; the "
                       "errors before this are all that it found");
        }
    }
    const std::vector<std::string> said = check.Said();
    errors.insert(errors.end(), said.begin(), said.end());
    return said.empty();
}

bool LoadConfig(const std::string &path, Config &config, std::vector<std::string> &errors) {
    config = Config();
    config.file = path;
    // Not a stream: a directory opens as one and then reads as an empty file.
    FILE *file = fopen(path.c_str(), "re");
    int error = file == nullptr ? errno : 0;
    std::string text;
    if (file != nullptr) {
        char buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, n);
        if (ferror(file))
            error = errno != 0 ? errno : EIO;
        fclose(file);
    }
    if (error != 0) {
        errors.push_back(path + ": cannot be read: " + strerror(error));
        return false;
    }
    return ParseConfig(text, path, config, errors);
}

}  // namespace gateway
