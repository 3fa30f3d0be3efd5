// qivma: a host for people. It loads the driver, builds the blocks, calls
// QivMain as a supervisory host does, and prints what came back.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/kelpra.h"
#include "qivma.h"
#include "tools/qivma/address_rules.h"
#include "tools/qivma/cp437.h"
#include "tools/qivma/session.h"
#include "tools/qivma/tool_platform.h"
#include "tools/qivma/value_format.h"

namespace {

const char kUsage[] =
    "usage: qivma [OPTIONS] COMMAND [ARGUMENTS]\n"
    "\n"
    "commands:\n"
    "  info                        the driver's information and banner\n"
    "  check ADDRESS               how the driver parses an address, or why it refuses it\n"
    "  read ADDRESS...             read tags (with --count N: a block of N elements)\n"
    "  write ADDRESS VALUE...      write tags: ADDRESS VALUE pairs, or with --count N one\n"
    "                              ADDRESS and N values\n"
    "  poll ADDRESS...             read again and again: a live table of values, good and\n"
    "                              failed reads, and response times\n"
    "  demo                        the simulator, and reads and writes of every kind, traced\n"
    "\n"
    "addresses: station (2 hex digits), device, number, e.g. 01D00100 (data register 100),\n"
    "  01E00100 (32-bit, D100 and D101), 01R0012A (relay R12A: word 12, bit A), 01X0010\n"
    "  (input word 10), 01V0005 and 01S0005 (elapsed and set value of timer 5)\n"
    "\n"
    "tag options:\n"
    "  --type word|dword|bit|CODE  the host data type (default: guessed from the address)\n"
    "  --count N                   a block of N elements\n"
    "\n"
    "port options (the driver's defaults):\n"
    "  --port DEVICE               e.g. /dev/ttyUSB0\n"
    "  --sim                       use the built-in controller simulator as the port\n"
    "  --sim-station NN            a station the simulator plays (repeat; default: 01 and\n"
    "                              every station the addresses name)\n"
    "  --baud N                    19200\n"
    "  --data-bits N               8\n"
    "  --parity P                  none|odd|even|mark|space (odd)\n"
    "  --stop-bits S               1|1.5|2 (1)\n"
    "  --timeout MS                40, in steps of 10 ms\n"
    "\n"
    "output:\n"
    "  --trace                     each request and response frame as it went on the line\n"
    "  --json                      machine-readable results\n"
    "  -v, --verbose               the driver's log messages (on stderr)\n"
    "  --interval MS, --for N      poll every MS milliseconds (1000), N rounds (until Ctrl-C)\n"
    "\n"
    "Exit status 0 when everything asked for succeeded, 1 when something failed, 2 for a\n"
    "command line that cannot be followed.\n";

struct Options {
    LineOptions line;
    std::string command;
    std::vector<std::string> arguments;
    std::string type;  // empty: guessed per address
    int32_t count = 0;
    bool trace = false;
    bool json = false;
    int intervalMs = 1000;
    int rounds = 0;  // 0: until interrupted
};

volatile sig_atomic_t g_interrupted = 0;

[[noreturn]] void Usage(const std::string &problem) {
    fprintf(stderr, "qivma: %s\n(qivma help lists commands and options)\n", problem.c_str());
    exit(2);
}

long Number(const std::string &text, const char *option, long min, long max) {
    char *end = nullptr;
    const long value = strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || value < min || value > max) {
        Usage(std::string(option) + " takes a number from " + std::to_string(min) + " to " +
              std::to_string(max) + ", not '" + text + "'");
    }
    return value;
}

