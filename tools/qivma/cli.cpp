#include "tools/qivma/cli.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <map>

#include <CLI/CLI.hpp>

#include "qivma_version.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tool_platform.h"

namespace {

std::string Lower(const std::string &text) {
    std::string lower = text;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string Joined(const std::vector<std::string> &names, const char *last = " and ") {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
    return text;
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

// ---- Values ----------------------------------------------------------------
// CLI11 converts each option through one of these: the text as typed in,
// the text it converts to the option's type out, or the whole message that
// refuses it.

using Conversion = std::function<std::string(std::string &text)>;

CLI::Validator Converts(Conversion conversion) {
    return CLI::Validator(std::move(conversion), "");
}

// Integers as ParseInteger reads them (0x, 0b, and a leading zero that is
// still decimal), handed on in decimal.
Conversion WholeNumber(const std::string &option, long long min, long long max,
                       const std::string &what) {
    return [=](std::string &text) -> std::string {
        long long value = 0;
        if (!ParseInteger(text, min, max, value))
            return option + " takes " + what + ", not '" + text + "'";
        text = std::to_string(value);
        return {};
    };
}

// A code for each of `names`, handed on as its number.
Conversion Named(const std::function<int(const std::string &)> &code, const std::string &refusal) {
    return [=](std::string &text) -> std::string {
        const int value = code(text);
        if (value < 0)
            return refusal + ", not '" + text + "'";
        text = std::to_string(value);
        return {};
    };
}

// A value of an enumeration that `parse` reads by its name.
template <typename Value>
Conversion ByName(bool (*parse)(const std::string &, Value &), const std::string &refusal) {
    return Named(
        [parse](const std::string &name) {
            Value value;
            return parse(name, value) ? static_cast<int>(value) : -1;
        },
        refusal);
}

std::string Baud(std::string &text) {
    long long baud = 0;
    if (ParseInteger(text, 65536, 1LL << 40, baud)) {
        return "--baud " + text +
               ": the host's rate field holds 16 bits, so the driver takes 50 to 65535 bit/s";
    }
    return WholeNumber("--baud", 50, 65535, "a rate from 50 to 65535 bit/s")(text);
}

std::string Timeout(std::string &text) {
    const std::string given = text;
    const std::string refused =
        WholeNumber("--timeout", 10, 600000, "milliseconds from 10 to 600000")(text);
    if (!refused.empty())
        return refused;
    const long ms = std::stol(text);
    if (ms % 10 == 0)
        return {};
    return "--timeout takes milliseconds in steps of 10, as the driver counts them: " +
           std::to_string(ms / 10 * 10) + " or " + std::to_string(ms / 10 * 10 + 10) + ", not " +
           given;
}

// The settings as --line gives them; the rate only when --baud does not.
std::string LineSettings(const std::string &text, const CLI::Option *baud) {
    SerialLineSettings settings = kFactoryLineSettings;
    bool rateGiven = false;
    std::string error;
    if (!ParseLineSettings(text, settings, &rateGiven, &error))
        return "--line " + error;
    if (rateGiven && baud->count() > 0)
        return "--line " + text + " and --baud both give the rate: one of them";
    return {};
}

void ApplyLineSettings(const std::string &text, SerialLineSettings &settings) {
    std::string error;
    ParseLineSettings(text, settings, nullptr, &error);
}

int DataTypeCode(const std::string &type) {
    if (type == "word")
        return QIV_TYPE_WORD;
    if (type == "dword")
        return QIV_TYPE_DWORD;
    if (type == "bit")
        return QIV_TYPE_BIT;
    return type.size() == 1 && type[0] >= '0' && type[0] <= '7' ? type[0] - '0' : -1;
}

const char kSimulatorElsewhere[] =
    "--sim-station and --sim-fault are for the built-in simulator, which the Windows tool does "
    "not have: give them to fpsim.exe instead (fpsim.exe --device COMx --station NN --fault "
    "KIND)";

// ---- Rules between options -------------------------------------------------
// What CLI11 keeps apart or asks for together, and what the tool says when a
// command line breaks it; the first broken rule in this order is said.

struct Rule {
    std::function<bool()> broken;
    std::function<UsageError()> says;
};

bool Given(const CLI::Option *option) {
    return option->count() > 0;
}

// The name CLI11 keeps from the help of a hidden option too.
std::string LongName(const CLI::Option *option) {
    return "--" + option->get_lnames().front();
}

class Rules {
  public:
    void Exclude(CLI::Option *a, CLI::Option *b, std::function<UsageError()> says) {
        a->excludes(b);
        rules_.push_back({[a, b] { return Given(a) && Given(b); }, std::move(says)});
    }
    void Need(CLI::Option *a, CLI::Option *b, std::function<UsageError()> says) {
        a->needs(b);
        rules_.push_back({[a, b] { return Given(a) && !Given(b); }, std::move(says)});
    }
    void Need(CLI::App *command, CLI::Option *option, std::function<UsageError()> says) {
        command->needs(option);
        rules_.push_back(
            {[command, option] { return command->parsed() && !Given(option); }, std::move(says)});
    }
    // A command that has no use for `options`: the message takes the
    // command's name and those given.
    void Refuse(CLI::App *command, const std::vector<CLI::Option *> &options,
                std::function<UsageError(const std::vector<std::string> &)> says) {
        for (CLI::Option *option : options)
            command->excludes(option);
        const auto given = [options] {
            std::vector<std::string> names;
            for (const CLI::Option *option : options) {
                if (Given(option))
                    names.push_back(LongName(option));
            }
            return names;
        };
        rules_.push_back({[command, given] { return command->parsed() && !given().empty(); },
                          [given, says] { return says(given()); }});
    }
    // A rule that CLI11 cannot state, checked once it has read the line.
    void Add(std::function<bool()> broken, std::function<UsageError()> says) {
        rules_.push_back({std::move(broken), std::move(says)});
    }

    // Throws the first broken rule's message.
    void Check() const {
        for (const Rule &rule : rules_) {
            if (rule.broken())
                throw rule.says();
        }
    }

  private:
    std::vector<Rule> rules_;
};

// ---- Names -----------------------------------------------------------------

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

// A value that starts with a minus: -1, -0x10, -.5, -inf, -nan.
bool LooksNegative(const std::string &text) {
    if (text.size() < 2 || text[0] != '-')
        return false;
    const std::string rest = Lower(text.substr(1));
    return isdigit(static_cast<unsigned char>(rest[0])) ||
           (rest[0] == '.' && rest.size() > 1 && isdigit(static_cast<unsigned char>(rest[1]))) ||
           rest == "inf" || rest == "infinity" || rest == "nan";
}

// CLI11 takes a word that starts with a minus and a letter or a dot for
// short options; these catch -inf, -nan and -.5 where values are given, and
// hand them back among the arguments (Arguments()).
const char *const kMinusWords[] = {"-i", "-I", "-n", "-N", "-."};

bool IsMinusWord(const CLI::Option *option) {
    const std::vector<std::string> &names = option->get_snames();
    return option->get_lnames().empty() && names.size() == 1 &&
           std::any_of(std::begin(kMinusWords), std::end(kMinusWords),
                       [&names](const char *word) { return names[0] == word + 1; });
}

// The option of `app` (not of its commands) that `name` ("--port", "-p")
// names, or null.
const CLI::Option *OptionNamed(const CLI::App *app, const std::string &name) {
    if (app == nullptr)
        return nullptr;
    for (const CLI::Option *option : app->get_options()) {
        if (IsMinusWord(option))
            continue;
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

std::vector<const CLI::App *> AllCommands(const CLI::App &app) {
    return app.get_subcommands([](const CLI::App *) { return true; });
}

UsageError UnknownOption(const CLI::App &app, const CLI::App *command, const std::string &name) {
    std::vector<std::string> owners;
    for (const CLI::App *other : AllCommands(app)) {
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

UsageError UnknownCommand(const CLI::App &app, const std::string &name) {
    std::vector<std::string> names;
    for (const CLI::App *command : AllCommands(app))
        names.push_back(command->get_name());
    const std::string near = Nearest(name, names);
    if (!near.empty())
        return UsageError("no command '" + name + "': did you mean '" + near + "'?");
    if (name.size() >= 7 && isxdigit(static_cast<unsigned char>(name[0])) &&
        isxdigit(static_cast<unsigned char>(name[1])) &&
        isalpha(static_cast<unsigned char>(name[2]))) {
        return UsageError("'" + name +
                          "' looks like an address: the command comes first, e.g. qivma read " +
                          name);
    }
    return UsageError("no command '" + name + "': the commands are " + Joined(names, " and "));
}

// What CLI11 left unread, said as the tool says it: the first word that is no
// command, or no option where it was given (before the command, or to it).
// `commandAt` is the command's place in argv, 0 without one; a word before it
// takes `command` away.
UsageError Unread(const CLI::App &app, const CLI::App *&command, int commandAt, int argc,
                  char **argv, const std::string &extras) {
    int at = 0;
    for (const std::string &word : app.remaining()) {
        while (++at < argc && word != argv[at]) {
        }
        if (word == "--" || LooksNegative(word))
            break;
        if (command == nullptr || at < commandAt)
            command = nullptr;
        if (word.size() > 1 && word[0] == '-') {
            const bool longName = word[1] == '-';
            return UnknownOption(app, command,
                                 longName ? word.substr(0, word.find('=')) : word.substr(0, 2));
        }
        if (command == nullptr)
            return UnknownCommand(app, word);
        break;
    }
    return UsageError(extras);
}

// ---- Commands --------------------------------------------------------------

// CLI11's help, without what the tool says where it refuses a command line:
// which options need or exclude which.
class Formatter : public CLI::Formatter {
  public:
    std::string make_option_opts(const CLI::Option *option) const override {
        if (option->get_type_size() == 0)
            return "";
        const bool many = option->get_expected_max() >= CLI::detail::expected_max_vector_size;
        return " " + option->get_type_name() + (many ? " ..." : "");
    }
};

// The addresses (and values) that a command takes, in the order given;
// Arguments() collects them once CLI11 is done.
CLI::Option *AddArguments(CLI::App &command, const std::string &name,
                          std::vector<std::string> &words, const std::string &description) {
    // The hidden options go before the help flag: after the last group CLI11
    // would leave an empty line in the help for them.
    command.set_help_flag();
    for (const char *word : kMinusWords)
        command.add_option(word)->expected(0, 1)->group("");
    command.set_help_flag("-h,--help", "Print this help message and exit");
    // CLI11 ends a command at "--" once its arguments have their minimum: a
    // minimum that no command line reaches keeps them coming after it.
    return command.add_option(name, words, description)
        ->expected(1 << 30, CLI::detail::expected_max_vector_size)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

std::vector<std::string> Arguments(const CLI::App &app, const CLI::App &command,
                                   const CLI::Option *arguments) {
    std::vector<std::string> words;
    std::map<const CLI::Option *, size_t> taken;
    for (const CLI::Option *option : command.parse_order()) {
        if (option != arguments && !IsMinusWord(option))
            continue;
        const std::vector<std::string> &results = option->results();
        const size_t index = taken[option]++;
        std::string word = index < results.size() ? results[index] : "";
        if (option != arguments) {
            word = "-" + option->get_snames().front() + word;
            if (!LooksNegative(word))
                throw UnknownOption(app, &command, word.substr(0, 2));
        }
        words.push_back(word);
    }
    return words;
}

void AddTagOptions(CLI::App &command, TagOptions &t, bool withFormat) {
    command.add_option("--type", t.dataType, "word, dword or bit (default: from the address)")
        ->type_name("TYPE")
        ->transform(Converts(Named(DataTypeCode,
                                   "--type takes word, dword or bit (or a host "
                                   "type code 0 to 7)")));
    command
        .add_option("-c,--count", t.count,
                    "N elements from ADDRESS on, in as many frames as needed")
        ->type_name("N")
        ->transform(Converts(
            WholeNumber("--count", 1, 1000000, "a whole number of elements from 1 to 1000000")));
    if (!withFormat)
        return;
    command.add_option("-f,--format", t.format, "signed|unsigned|hex|bin|bcd|float|ascii")
        ->type_name("F")
        ->transform(
            Converts(ByName(ParseFormatName, "--format takes " + std::string(FormatNames()))));
    command
        .add_option("--word-order", t.wordOrder,
                    "low-first (as the controller keeps them) or high-first")
        ->type_name("ORDER")
        ->transform(Converts(
            ByName(ParseWordOrderName, "--word-order takes " + std::string(WordOrderNames()))));
}

// What each command is, runs and takes; the help lists them in this order.
struct Command {
    const char *name;
    int (*run)(const CommandLine &line);  // null: help
    std::string description;
    std::vector<std::string> examples;
    // Adds the command's own options; returns its arguments, if it takes any.
    std::function<CLI::Option *(CLI::App &command, CommandLine &line)> options;
};

std::vector<Command> CommandTable() {
    const std::string on = "--port " + std::string(ExamplePort()) + " ";
    const auto tagCommand = [](const char *name, const char *description, bool withFormat) {
        return [=](CLI::App &command, CommandLine &line) {
            CLI::Option *arguments = AddArguments(command, name, line.tag.arguments, description);
            AddTagOptions(command, line.tag, withFormat);
            return arguments;
        };
    };
    return {
        {"info", RunInfo, "the driver's information and banner", {"info", "info --json"}, nullptr},
        {"check",
         RunCheck,
         "how the driver takes an address, or why it refuses it",
         {"check 01E00101 21D0010", "check 01D00000 --count 100"},
         tagCommand("ADDRESS", "the addresses", false)},
        {"read",
         RunRead,
         "read tags",
         {on + "read 01D00100 01E00100", on + "read 01D00000 --count 100 --format hex",
          on + "read 01R0012A --count 3", on + "read 01E00200 --format float"},
         tagCommand("ADDRESS", "the tags' addresses", true)},
        {"write",
         RunWrite,
         "write ADDRESS VALUE pairs, or ADDRESS --count N and N values",
         {on + "write 01D00100 4660 01E00200 -123456", on + "write 01D00000 --count 3 7 8 9",
          on + "write 01R0012A --count 3 1 0 1", on + "write 01S0005 --format bcd 1234"},
         [=](CLI::App &command, CommandLine &line) {
             CLI::Option *arguments =
                 tagCommand("ARGUMENTS", "addresses and values", true)(command, line);
             command.add_flag("--allow-nonfinite", line.tag.allowNonfinite,
                              "let inf, -inf and nan be written as floats");
             return arguments;
         }},
        {"poll",
         RunPoll,
         "read again and again: a live table, a summary at the end",
         {on + "poll 01D00100 01E00100 --interval 500",
          on + "poll 01D00100 --for 60 --csv d100.csv"},
         [=](CLI::App &command, CommandLine &line) {
             CLI::Option *arguments =
                 tagCommand("ADDRESS", "the tags' addresses", true)(command, line);
             command
                 .add_option("--interval", line.poll.intervalMs,
                             "from one round's start to the next (1000)")
                 ->type_name("MS")
                 ->transform(Converts(
                     WholeNumber("--interval", 0, 3600000, "milliseconds from 0 to 3600000")));
             command
                 .add_option("--for", line.poll.rounds,
                             "N rounds, then the summary (default: until Ctrl-C)")
                 ->type_name("N")
                 ->transform(
                     Converts(WholeNumber("--for", 1, 100000000, "a number of rounds, 1 or more")));
             command
                 .add_option("--csv", line.poll.csvPath,
                             "append time, tag, address, value, status, ms")
                 ->type_name("FILE");
             return arguments;
         }},
        {"scan",
         RunScan,
         "find the stations that answer, FIRST-LAST (01-32)",
         {on + "scan", on + "scan 01-08 --register X0"},
         [](CLI::App &command, CommandLine &line) {
             command.add_option("RANGE", line.scan.range,
                                "stations as numbered, two decimal digits: 01-32 by default");
             command
                 .add_option("--register", line.scan.reg,
                             "the register each station is asked for (D0)")
                 ->type_name("REG");
             return nullptr;
         }},
        HasSimulator()
            ? Command{"demo",
                      RunDemo,
                      "reads and writes of every kind on the simulator, traced",
                      {"demo"},
                      nullptr}
            : Command{"demo",
                      RunDemo,
                      "reads and writes of every kind on fpsim.exe through --sim-port, traced",
                      {"demo --sim-port COM6"},
                      nullptr},
        {"help", nullptr, "this help, or a command's", {}, nullptr},
    };
}

// A command's help ends with its examples and the exit statuses.
CLI::App *AddCommand(CLI::App &app, const Command &entry) {
    CLI::App *command = app.add_subcommand(entry.name, entry.description);
    command->fallthrough();
    std::string footer;
    if (!entry.examples.empty()) {
        footer = "Examples:\n";
        for (const std::string &example : entry.examples)
            footer += "  qivma " + example + "\n";
    }
    command->footer(footer +
                    "Exit status: 0 done, 1 something asked for failed,\n2 the command line "
                    "cannot be followed.\n'qivma help' lists the line and output options.");
    return command;
}

// ---- The line and the output -----------------------------------------------

struct LineFlags {
    std::vector<CLI::Option *> options;  // in the help's order
    CLI::Option *port, *sim, *simPort, *simStation, *simFault, *simFaultEvery;
    CLI::Option *baud, *dataBits, *parity, *stopBits, *settings, *timeout;
    std::string settingsText;
};

void AddLineOptions(CLI::App &app, GlobalOptions &g, LineFlags &l) {
    const std::string port = ExamplePort();
    const auto add = [&](CLI::Option *option, const std::string &group = "Line") {
        option->group(group);
        l.options.push_back(option);
        return option;
    };
    // The options of the built-in simulator stay known where there is none,
    // so that their use gets a clear answer, but the help does not offer them;
    // likewise --sim-port where the simulator is built in.
    const std::string simGroup = HasSimulator() ? "Line" : "";
    const std::string simPortGroup = HasSimulator() ? "" : "Line";
    l.port = add(app.add_option("-p,--port", g.line.port,
                                "the serial port, e.g. " + port + ", or tcp://HOST:PORT\n(Linux)")
                     ->type_name("DEVICE"));
    l.sim = add(app.add_flag("--sim", g.sim.on,
                             HasSimulator() ? "use the built-in controller simulator as the port"
                                            : "talk to fpsim.exe through --sim-port (no built-in\n"
                                              "simulator on Windows)"));
    l.simPort = add(app.add_option("--sim-port", g.sim.port,
                                   "the COM port of a null-modem pair whose other end\n"
                                   "fpsim.exe serves (fpsim.exe --device COMx)")
                        ->type_name("COMn"),
                    simPortGroup);
    l.simStation = add(app.add_option("--sim-station", g.sim.stations,
                                      "a station it plays (repeat; default: 01 and those named)")
                           ->type_name("NN"),
                       simGroup);
    l.simFault = add(
        app.add_option("--sim-fault", g.sim.faults,
                       Wrapped("a fault of its next answer (repeat): " + SimulatorFaultNames(), 52))
            ->type_name("KIND"),
        simGroup);
    l.simFaultEvery = add(app.add_option("--sim-fault-every", g.sim.faultEvery,
                                         "N:KIND, that fault in every Nth answer after those\n"
                                         "(1:late:60 plays a late station)")
                              ->type_name("N:KIND"),
                          simGroup);
    l.baud = add(app.add_option("-b,--baud", g.line.settings.baudRate, "bit/s, 50 to 65535 (19200)")
                     ->type_name("N")
                     ->transform(Converts(Baud)));
    l.dataBits = add(app.add_option("--data-bits", g.line.settings.dataBits, "5 to 8 (8)")
                         ->type_name("N")
                         ->transform(Converts(WholeNumber("--data-bits", 5, 8, "5, 6, 7 or 8"))));
    l.parity = add(app.add_option("-P,--parity", g.line.settings.parity,
                                  "none, odd, even, mark or space, or n o e m s (odd)")
                       ->type_name("P")
                       ->transform(Converts(Named(ParityCode,
                                                  "--parity takes none, odd, even, mark or space "
                                                  "(or n, o, e, m, s)"))));
    l.stopBits =
        add(app.add_option("--stop-bits", g.line.settings.stopBits, "1, 1.5 or 2 (1)")
                ->type_name("S")
                ->transform(Converts(Named(StopBitsCode, "--stop-bits takes 1, 1.5 or 2"))));
    const CLI::Option *baud = l.baud;
    l.settings = add(app.add_option_function<std::string>(
                            "--line",
                            [&g, &l](const std::string &text) {
                                l.settingsText = text;
                                ApplyLineSettings(text, g.line.settings);
                            },
                            "data bits, parity and stop bits in one: 8O1, 7E2,\n"
                            "8N1 (with the rate: 9600-8E1)")
                         ->type_name("FORMAT")
                         ->check(Converts([baud](const std::string &text) {
                             return LineSettings(text, baud);
                         })));
    l.timeout = add(app.add_option("-t,--timeout", g.line.timeoutMs,
                                   "answer time-out, steps of 10 ms (default: the\n"
                                   "driver's 40, or what a slow line needs)")
                        ->type_name("MS")
                        ->transform(Converts(Timeout)));

    if (HasSimulator()) {
        l.simPort->check(Converts([](const std::string &) -> std::string {
            return "--sim-port is for the Windows tool, where fpsim.exe serves the far end of a "
                   "COM port pair; here --sim runs the built-in simulator itself";
        }));
        l.simStation->check(Converts([](const std::string &station) -> std::string {
            long long value = 0;
            if (station.size() == 2 && ParseInteger("0x" + station, 0, 255, value))
                return "";
            return "--sim-station takes two hexadecimal digits, e.g. 01, not '" + station + "'";
        }));
        l.simFault->check(Converts([](const std::string &fault) -> std::string {
            std::string error;
            return CheckSimulatorFault(fault, &error) ? "" : "--sim-fault: " + error;
        }));
        l.simFaultEvery->check(Converts([](const std::string &text) -> std::string {
            int every = 0;
            std::string error;
            return CheckSimulatorFaultEvery(text, &every, &error) ? ""
                                                                  : "--sim-fault-every " + error;
        }));
    } else {
        for (CLI::Option *option : {l.simStation, l.simFault, l.simFaultEvery})
            option->check(
                Converts([](const std::string &) -> std::string { return kSimulatorElsewhere; }));
    }
}

struct OutputFlags {
    CLI::Option *trace, *json, *jsonLines, *quiet, *verbose;
};

void AddOutputOptions(CLI::App &app, GlobalOptions &g, OutputFlags &o) {
    o.trace =
        app.add_flag("--trace", g.trace, "every frame on the line, attempts numbered and timed")
            ->group("Output");
    o.json = app.add_flag("-j,--json", "one JSON document per command")->group("Output");
    o.jsonLines =
        app.add_flag("--json-lines", "JSON Lines: one JSON object per line")->group("Output");
    o.quiet = app.add_flag("-q,--quiet", g.quiet,
                           "values only, one to a line (read, poll, scan: the\n"
                           "stations); failures still on stderr")
                  ->group("Output");
    o.verbose = app.add_flag("-v,--verbose", g.verbose,
                             "the time-out picked and the driver's log messages,\non stderr")
                    ->group("Output");
}

OutputMode ModeOf(const OutputFlags &o) {
    return Given(o.jsonLines) ? OutputMode::kJsonLines
           : Given(o.json)    ? OutputMode::kJson
                              : OutputMode::kText;
}

void AddRules(Rules &rules, const std::map<std::string, CLI::App *> &commands, const LineFlags &l,
              const OutputFlags &o) {
    rules.Exclude(o.json, o.jsonLines, [] {
        return UsageError(
            "--json and --json-lines exclude each other: one document, or one "
            "object per line");
    });
    // Every option is honoured by the command it is given to, or refused:
    // those that a command has no use for are named.
    std::vector<CLI::Option *> lineAndTrace = l.options;
    lineAndTrace.insert(lineAndTrace.end(), {o.trace, o.quiet});
    for (const char *name : {"info", "check"}) {
        rules.Refuse(commands.at(name), lineAndTrace,
                     [name](const std::vector<std::string> &unused) {
                         return UsageError(std::string(name) + " talks to no controller, so " +
                                           Joined(unused) + (unused.size() == 1 ? " does" : " do") +
                                           " not apply to it");
                     });
    }
    rules.Refuse(commands.at("demo"), {l.port, l.simStation, o.json, o.jsonLines, o.quiet},
                 [](const std::vector<std::string> &unused) {
                     return UsageError(
                         "demo plays its own steps on the simulator's station 01, as "
                         "text: " +
                         Joined(unused) + (unused.size() == 1 ? " does" : " do") +
                         " not apply to it (read, write and poll take " +
                         (unused.size() == 1 ? "it)" : "them)"));
                 });
    for (CLI::Option *output : {o.json, o.jsonLines}) {
        rules.Exclude(o.quiet, output, [] {
            return UsageError("--quiet prints values alone and --json documents: one or the other");
        });
    }
    rules.Exclude(o.quiet, o.trace, [] {
        return UsageError("--quiet prints values alone and --trace every frame: one or the other");
    });
    for (const auto &[option, what] :
         {std::pair<CLI::Option *, const char *>{l.dataBits, "data bits"},
          {l.parity, "parity"},
          {l.stopBits, "stop bits"}}) {
        const std::string *text = &l.settingsText;
        rules.Exclude(l.settings, option, [text, what = std::string(what)] {
            return UsageError("--line " + *text + " and --" + what + " both set the " + what +
                              ": one of them");
        });
    }
    if (!HasSimulator()) {
        const CLI::App *demo = commands.at("demo");
        const CLI::Option *sim = l.sim, *simPort = l.simPort;
        rules.Add([=] { return Given(simPort) && !Given(sim) && !demo->parsed(); },
                  [] { return UsageError("--sim-port goes with --sim (or with demo)"); });
        const auto noSimPort = [] {
            return UsageError(
                "no --sim-port: the Windows tool has no built-in simulator; its simulator is "
                "fpsim.exe at the far end of a COM port, given with --sim-port COMn",
                {"join two virtual COM ports as a null-modem pair (e.g. COM6 and COM7)",
                 "start 'fpsim.exe --device COM7' on one",
                 "run 'qivma --sim --sim-port COM6 ...' or 'qivma demo --sim-port COM6' on the "
                 "other",
                 "docs/HOSTS.md, \"Testing a host without a controller\", shows the steps"});
        };
        rules.Need(l.sim, l.simPort, noSimPort);
        rules.Need(commands.at("demo"), l.simPort, noSimPort);
    }
    rules.Exclude(l.sim, l.port, [] {
        return UsageError("--sim and --port exclude each other: the simulator is the port");
    });
    if (HasSimulator()) {
        for (CLI::Option *option : {l.simStation, l.simFault, l.simFaultEvery})
            rules.Need(option, l.sim,
                       [] { return UsageError("--sim-station and --sim-fault go with --sim"); });
    }
}

int PrintHelp(CLI::App &app, const std::string &topic) {
    if (topic.empty()) {
        // app.help() would show the help of the command "help" itself.
        printf("%s",
               app.get_formatter()->make_help(&app, "qivma", CLI::AppFormatMode::Normal).c_str());
        return kExitDone;
    }
    for (const CLI::App *command : AllCommands(app)) {
        if (command->get_name() == topic) {
            printf("%s", command->help("qivma").c_str());
            return kExitDone;
        }
    }
    throw UsageError("help: no command '" + topic + "'");
}

// A validator's message is the whole of what the tool says; CLI11 puts the
// option's name before it.
std::string ValidatorMessage(const CLI::ValidationError &error) {
    const std::string text = error.what();
    const size_t colon = text.find(": ");
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

}  // namespace

int ParseCommandLine(int argc, char **argv, CommandLine &line) {
    CLI::App app(
        "qivma talks to FP-class controllers over MEWTOCOL-COM, through the qivma "
        "driver as a host application does.",
        "qivma");
    app.set_version_flag("--version", std::string("qivma ") + QIVMA_VERSION_STRING);
    app.formatter(std::make_shared<Formatter>());
    app.get_formatter()->column_width(26);
    app.fallthrough();
    // One command: "help read" names the command that help is asked for.
    app.require_subcommand(0, 1);
    LineFlags lineOptions;
    OutputFlags outputOptions;
    AddLineOptions(app, line.global, lineOptions);
    AddOutputOptions(app, line.global, outputOptions);

    const std::vector<Command> table = CommandTable();
    std::map<std::string, CLI::App *> commands;
    std::map<const CLI::App *, CLI::Option *> arguments;
    std::map<const CLI::App *, const Command *> entries;
    std::string helpTopic;
    int commandAt = 0;
    for (const Command &entry : table) {
        CLI::App *command = AddCommand(app, entry);
        commands[entry.name] = command;
        entries[command] = &entry;
        arguments[command] = entry.options ? entry.options(*command, line) : nullptr;
        command->preparse_callback(
            [&commandAt, argc](size_t left) { commandAt = argc - 1 - static_cast<int>(left); });
    }
    commands.at("help")->add_option("COMMAND", helpTopic, "the command");
    // After the commands, which would take it over otherwise.
    app.footer(Footer());
    Rules rules;
    AddRules(rules, commands, lineOptions, outputOptions);

    const auto refuse = [&](const UsageError &error, const CLI::App *command) {
        PrintUsageError(ModeOf(outputOptions), command == nullptr ? "" : command->get_name(),
                        error);
        return kExitUsage;
    };
    const auto named = [&app]() -> const CLI::App * {
        return app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
    };
    try {
        try {
            app.parse(argc, argv);
        } catch (const CLI::CallForHelp &) {
            // "qivma read --help" shows read's help: CLI11 passes it to the command.
            printf("%s", app.help().c_str());
            return kExitDone;
        } catch (const CLI::CallForVersion &version) {
            printf("%s\n", version.what());
            return kExitDone;
        } catch (const CLI::ValidationError &error) {
            return refuse(UsageError(ValidatorMessage(error)), named());
        } catch (const CLI::ExtrasError &error) {
            const CLI::App *command = named();
            const UsageError unread = Unread(app, command, commandAt, argc, argv, error.what());
            return refuse(unread, command);
        } catch (const CLI::ExcludesError &error) {
            rules.Check();
            return refuse(UsageError(error.what()), named());
        } catch (const CLI::RequiresError &error) {
            rules.Check();
            return refuse(UsageError(error.what()), named());
        } catch (const CLI::ParseError &error) {
            return refuse(UsageError(error.what()), named());
        }
        const CLI::App *command = named();
        if (command == nullptr) {
            std::vector<std::string> names;
            for (const Command &entry : table) {
                if (entry.run != nullptr)
                    names.push_back(entry.name);
            }
            return refuse(UsageError("a command is needed: " + Joined(names, ", ")), nullptr);
        }
        const Command &entry = *entries.at(command);
        line.command = entry.name;
        line.run = entry.run;
        line.global.output = ModeOf(outputOptions);
        if (line.run == nullptr)
            return PrintHelp(app, helpTopic);
        rules.Check();
        if (const CLI::Option *given = arguments.at(command))
            line.tag.arguments = Arguments(app, *command, given);
    } catch (const UsageError &error) {
        return refuse(error, named());
    }
    line.global.timeoutGiven = Given(lineOptions.timeout);
    return -1;
}
