#include "tools/qivma/cli.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>

#include <CLI/CLI.hpp>

#include "qivma_version.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tool_platform.h"

namespace {

// The options as they were typed; converted and checked once CLI11 is done.
struct Texts {
    std::string baud, dataBits, parity, stopBits, lineSettings, timeout;
    std::string count, format, wordOrder;
    std::string interval, rounds;
    std::string helpTopic;
    bool json = false, jsonLines = false;
};

long WholeNumber(const std::string &text, const std::string &option, long min, long max,
                 const std::string &what) {
    long long value = 0;
    if (!ParseInteger(text, min, max, value)) {
        throw UsageError(option + " takes " + what + ", not '" + text + "'");
    }
    return static_cast<long>(value);
}

std::string Footer() {
    const std::string port = ExamplePort();
    std::string text =
        "Addresses: station (two hexadecimal digits), device, number:\n"
        "  01D00100  data register 100          01E00100  32-bit value in D100 and D101\n"
        "  01R0012A  relay R12A (word 12, bit A)   01X0010   input word 10\n"
        "  01V0005, 01S0005  elapsed and set value of timer 5\n"
        "Values: decimal, 0x hexadecimal or 0b binary (a leading zero is still decimal);\n"
        "  floats for 32-bit tags with --format float. A value may start with a minus\n"
        "  (-1, -0x10, -inf); after -- everything is an address or a value.\n"
        "Output: values on stdout, failures and hints on stderr; -q the values alone;\n"
        "  --json prints one JSON document per command, --json-lines one JSON object\n"
        "  per line (per read while polling).\n"
        "Time-out: without --timeout, the driver's 40 ms, or what the command's\n"
        "  longest request and answer take at the line's rate and 15 ms more.\n"
        "\n"
        "Exit status: 0 done; 1 something asked for failed (no answer, an error answer,\n"
        "  a port that did not open, an address that check refuses); 2 the command line\n"
        "  cannot be followed (an unknown option or command, a value out of range, a\n"
        "  refused address, no port).\n"
        "\n"
        "Examples:\n"
        "  qivma --port " +
        port +
        " read 01D00100\n"
        "  qivma --port " +
        port + " --baud 9600 --timeout 100 poll 01D00100 01R0012A\n";
    if (HasSimulator()) {
        text +=
            "  qivma --sim --trace write 01D00100 4660\n"
            "  qivma --sim read 01D00000 --count 100 --format hex\n"
            "  qivma demo\n";
    } else {
        text +=
            "  qivma --sim --sim-port COM6 --trace write 01D00100 4660\n"
            "  qivma demo --sim-port COM6\n"
            "  (fpsim.exe --device COM7 serving COM7, joined to COM6 as a null-modem pair)\n";
    }
    return text + "\n'qivma help COMMAND' shows a command's own options.";
}

// Lines of at most `width` characters, broken between words.
std::string Wrapped(const std::string &text, size_t width) {
    std::string wrapped, line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            wrapped += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return wrapped + line;
}

void AddLineOptions(CLI::App &app, CommandLine &line, Texts &texts) {
    GlobalOptions &g = line.global;
    const std::string port = ExamplePort();
    app.add_option("-p,--port", g.line.port, "the serial port, e.g. " + port)
        ->type_name("DEVICE")
        ->group("Line");
    // The options of the built-in simulator stay known where there is none,
    // so that their use gets a clear answer, but the help does not offer them;
    // likewise --sim-port where the simulator is built in.
    const std::string simGroup = HasSimulator() ? "Line" : "";
    const std::string simPortGroup = HasSimulator() ? "" : "Line";
    app.add_flag("--sim", g.sim.on,
                 HasSimulator() ? "use the built-in controller simulator as the port"
                                : "talk to fpsim.exe through --sim-port (no built-in\n"
                                  "simulator on Windows)")
        ->group("Line");
    app.add_option("--sim-port", g.sim.port,
                   "the COM port of a null-modem pair whose other end\n"
                   "fpsim.exe serves (fpsim.exe --device COMx)")
        ->type_name("COMn")
        ->group(simPortGroup);
    app.add_option("--sim-station", g.sim.stations,
                   "a station it plays (repeat; default: 01 and those named)")
        ->type_name("NN")
        ->group(simGroup);
    app.add_option("--sim-fault", g.sim.faults,
                   Wrapped("a fault of its next answer (repeat): " + SimulatorFaultNames(), 52))
        ->type_name("KIND")
        ->group(simGroup);
    app.add_option("--sim-fault-every", g.sim.faultEvery,
                   "N:KIND, that fault in every Nth answer after those\n"
                   "(1:late:60 plays a late station)")
        ->type_name("N:KIND")
        ->group(simGroup);
    app.add_option("-b,--baud", texts.baud, "bit/s, 50 to 65535 (19200)")
        ->type_name("N")
        ->group("Line");
    app.add_option("--data-bits", texts.dataBits, "5 to 8 (8)")->type_name("N")->group("Line");
    app.add_option("-P,--parity", texts.parity,
                   "none, odd, even, mark or space, or n o e m s (odd)")
        ->type_name("P")
        ->group("Line");
    app.add_option("--stop-bits", texts.stopBits, "1, 1.5 or 2 (1)")->type_name("S")->group("Line");
    app.add_option("--line", texts.lineSettings,
                   "data bits, parity and stop bits in one: 8O1, 7E2,\n"
                   "8N1 (with the rate: 9600-8E1)")
        ->type_name("FORMAT")
        ->group("Line");
    app.add_option("-t,--timeout", texts.timeout,
                   "answer time-out, steps of 10 ms (default: the\n"
                   "driver's 40, or what a slow line needs)")
        ->type_name("MS")
        ->group("Line");
}

void AddOutputOptions(CLI::App &app, CommandLine &line, Texts &texts) {
    GlobalOptions &g = line.global;
    app.add_flag("--trace", g.trace, "every frame on the line, attempts numbered and timed")
        ->group("Output");
    app.add_flag("-j,--json", texts.json, "one JSON document per command")->group("Output");
    app.add_flag("--json-lines", texts.jsonLines, "JSON Lines: one JSON object per line")
        ->group("Output");
    app.add_flag("-q,--quiet", g.quiet,
                 "values only, one to a line (read, poll, scan: the\n"
                 "stations); failures still on stderr")
        ->group("Output");
    app.add_flag("-v,--verbose", g.verbose,
                 "the time-out picked and the driver's log messages,\non stderr")
        ->group("Output");
}

void AddTagOptions(CLI::App &command, CommandLine &line, Texts &texts, bool withFormat) {
    TagOptions &t = line.tag;
    command.add_option("--type", t.type, "word, dword or bit (default: from the address)")
        ->type_name("TYPE");
    command
        .add_option("-c,--count", texts.count,
                    "N elements from ADDRESS on, in as many frames as needed")
        ->type_name("N");
    if (!withFormat)
        return;
    command.add_option("-f,--format", texts.format, "signed|unsigned|hex|bin|bcd|float|ascii")
        ->type_name("F");
    command
        .add_option("--word-order", texts.wordOrder,
                    "low-first (as the controller keeps them) or high-first")
        ->type_name("ORDER");
}

// A command's help ends with its examples and the exit statuses.
CLI::App *Command(CLI::App &app, const char *name, const std::string &description,
                  const std::vector<std::string> &examples = {}) {
    CLI::App *command = app.add_subcommand(name, description);
    command->fallthrough();
    std::string footer;
    if (!examples.empty()) {
        footer = "Examples:\n";
        for (const std::string &example : examples)
            footer += "  qivma " + example + "\n";
    }
    command->footer(footer +
                    "Exit status: 0 done, 1 something asked for failed,\n2 the command line "
                    "cannot be followed.\n'qivma help' lists the line and output options.");
    return command;
}

void AddCommands(CLI::App &app, CommandLine &line, Texts &texts) {
    const std::string on = "--port " + std::string(ExamplePort()) + " ";
    Command(app, "info", "the driver's information and banner", {"info", "info --json"});

    CLI::App *check = Command(app, "check", "how the driver takes an address, or why it refuses it",
                              {"check 01E00101 21D0010", "check 01D00000 --count 100"});
    check->add_option("ADDRESS", line.tag.arguments, "the addresses");
    AddTagOptions(*check, line, texts, false);

    CLI::App *read =
        Command(app, "read", "read tags",
                {on + "read 01D00100 01E00100", on + "read 01D00000 --count 100 --format hex",
                 on + "read 01R0012A --count 3", on + "read 01E00200 --format float"});
    read->add_option("ADDRESS", line.tag.arguments, "the tags' addresses");
    AddTagOptions(*read, line, texts, true);

    CLI::App *write =
        Command(app, "write", "write ADDRESS VALUE pairs, or ADDRESS --count N and N values",
                {on + "write 01D00100 4660 01E00200 -123456", on + "write 01D00000 --count 3 7 8 9",
                 on + "write 01R0012A --count 3 1 0 1", on + "write 01S0005 --format bcd 1234"});
    write->add_option("ARGUMENTS", line.tag.arguments, "addresses and values");
    AddTagOptions(*write, line, texts, true);
    write->add_flag("--allow-nonfinite", line.tag.allowNonfinite,
                    "let inf, -inf and nan be written as floats");

    CLI::App *poll =
        Command(app, "poll", "read again and again: a live table, a summary at the end",
                {on + "poll 01D00100 01E00100 --interval 500",
                 on + "poll 01D00100 --for 60 --csv d100.csv"});
    poll->add_option("ADDRESS", line.tag.arguments, "the tags' addresses");
    AddTagOptions(*poll, line, texts, true);
    poll->add_option("--interval", texts.interval, "from one round's start to the next (1000)")
        ->type_name("MS");
    poll->add_option("--for", texts.rounds, "N rounds, then the summary (default: until Ctrl-C)")
        ->type_name("N");
    poll->add_option("--csv", line.poll.csvPath, "append time, tag, address, value, status, ms")
        ->type_name("FILE");

    CLI::App *scan = Command(app, "scan", "find the stations that answer, FIRST-LAST (01-32)",
                             {on + "scan", on + "scan 01-08 --register X0"});
    scan->add_option("RANGE", line.scan.range,
                     "stations as numbered, two decimal digits: 01-32 by default");
    scan->add_option("--register", line.scan.reg, "the register each station is asked for (D0)")
        ->type_name("REG");

    if (HasSimulator()) {
        Command(app, "demo", "reads and writes of every kind on the simulator, traced", {"demo"});
    } else {
        Command(app, "demo",
                "reads and writes of every kind on fpsim.exe through --sim-port, traced",
                {"demo --sim-port COM6"});
    }

    CLI::App *help = Command(app, "help", "this help, or a command's");
    help->add_option("COMMAND", texts.helpTopic, "the command");
}

std::string Lower(const std::string &text) {
    std::string lower = text;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

// A name or its first letter, in any case: odd, ODD, o.
uint16_t ParityCode(const std::string &text) {
    const char *names[] = {"none", "odd", "even", "mark", "space"};
    const std::string lower = Lower(text);
    for (uint16_t code = 0; code < 5; ++code) {
        if (lower == names[code] || (lower.size() == 1 && lower[0] == names[code][0]))
            return code;
    }
    throw UsageError("--parity takes none, odd, even, mark or space (or n, o, e, m, s), not '" +
                     text + "'");
}

// "8O1", "7e2", "8N1.5", or with the rate first: "9600-8E1".
void ReadLineSettings(const std::string &text, Texts &texts) {
    std::string format = text;
    const size_t dash = text.find_first_of("-,");
    if (dash != std::string::npos) {
        if (!texts.baud.empty())
            throw UsageError("--line " + text + " and --baud both give the rate: one of them");
        texts.baud = text.substr(0, dash);
        format = text.substr(dash + 1);
    }
    const bool shaped =
        format.size() >= 3 && format[0] >= '5' && format[0] <= '8' &&
        strchr("NOEMSnoems", format[1]) != nullptr &&
        (format.substr(2) == "1" || format.substr(2) == "1.5" || format.substr(2) == "2");
    if (!shaped) {
        throw UsageError(
            "--line takes data bits (5 to 8), parity (N, O, E, M or S) and stop "
            "bits (1, 1.5 or 2), e.g. 8O1 or 9600-7E2, not '" +
            text + "'");
    }
    for (const auto &[given, what] :
         {std::pair<std::string *, const char *>{&texts.dataBits, "data bits"},
          {&texts.parity, "parity"},
          {&texts.stopBits, "stop bits"}}) {
        if (!given->empty()) {
            throw UsageError("--line " + text + " and --" + std::string(what) + " both set the " +
                             what + ": one of them");
        }
    }
    texts.dataBits = format.substr(0, 1);
    texts.parity = format.substr(1, 1);
    texts.stopBits = format.substr(2);
}

uint16_t StopBitsCode(const std::string &text) {
    if (text == "1")
        return QIV_STOPBITS_ONE;
    if (text == "1.5")
        return QIV_STOPBITS_ONE_AND_HALF;
    if (text == "2")
        return QIV_STOPBITS_TWO;
    throw UsageError("--stop-bits takes 1, 1.5 or 2, not '" + text + "'");
}

int TimeoutMs(const std::string &text) {
    const long ms = WholeNumber(text, "--timeout", 10, 600000, "milliseconds from 10 to 600000");
    if (ms % 10 != 0) {
        throw UsageError(
            "--timeout takes milliseconds in steps of 10, as the driver counts "
            "them: " +
            std::to_string(ms / 10 * 10) + " or " + std::to_string(ms / 10 * 10 + 10) + ", not " +
            text);
    }
    return static_cast<int>(ms);
}

void ResolveLine(Texts texts, GlobalOptions &global) {
    LineOptions &line = global.line;
    const SimulatorOptions &sim = global.sim;
    if (!texts.lineSettings.empty())
        ReadLineSettings(texts.lineSettings, texts);
    if (!texts.baud.empty()) {
        long long baud = 0;
        if (ParseInteger(texts.baud, 65536, 1LL << 40, baud)) {
            throw UsageError("--baud " + texts.baud +
                             ": the host's rate field holds 16 bits, so the driver takes 50 to "
                             "65535 bit/s");
        }
        line.baud = static_cast<uint16_t>(
            WholeNumber(texts.baud, "--baud", 50, 65535, "a rate from 50 to 65535 bit/s"));
    }
    if (!texts.dataBits.empty()) {
        line.dataBits =
            static_cast<uint16_t>(WholeNumber(texts.dataBits, "--data-bits", 5, 8, "5, 6, 7 or 8"));
    }
    if (!texts.parity.empty())
        line.parity = ParityCode(texts.parity);
    if (!texts.stopBits.empty())
        line.stopBits = StopBitsCode(texts.stopBits);
    if (!texts.timeout.empty()) {
        line.timeoutMs = TimeoutMs(texts.timeout);
        global.timeoutGiven = true;
    }
    if (HasSimulator() && !sim.port.empty()) {
        throw UsageError(
            "--sim-port is for the Windows tool, where fpsim.exe serves the far end of a "
            "COM port pair; here --sim runs the built-in simulator itself");
    }
    if (!HasSimulator()) {
        if (!sim.on && !sim.port.empty())
            throw UsageError("--sim-port goes with --sim (or with demo)");
        if (sim.on && sim.port.empty())
            throw UsageError(
                "no --sim-port: the Windows tool has no built-in simulator; its simulator is "
                "fpsim.exe at the far end of a COM port, given with --sim-port COMn",
                {"join two virtual COM ports as a null-modem pair (e.g. COM6 and COM7)",
                 "start 'fpsim.exe --device COM7' on one",
                 "run 'qivma --sim --sim-port COM6 ...' or 'qivma demo --sim-port COM6' on the "
                 "other",
                 "docs/HOSTS.md, \"Testing a host without a controller\", shows the steps"});
        if (!sim.stations.empty() || !sim.faults.empty() || !sim.faultEvery.empty())
            throw UsageError(
                "--sim-station and --sim-fault are for the built-in simulator, "
                "which the Windows tool does not have: give them to fpsim.exe "
                "instead (fpsim.exe --device COMx --station NN --fault KIND)");
    }
    if (sim.on && !line.port.empty())
        throw UsageError("--sim and --port exclude each other: the simulator is the port");
    if (!sim.on && (!sim.stations.empty() || !sim.faults.empty() || !sim.faultEvery.empty()))
        throw UsageError("--sim-station and --sim-fault go with --sim");
    for (const std::string &station : sim.stations) {
        long long value = 0;
        if (station.size() != 2 || !ParseInteger("0x" + station, 0, 255, value))
            throw UsageError("--sim-station takes two hexadecimal digits, e.g. 01, not '" +
                             station + "'");
    }
    for (const std::string &fault : sim.faults) {
        std::string error;
        if (!CheckSimulatorFault(fault, &error))
            throw UsageError("--sim-fault: " + error);
    }
    int every = 0;
    std::string error;
    if (!sim.faultEvery.empty() && !CheckSimulatorFaultEvery(sim.faultEvery, &every, &error))
        throw UsageError("--sim-fault-every " + error);
}

void ResolveTag(const Texts &texts, TagOptions &tag) {
    if (!texts.count.empty()) {
        tag.count = static_cast<int>(WholeNumber(texts.count, "--count", 1, 1000000,
                                                 "a whole number of elements from 1 to 1000000"));
    }
    if (!texts.format.empty() && !ParseFormatName(texts.format, tag.format)) {
        throw UsageError("--format takes " + std::string(FormatNames()) + ", not '" + texts.format +
                         "'");
    }
    if (!texts.wordOrder.empty() && !ParseWordOrderName(texts.wordOrder, tag.wordOrder)) {
        throw UsageError("--word-order takes " + std::string(WordOrderNames()) + ", not '" +
                         texts.wordOrder + "'");
    }
    if (!tag.type.empty() && tag.type != "word" && tag.type != "dword" && tag.type != "bit" &&
        !(tag.type.size() == 1 && tag.type[0] >= '0' && tag.type[0] <= '7')) {
        throw UsageError("--type takes word, dword or bit (or a host type code 0 to 7), not '" +
                         tag.type + "'");
    }
}

void ResolvePoll(const Texts &texts, PollOptions &poll) {
    if (!texts.interval.empty()) {
        poll.intervalMs = static_cast<int>(WholeNumber(texts.interval, "--interval", 0, 3600000,
                                                       "milliseconds from 0 to 3600000"));
    }
    if (!texts.rounds.empty()) {
        poll.rounds = static_cast<int>(
            WholeNumber(texts.rounds, "--for", 1, 100000000, "a number of rounds, 1 or more"));
    }
}

const char *const kCommands[] = {"info", "check", "read", "write", "poll", "scan", "demo", "help"};

size_t EditDistance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The name nearest to `typed`, if it is near enough to be a slip of the
// fingers (or the same in another case); "" otherwise.
std::string Nearest(const std::string &typed, const std::vector<std::string> &names) {
    std::string best;
    size_t bestDistance = typed.size() <= 4 ? 1 : 2;
    for (const std::string &name : names) {
        const size_t distance = EditDistance(Lower(typed), Lower(name));
        if (distance <= bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

// The option of `app` (not of its commands) that `name` ("--port", "-p")
// names, or null.
const CLI::Option *OptionNamed(const CLI::App *app, const std::string &name) {
    if (app == nullptr)
        return nullptr;
    for (const CLI::Option *option : app->get_options()) {
        for (const std::string &l : option->get_lnames()) {
            if (name == "--" + l)
                return option;
        }
        for (const std::string &s : option->get_snames()) {
            if (name == "-" + s)
                return option;
        }
    }
    return nullptr;
}

std::vector<std::string> OptionNames(const CLI::App &app) {
    std::vector<std::string> names;
    for (const CLI::Option *option : app.get_options()) {
        for (const std::string &l : option->get_lnames())
            names.push_back("--" + l);
    }
    return names;
}

// A value that starts with a minus: -1, -0x10, -.5, -inf, -nan.
bool LooksNegative(const std::string &text) {
    if (text.size() < 2 || text[0] != '-')
        return false;
    const std::string rest = Lower(text.substr(1));
    return isdigit(static_cast<unsigned char>(rest[0])) ||
           (rest[0] == '.' && rest.size() > 1 && isdigit(static_cast<unsigned char>(rest[1]))) ||
           rest == "inf" || rest == "infinity" || rest == "nan";
}

std::string Joined(const std::vector<std::string> &names, const char *last = " and ") {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
    return text;
}

// The command line as CLI11 is to read it. Values that start with a minus,
// and everything after "--" once the command is named, are arguments: each
// goes in as a placeholder, which Restore turns back. Unknown commands and
// options are refused here, with the name that was probably meant.
class Arguments {
  public:
    // Throws UsageError; CommandName() is then the command named before.
    void Read(CLI::App &app, int argc, char **argv) {
        args_.push_back(argv[0]);
        CLI::App *command = nullptr;
        bool literal = false, value = false;
        for (int i = 1; i < argc; ++i) {
            const std::string token = argv[i];
            if (literal || (!value && LooksNegative(token))) {
                Protect(token);
            } else if (value) {
                args_.push_back(token);
                value = false;
            } else if (token == "--" && command != nullptr) {
                literal = true;
            } else if (token.size() > 1 && token[0] == '-' && token != "--") {
                const bool longName = token[1] == '-';
                const std::string name =
                    longName ? token.substr(0, token.find('=')) : token.substr(0, 2);
                const CLI::Option *option = OptionNamed(command, name);
                option = option != nullptr ? option : OptionNamed(&app, name);
                if (option == nullptr)
                    throw UnknownOption(app, command, name);
                const bool attached =
                    longName ? token.find('=') != std::string::npos : token.size() > 2;
                value = option->get_items_expected_max() > 0 && !attached;
                args_.push_back(token);
            } else {
                if (command == nullptr && token != "--") {
                    command = Command(app, token);
                    commandName_ = token;
                }
                args_.push_back(token);
            }
        }
        for (std::string &arg : args_)
            pointers_.push_back(arg.data());
    }

    const std::string &CommandName() const { return commandName_; }
    int argc() const { return static_cast<int>(pointers_.size()); }
    char **argv() { return pointers_.data(); }

    void Restore(std::string &text) const {
        if (text.size() > 1 && text[0] == kMark)
            text = protected_[static_cast<size_t>(atoi(text.c_str() + 1))];
    }
    // A message of CLI11's with the arguments as they were typed.
    std::string Restored(std::string text) const {
        for (size_t i = protected_.size(); i-- > 0;) {
            const std::string mark = kMark + std::to_string(i);
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, mark.size(), protected_[i]);
        }
        return text;
    }

  private:
    static constexpr char kMark = '\x01';

    void Protect(const std::string &token) {
        args_.push_back(kMark + std::to_string(protected_.size()));
        protected_.push_back(token);
    }

    static CLI::App *Command(CLI::App &app, const std::string &name) {
        for (CLI::App *command : app.get_subcommands([](CLI::App *) { return true; })) {
            if (command->get_name() == name)
                return command;
        }
        const std::vector<std::string> names(std::begin(kCommands), std::end(kCommands));
        const std::string near = Nearest(name, names);
        if (!near.empty())
            throw UsageError("no command '" + name + "': did you mean '" + near + "'?");
        if (name.size() >= 7 && isxdigit(static_cast<unsigned char>(name[0])) &&
            isxdigit(static_cast<unsigned char>(name[1])) &&
            isalpha(static_cast<unsigned char>(name[2]))) {
            throw UsageError("'" + name +
                             "' looks like an address: the command comes first, e.g. "
                             "qivma read " +
                             name);
        }
        throw UsageError("no command '" + name + "': the commands are " + Joined(names, " and "));
    }

    static UsageError UnknownOption(CLI::App &app, CLI::App *command, const std::string &name) {
        std::vector<std::string> owners;
        for (CLI::App *other : app.get_subcommands([](CLI::App *) { return true; })) {
            if (other != command && OptionNamed(other, name) != nullptr)
                owners.push_back(other->get_name());
        }
        const std::string where = command == nullptr ? "" : " of " + command->get_name();
        if (!owners.empty()) {
            return UsageError(
                name + " is an option of " + Joined(owners, " and ") +
                (command == nullptr ? ", after the command" : ", not of " + command->get_name()));
        }
        std::vector<std::string> names = OptionNames(app);
        if (command != nullptr) {
            for (const std::string &own : OptionNames(*command))
                names.push_back(own);
        }
        const std::string near = Nearest(name, names);
        return UsageError("no option " + name + where +
                          (near.empty() ? "" : ": did you mean " + near + "?"));
    }

    std::vector<std::string> args_;
    std::vector<std::string> protected_;
    std::vector<char *> pointers_;
    std::string commandName_;
};

// Every option is honoured by the command it is given to, or refused: those
// that a command has no use for are named.
void RefuseWhatDoesNotApply(const CLI::App &app, const CommandLine &line, const Texts &texts) {
    const auto given = [&app](const char *name) { return app.get_option(name)->count() > 0; };
    const std::string &c = line.command;
    std::vector<std::string> unused;
    const auto refuse = [&](std::initializer_list<const char *> names) {
        for (const char *name : names) {
            if (given(name))
                unused.push_back(name);
        }
    };
    if (c == "info" || c == "check") {
        refuse({"--port", "--sim", "--sim-port", "--sim-station", "--sim-fault",
                "--sim-fault-every", "--baud", "--data-bits", "--parity", "--stop-bits", "--line",
                "--timeout", "--trace", "--quiet"});
        if (!unused.empty()) {
            throw UsageError(c + " talks to no controller, so " + Joined(unused) +
                             (unused.size() == 1 ? " does" : " do") + " not apply to it");
        }
    }
    if (c == "demo") {
        refuse({"--port", "--sim-station", "--json", "--json-lines", "--quiet"});
        if (!unused.empty()) {
            throw UsageError("demo plays its own steps on the simulator's station 01, as text: " +
                             Joined(unused) + (unused.size() == 1 ? " does" : " do") +
                             " not apply to it (read, write and poll take " +
                             (unused.size() == 1 ? "it)" : "them)"));
        }
    }
    if (line.global.quiet) {
        if (texts.json || texts.jsonLines)
            throw UsageError("--quiet prints values alone and --json documents: one or the other");
        if (line.global.trace)
            throw UsageError(
                "--quiet prints values alone and --trace every frame: one or the other");
    }
}

int PrintHelp(CLI::App &app, const std::string &topic) {
    if (topic.empty()) {
        // app.help() would show the help of the command "help" itself.
        printf("%s",
               app.get_formatter()->make_help(&app, "qivma", CLI::AppFormatMode::Normal).c_str());
        return kExitDone;
    }
    for (CLI::App *command : app.get_subcommands([](CLI::App *) { return true; })) {
        if (command->get_name() == topic && command->get_group() != "") {
            printf("%s", command->help("qivma").c_str());
            return kExitDone;
        }
    }
    throw UsageError("help: no command '" + topic + "'");
}

}  // namespace

OutputMode OutputModeOf(int argc, char **argv) {
    OutputMode mode = OutputMode::kText;
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "--json") == 0)
            mode = OutputMode::kJson;
        else if (strcmp(argv[i], "--json-lines") == 0)
            mode = OutputMode::kJsonLines;
    }
    return mode;
}