Options ParseOptions(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--port") {
            o.line.port = value();
        } else if (arg == "--sim") {
            o.line.sim = true;
        } else if (arg == "--sim-station") {
            const std::string station = value();
            if (station.size() != 2)
                Usage("a station is two characters, e.g. 01");
            o.line.simStations.push_back(station);
        } else if (arg == "--baud") {
            o.line.baud = static_cast<uint16_t>(Number(value(), "--baud", 50, 65535));
        } else if (arg == "--data-bits") {
            o.line.dataBits = static_cast<uint16_t>(Number(value(), "--data-bits", 5, 8));
        } else if (arg == "--parity") {
            const std::string p = value();
            const char *names[] = {"none", "odd", "even", "mark", "space"};
            uint16_t code = 5;
            for (uint16_t k = 0; k < 5; ++k)
                code = p == names[k] ? k : code;
            if (code == 5)
                Usage("--parity takes none, odd, even, mark or space");
            o.line.parity = code;
        } else if (arg == "--stop-bits") {
            const std::string s = value();
            if (s == "1")
                o.line.stopBits = QIV_STOPBITS_ONE;
            else if (s == "1.5")
                o.line.stopBits = QIV_STOPBITS_ONE_AND_HALF;
            else if (s == "2")
                o.line.stopBits = QIV_STOPBITS_TWO;
            else
                Usage("--stop-bits takes 1, 1.5 or 2");
        } else if (arg == "--timeout") {
            o.line.timeoutMs = static_cast<int>(Number(value(), "--timeout", 10, 600000));
        } else if (arg == "--type") {
            o.type = value();
        } else if (arg == "--count") {
            // The driver judges the count; check shows why it refuses one.
            o.count =
                static_cast<int32_t>(Number(value(), "--count", -2147483647L - 1, 2147483647L));
        } else if (arg == "--trace") {
            o.trace = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "-v" || arg == "--verbose") {
            o.line.verbose = true;
        } else if (arg == "--interval") {
            o.intervalMs = static_cast<int>(Number(value(), "--interval", 0, 3600000));
        } else if (arg == "--for") {
            o.rounds = static_cast<int>(Number(value(), "--for", 1, 100000000));
        } else if (arg == "-h" || arg == "--help") {
            o.command = "help";
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            Usage("unknown option '" + arg + "'");
        } else if (o.command.empty()) {
            o.command = arg;
        } else {
            o.arguments.push_back(arg);
        }
    }
    return o;
}

int32_t DataTypeFor(const Options &o, const std::string &address) {
    if (o.type.empty())
        return InferredDataType(address);
    if (o.type == "word")
        return QIV_TYPE_WORD;
    if (o.type == "dword")
        return QIV_TYPE_DWORD;
    if (o.type == "bit")
        return QIV_TYPE_BIT;
    return static_cast<int32_t>(Number(o.type, "--type", -2147483647L - 1, 2147483647L));
}

ValueKind KindOf(const Tag &tag) {
    if (tag.definition.width == 1)
        return ValueKind::kBit;
    if (tag.definition.width == 32)
        return ValueKind::kDoubleWord;
    return ValueKind::kWord;
}

// Parses the addresses; prints why any is refused.
bool MakeTags(const Options &o, const std::vector<std::string> &addresses, std::vector<Tag> &tags) {
    bool ok = true;
    for (const std::string &address : addresses) {
        Tag tag;
        tag.address = address;
        tag.dataType = DataTypeFor(o, address);
        tag.count = o.count;
        std::vector<std::string> reasons;
        if (!Session::ParseTag(tag, &reasons)) {
            fprintf(stderr, "qivma: %s is refused:\n", address.c_str());
            for (const std::string &reason : reasons)
                fprintf(stderr, "  - %s\n", reason.c_str());
            ok = false;
        }
        tags.push_back(tag);
    }
    return ok;
}

// The values of a successful read, one text per element.
std::vector<std::string> Values(const Tag &tag, const std::vector<int16_t> &w) {
    std::vector<std::string> values;
    if (tag.count == 0) {
        if (tag.definition.width == 32)
            values.push_back(DescribeDoubleWord(w[0], w[1]));
        else if (tag.definition.width == 1)
            values.push_back(DescribeBit(w[1]));
        else
            values.push_back(DescribeWord(w[1]));
    } else if (tag.definition.device == 'E' || tag.definition.device == 'G') {
        for (size_t i = 0; i + 1 < w.size(); i += 2)
            values.push_back(DescribeDoubleWord(w[i], w[i + 1]));
    } else {
        for (const int16_t word : w)
            values.push_back(DescribeWord(word));
    }
    return values;
}

// The values of a successful read as numbers: signed 16 or 32 bits, or 0/1.
std::vector<long long> Numbers(const Tag &tag, const std::vector<int16_t> &w) {
    const auto dword = [](int16_t low, int16_t high) {
        return static_cast<long long>(static_cast<int32_t>(
            static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16 | static_cast<uint16_t>(low)));
    };
    std::vector<long long> numbers;
    if (tag.count == 0) {
        if (tag.definition.width == 32)
            numbers.push_back(dword(w[0], w[1]));
        else if (tag.definition.width == 1)
            numbers.push_back(w[1] != 0);
        else
            numbers.push_back(w[1]);
    } else if (tag.definition.device == 'E' || tag.definition.device == 'G') {
        for (size_t i = 0; i + 1 < w.size(); i += 2)
            numbers.push_back(dword(w[i], w[i + 1]));
    } else {
        numbers.assign(w.begin(), w.end());
    }
    return numbers;
}

