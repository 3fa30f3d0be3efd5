// The gateway's configuration: one YAML file that names the lines, the
// stations on each with their Modbus unit ids, and the tags with where each
// is served. Everything is checked before anything starts; every error names
// the file and line it comes from.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "qivma.h"
#include "tools/gateway/front_ends.h"
#include "tools/hostkit/session.h"
#include "tools/hostkit/value_format.h"

namespace gateway {

// The unit id whose input registers show the stations' state and counters;
// no station may be served as it.
constexpr int kStatusUnit = 247;

enum class ValueType { kInt16, kUint16, kInt32, kUint32, kFloat, kBit };
enum class Table { kHolding, kInput, kCoil, kDiscrete };

const char *ValueTypeName(ValueType type);
const char *TableName(Table table);
bool IsBitTable(Table table);
// Registers (or coils) that one value of the type takes.
int RegistersOf(ValueType type);

struct TagConfig {
    std::string name;     // as given, or the address for a tag without a name
    std::string address;  // as the driver takes it: "01D00100", "01R00012"
    std::string station;  // its first two characters
    ValueType type = ValueType::kInt16;
    bool writable = false;
    int rateMs = 1000;
    Table table = Table::kHolding;
    int reg = 0;   // the first register (or coil), as the request's PDU counts: from 0
    int unit = 0;  // the Modbus unit id of its station
    size_t line = 0;
    int sourceLine = 0;  // where the file defines it
    Tag parsed;          // as Session::ParseTag left it
};

struct StationConfig {
    std::string station;  // two characters, as addresses begin
    int unit = 0;
    int sourceLine = 0;
};

struct LineConfig {
    std::string name;
    std::string port;
    SerialLineSettings settings = kFactoryLineSettings;
    int timeoutMs = 40;
    int gapWords = 4;     // words that a block may read across to take a neighbour along
    int demoteAfter = 3;  // failures in a row that take a station off scan
    int demoteForMs = 30000;
    int reopenMs = 1000;  // the first wait before a failed port is opened again; doubles
    int reopenMaxMs = 30000;
    std::vector<StationConfig> stations;
    int sourceLine = 0;
};

struct Network {
    uint32_t address = 0;  // host order
    uint32_t mask = 0;
    std::string text;
};

struct ModbusConfig {
    std::string listen = "127.0.0.1";
    int port = 502;
    int maxClients = 32;
    std::vector<Network> allow;  // empty: every client
    // The networks whose clients may write; unset: those of `allow`.
    std::optional<std::vector<Network>> writeAllow;
    // How a 32-bit value lies in two registers: high word first ("ABCD") or
    // low word first ("CDAB", as the controllers keep it).
    WordOrder wordOrder = WordOrder::kLowFirst;
};

struct Config {
    std::string file;
    ModbusConfig modbus;
    MqttConfig mqtt;
    HttpConfig http;
    std::vector<LineConfig> lines;
    std::vector<TagConfig> tags;
};

// Reads and checks a configuration. False with every error found, each
// "FILE:LINE: what".
bool LoadConfig(const std::string &path, Config &config, std::vector<std::string> &errors);
// The same on text already read; `file` names it in the errors.
bool ParseConfig(const std::string &text, const std::string &file, Config &config,
                 std::vector<std::string> &errors);

// Whether a client at `address` (host order) may connect.
bool ClientAllowed(const ModbusConfig &modbus, uint32_t address);
// Whether it may write.
bool ClientMayWrite(const ModbusConfig &modbus, uint32_t address);

}  // namespace gateway