int ParseCommandLine(int argc, char **argv, CommandLine &line) {
    CLI::App app(
        "qivma talks to FP-class controllers over MEWTOCOL-COM, through the qivma "
        "driver as a host application does.",
        "qivma");
    app.set_version_flag("--version", std::string("qivma ") + QIVMA_VERSION_STRING);
    app.get_formatter()->column_width(26);
    app.fallthrough();
    Texts texts;
    AddLineOptions(app, line, texts);
    AddOutputOptions(app, line, texts);
    AddCommands(app, line, texts);
    // After the commands, which would take it over otherwise.
    app.footer(Footer());
    Arguments arguments;
    try {
        arguments.Read(app, argc, argv);
    } catch (const UsageError &error) {
        PrintUsageError(OutputModeOf(argc, argv), arguments.CommandName(), error);
        return kExitUsage;
    }
    try {
        app.parse(arguments.argc(), arguments.argv());
    } catch (const CLI::CallForHelp &) {
        // "qivma read --help" shows read's help: CLI11 passes it to the command.
        printf("%s", app.help().c_str());
        return kExitDone;
    } catch (const CLI::CallForVersion &version) {
        printf("%s\n", version.what());
        return kExitDone;
    } catch (const CLI::ParseError &error) {
        const std::string command =
            app.get_subcommands().empty() ? "" : app.get_subcommands().front()->get_name();
        PrintUsageError(OutputModeOf(argc, argv), command,
                        UsageError(arguments.Restored(error.what())));
        return kExitUsage;
    }
    for (std::string &argument : line.tag.arguments)
        arguments.Restore(argument);
    arguments.Restore(line.scan.range);
    arguments.Restore(texts.helpTopic);
    if (app.get_subcommands().empty()) {
        PrintUsageError(
            OutputModeOf(argc, argv), "",
            UsageError("a command is needed: info, check, read, write, poll, scan, demo"));
        return kExitUsage;
    }
    line.command = app.get_subcommands().front()->get_name();
    if (texts.json && texts.jsonLines)
        throw UsageError(
            "--json and --json-lines exclude each other: one document, or one "
            "object per line");
    line.global.output = texts.jsonLines ? OutputMode::kJsonLines
                         : texts.json    ? OutputMode::kJson
                                         : OutputMode::kText;
    if (line.command == "help") {
        // "help read" reaches CLI11 as the command help, then the command read.
        const std::vector<CLI::App *> named = app.get_subcommands();
        return PrintHelp(app, named.size() > 1 ? named[1]->get_name() : texts.helpTopic);
    }
    // The demo always runs on the simulator: on Windows that is fpsim.exe,
    // so --sim-port is needed as with --sim.
    if (line.command == "demo" && !HasSimulator())
        line.global.sim.on = true;
    RefuseWhatDoesNotApply(app, line, texts);
    ResolveLine(texts, line.global);
    ResolveTag(texts, line.tag);
    ResolvePoll(texts, line.poll);
    return -1;
}