void PrintTrace(const Outcome &outcome) {
    if (outcome.request.empty()) {
        printf("   (nothing sent)\n");
        return;
    }
    printf("   -> %s\n", PrintableFrame(outcome.request).c_str());
    printf("   <- %s\n",
           outcome.response.empty() ? "(nothing)" : PrintableFrame(outcome.response).c_str());
}

void PrintInfo(bool json) {
    const DriverInfo info = Session::Info();
    const SerialLineSettings &line = info.defaultLineSettings;
    const char *parity[] = {"none", "odd", "even", "mark", "space"};
    const char *stop[] = {"1", "1.5", "2"};
    if (json) {
        printf(
            "{\"version\": %d, \"driverName\": %s, \"instanceSize\": %d, \"defaultTimeoutMs\": %d, "
            "\"baud\": %u, \"dataBits\": %u, \"parity\": \"%s\", \"stopBits\": \"%s\", "
            "\"banner\": %s}\n",
            info.version, JsonString(info.driverName).c_str(), info.instanceSize,
            info.defaultTimeout * 10, line.baudRate, line.dataBits, parity[line.parity % 5],
            stop[line.stopBits % 3], JsonString(Cp437ToUtf8(info.banner)).c_str());
        return;
    }
    printf("%s", Cp437ToUtf8(info.banner).c_str());
    printf("driver          %s, version %d.%d (library %s)\n", info.driverName, info.version / 10,
           info.version % 10, QIVMA_VERSION_STRING);
    printf("instance size   %d bytes\n", info.instanceSize);
    printf("default timeout %d ms\n", info.defaultTimeout * 10);
    printf("default line    %u bit/s, %u data bits, %s parity, %s stop bit\n", line.baudRate,
           line.dataBits, parity[line.parity % 5], stop[line.stopBits % 3]);
}

int RunCheck(const Options &o) {
    if (o.arguments.empty())
        Usage("check needs an ADDRESS");
    bool allOk = true;
    for (const std::string &address : o.arguments) {
        Tag tag;
        tag.address = address;
        tag.dataType = DataTypeFor(o, address);
        tag.count = o.count;
        std::vector<std::string> reasons;
        const bool ok = Session::ParseTag(tag, &reasons);
        allOk = allOk && ok;
        const TagDefinition &d = tag.definition;
        const char device = d.device > 0x20 && d.device < 0x7F ? static_cast<char>(d.device) : '?';
        if (o.json) {
            printf(
                "{\"address\": %s, \"accepted\": %s, \"dataType\": %d, \"count\": %d, "
                "\"station\": %d, \"device\": \"%c\", \"wordAddress\": %d, \"bitNumber\": %d, "
                "\"width\": %d, \"reasons\": [",
                JsonString(address).c_str(), ok ? "true" : "false", tag.dataType, tag.count,
                d.station, device, d.wordAddress, d.bitNumber, d.width);
            for (size_t i = 0; i < reasons.size(); ++i) {
                printf("%s%s", i ? ", " : "", JsonString(reasons[i]).c_str());
            }
            printf("]}\n");
            continue;
        }
        printf("%-10s %s (data type %d, count %d)\n", address.c_str(), ok ? "accepted" : "refused",
               tag.dataType, tag.count);
        printf("  station %d, device %c, word %d, %s, width %d\n", d.station, device, d.wordAddress,
               d.bitNumber == 255 ? "no bit" : ("bit " + std::to_string(d.bitNumber)).c_str(),
               d.width);
        for (const std::string &reason : reasons)
            printf("  - %s\n", reason.c_str());
    }
    return allOk ? 0 : 1;
}

int Report(const Options &o, const Session &session, const Tag &tag, const Outcome &outcome,
           bool isRead) {
    const bool ok = outcome.status == QIV_STATUS_OK;
    if (o.json) {
        printf(
            "{\"address\": %s, \"operation\": \"%s\", \"status\": %d, \"ms\": %.1f, "
            "\"request\": %s, \"response\": %s",
            JsonString(tag.address).c_str(), isRead ? "read" : "write", outcome.status,
            outcome.milliseconds, JsonString(outcome.request).c_str(),
            JsonString(outcome.response).c_str());
        if (ok && isRead) {
            printf(", \"words\": [");
            for (size_t i = 0; i < outcome.words.size(); ++i) {
                printf("%s%d", i ? ", " : "", outcome.words[i]);
            }
            printf("], \"values\": [");
            const std::vector<long long> numbers = Numbers(tag, outcome.words);
            for (size_t i = 0; i < numbers.size(); ++i)
                printf("%s%lld", i ? ", " : "", numbers[i]);
            printf("]");
        }
        if (!ok)
            printf(", \"error\": %s", JsonString(session.Explain(tag, outcome)).c_str());
        printf("}\n");
        return ok ? 0 : 1;
    }
    if (ok && isRead) {
        const std::vector<std::string> values = Values(tag, outcome.words);
        if (values.size() == 1) {
            printf("%-10s = %s\n", tag.address.c_str(), values[0].c_str());
        } else {
            printf("%-10s (%zu values)\n", tag.address.c_str(), values.size());
            for (size_t i = 0; i < values.size(); ++i)
                printf("  [%2zu] %s\n", i, values[i].c_str());
        }
    } else if (ok) {
        printf("%-10s written\n", tag.address.c_str());
    } else {
        printf("%-10s failed (status %d): %s\n", tag.address.c_str(), outcome.status,
               session.Explain(tag, outcome).c_str());
    }
    if (o.trace)
        PrintTrace(outcome);
    return ok ? 0 : 1;
}

bool StartSession(Session &session, const std::vector<Tag> &tags) {
    std::string error;
    if (!session.Start(tags, &error)) {
        fprintf(stderr, "qivma: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The tags of the command's addresses, on a started channel; false when an
// address is refused or the channel does not start (both said on stderr).
bool OpenTags(const Options &o, const char *command, std::vector<Tag> &tags, Session &session) {
    if (o.arguments.empty())
        Usage(std::string(command) + " needs an ADDRESS");
    return MakeTags(o, o.arguments, tags) && StartSession(session, tags);
}

int RunRead(const Options &o) {
    std::vector<Tag> tags;
    Session session(o.line);
    if (!OpenTags(o, "read", tags, session))
        return 1;
    int result = 0;
    for (const Tag &tag : tags)
        result |= Report(o, session, tag, session.Read(tag), true);
    return result;
}

int RunWrite(const Options &o) {
    std::vector<std::string> addresses;
    std::vector<std::vector<std::string>> values;
    if (o.count > 0) {
        if (o.arguments.size() != static_cast<size_t>(o.count) + 1) {
            Usage("write --count N takes one ADDRESS and N values");
        }
        addresses.push_back(o.arguments[0]);
        values.emplace_back(o.arguments.begin() + 1, o.arguments.end());
    } else {
        if (o.arguments.empty() || o.arguments.size() % 2 != 0) {
            Usage("write takes ADDRESS VALUE pairs");
        }
        for (size_t i = 0; i < o.arguments.size(); i += 2) {
            addresses.push_back(o.arguments[i]);
            values.push_back({o.arguments[i + 1]});
        }
    }
    std::vector<Tag> tags;
    if (!MakeTags(o, addresses, tags))
        return 1;
    std::vector<std::vector<int16_t>> words(tags.size());
    for (size_t t = 0; t < tags.size(); ++t) {
        const bool pairs =
            o.count > 0 && (tags[t].definition.device == 'E' || tags[t].definition.device == 'G');
        const ValueKind kind = pairs         ? ValueKind::kDoubleWord
                               : o.count > 0 ? ValueKind::kWord
                                             : KindOf(tags[t]);
        for (const std::string &text : values[t]) {
            std::string error;
            if (!ParseValue(text, kind, words[t], &error))
                Usage(tags[t].address + ": " + error);
        }
    }
    Session session(o.line);
    if (!StartSession(session, tags))
        return 1;
    int result = 0;
    for (size_t t = 0; t < tags.size(); ++t) {
        result |= Report(o, session, tags[t], session.Write(tags[t], words[t]), false);
    }
    return result;
}

void OnInterrupt(int) {
    g_interrupted = 1;
}

int RunPoll(const Options &o) {
    std::vector<Tag> tags;
    Session session(o.line);
    if (!OpenTags(o, "poll", tags, session))
        return 1;
    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
    struct Row {
        std::string value = "-";
        long good = 0, failed = 0;
        double ms = 0;
    };
    std::vector<Row> rows(tags.size());
    const bool redraw = StdoutIsTerminal() && !o.json;
    int result = 0;
    for (int round = 1; !g_interrupted && (o.rounds == 0 || round <= o.rounds); ++round) {
        const auto started = std::chrono::steady_clock::now();
        for (size_t t = 0; t < tags.size() && !g_interrupted; ++t) {
            const Outcome outcome = session.Read(tags[t]);
            Row &row = rows[t];
            row.ms = outcome.milliseconds;
            if (outcome.status == QIV_STATUS_OK) {
                ++row.good;
                const std::vector<std::string> values = Values(tags[t], outcome.words);
                row.value = values.size() == 1 ? values[0] : values[0] + " ...";
            } else {
                ++row.failed;
                row.value = "failed: " + session.Explain(tags[t], outcome);
                result = 1;
            }
            if (o.json) {
                printf(
                    "{\"round\": %d, \"address\": %s, \"status\": %d, \"ms\": %.1f, \"good\": %ld, "
                    "\"failed\": %ld, \"value\": %s}\n",
                    round, JsonString(tags[t].address).c_str(), outcome.status, row.ms, row.good,
                    row.failed, JsonString(row.value).c_str());
            }
        }
        if (!o.json) {
            // On a terminal the table is drawn over itself; elsewhere it is appended.
            const char *clear = redraw ? "\x1b[K" : "";
            if (redraw && round > 1)
                printf("\x1b[%zuA", tags.size() + 1);
            printf("round %-8d %-10s %6s %6s %9s  value%s\n", round, "address", "good", "failed",
                   "ms", clear);
            for (size_t t = 0; t < tags.size(); ++t) {
                printf("%-15s%-10s %6ld %6ld %9.1f  %s%s\n", "", tags[t].address.c_str(),
                       rows[t].good, rows[t].failed, rows[t].ms, rows[t].value.c_str(), clear);
            }
        }
        fflush(stdout);
        const auto next = started + std::chrono::milliseconds(o.intervalMs);
        while (!g_interrupted && std::chrono::steady_clock::now() < next &&
               (o.rounds == 0 || round < o.rounds)) {
            SleepMilliseconds(10);
        }
    }
    return result;
}

int RunDemo(Options o) {
    o.line.sim = true;
    o.trace = true;
    PrintInfo(false);
    printf("\nThe built-in simulator plays station 01; every request and answer is traced.\n\n");
    struct Step {
        const char *what;
        const char *address;
        const char *type;
        int32_t count;
        std::vector<std::string> write;  // empty: a read
    };
    const Step steps[] = {
        {"a data register", "01D00100", "", 0, {}},
        {"write it", "01D00100", "", 0, {"4660"}},
        {"and read it back", "01D00100", "", 0, {}},
        {"a 32-bit value in D200 and D201", "01E00200", "", 0, {"-123456"}},
        {"read back", "01E00200", "", 0, {}},
        {"a float", "01E00202", "", 0, {"3.25"}},
        {"read back", "01E00202", "", 0, {}},
        {"one relay contact (R12A: word 12, bit A)", "01R0012A", "", 0, {"1"}},
        {"read back", "01R0012A", "", 0, {}},
        {"a block of five registers", "01D00000", "", 5, {}},
        {"a timer's set value", "01S0005", "", 0, {}},
        {"an input word", "01X0001", "", 0, {}},
        {"inputs cannot be written: the controller refuses", "01X0001", "", 0, {"1"}},
        {"a station that is not there: three attempts, then no answer", "07D00100", "", 0, {}},
    };
    Session session(o.line);
    std::vector<Tag> tags;
    for (const Step &step : steps) {
        Tag tag;
        tag.address = step.address;
        tag.dataType = InferredDataType(step.address);
        tag.count = step.count;
        Session::ParseTag(tag, nullptr);
        tags.push_back(tag);
    }
    if (!StartSession(session, {tags[0]}))
        return 1;
    printf("port: %s (the simulator's pseudo-terminal)\n\n", session.PortName().c_str());
    int failures = 0;
    for (size_t i = 0; i < tags.size(); ++i) {
        const Step &step = steps[i];
        printf("# %s\n", step.what);
        if (step.write.empty()) {
            failures += Report(o, session, tags[i], session.Read(tags[i]), true);
        } else {
            std::vector<int16_t> words;
            std::string error;
            ParseValue(step.write[0], KindOf(tags[i]), words, &error);
            printf("%-10s <- %s\n", step.address, step.write[0].c_str());
            failures += Report(o, session, tags[i], session.Write(tags[i], words), false);
        }
        printf("\n");
    }
    // Two of the steps fail on purpose; anything else failing is a fault.
    return failures == 2 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    kelpra_set_echo(0);
    const Options o = ParseOptions(argc, argv);
    if (o.command.empty() || o.command == "help") {
        printf("%s", kUsage);
        return o.command.empty() ? 2 : 0;
    }
    kelpra_set_echo(o.line.verbose ? 1 : 0);
    if (o.command == "info") {
        PrintInfo(o.json);
        return 0;
    }
    if (o.command == "check")
        return RunCheck(o);
    if (o.command == "read")
        return RunRead(o);
    if (o.command == "write")
        return RunWrite(o);
    if (o.command == "poll")
        return RunPoll(o);
    if (o.command == "demo")
        return RunDemo(o);
    Usage("unknown command '" + o.command + "'");
}
