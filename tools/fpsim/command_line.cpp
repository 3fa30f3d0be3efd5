#include "tools/fpsim/command_line.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tools/fpsim/controller.h"
#include "tools/fpsim/serial_line.h"

namespace fpsim {

namespace {

constexpr long long kLongestMs = 60000;  // a minute: longer than any master waits
constexpr long long kLowestRate = 50;
constexpr long long kHighestPacedRate = 921600;
constexpr long long kMostAnswersBetweenFaults = 1000000;
constexpr long long kHighestSeed = 4294967295LL;

// A start-up assignment and where it was given, checked once every option
// (the stations, the profile) is known.
struct PendingAssignment {
    std::string text;
    std::string where;  // "FILE:LINE" for an --init line, "" for --set
};

// A whole decimal number from `low` to `high`, and nothing else.
bool WholeNumber(const std::string &text, long long low, long long high, long long &value) {
    if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
        return false;
    char *end = nullptr;
    errno = 0;
    const long long parsed = strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

std::string Range(long long low, long long high, const char *unit) {
    return std::to_string(low) + " to " + std::to_string(high) + unit;
}

// Reads one line of `file` into `line`, its end of line included; false at
// the end of the file or on an error.
bool ReadLine(FILE *file, std::string &line) {
    line.clear();
    for (int c; (c = fgetc(file)) != EOF;) {
        line += static_cast<char>(c);
        if (c == '\n')
            return true;
    }
    return !line.empty();
}

std::string Trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

class Parser {
  public:
    Parser(CommandLine &line, CommandLineError &error) : line_(line), error_(error) {}

    bool Run(const std::vector<std::string> &args);

  private:
    using Handler = bool (Parser::*)(const std::string &value);
    struct OptionEntry {
        const char *name;
        const char *shortName;  // "" for none
        bool takesValue;
        Handler handle;
    };
    static const OptionEntry kOptions[];

    bool Fail(const std::string &what) {
        error_.what = what;
        return false;
    }
    // `text` as a number from `low` to `high`, or a refusal that names the
    // option and says what it takes.
    bool Number(const std::string &text, long long low, long long high, const char *unit,
                long long &value) {
        if (WholeNumber(text, low, high, value))
            return true;
        return Fail(option_ + " takes " + Range(low, high, unit) + ", not '" + text + "'");
    }
    bool Milliseconds(const std::string &text, int &ms) {
        long long value = 0;
        if (!Number(text, 0, kLongestMs, " ms", value))
            return false;
        ms = static_cast<int>(value);
        return true;
    }

    bool Link(const std::string &value);
    bool Device(const std::string &value);
    bool Baud(const std::string &value);
    bool DataBits(const std::string &value);
    bool Parity(const std::string &value);
    bool StopBits(const std::string &value);
    bool Delay(const std::string &value) { return Milliseconds(value, line_.options.scanDelayMs); }
    bool AnswerDelay(const std::string &value) {
        return Milliseconds(value, line_.options.answerDelayMs);
    }
    bool Chatter(const std::string &value);
    bool Station(const std::string &value);
    bool MemoryProfile(const std::string &value);
    bool NoEE(const std::string &) {
        line_.options.bus.answerEE = false;
        return true;
    }
    bool InputWriteError(const std::string &value);
    bool Zero(const std::string &) {
        line_.options.zeroMemory = true;
        return true;
    }
    bool Set(const std::string &value) {
        assignments_.push_back({value, ""});
        return true;
    }
    bool Init(const std::string &path);
    bool FaultOnce(const std::string &value);
    bool FaultEvery(const std::string &value);
    bool FaultRandom(const std::string &value);
    bool Verbose(const std::string &) {
        line_.options.verbose = true;
        return true;
    }
    bool NoLineCheck(const std::string &) {
        line_.options.judgeLine = false;
        return true;
    }
    bool Help(const std::string &) {
        line_.help = true;
        return true;
    }
    bool Version(const std::string &) {
        line_.version = true;
        return true;
    }

    // The checks that need every option: the line's kind against its
    // settings, and the assignments against the stations and the profile.
    bool Finish();

    CommandLine &line_;
    CommandLineError &error_;
    std::string option_;  // the option being read, for messages
    bool stationsGiven_ = false;
    std::vector<PendingAssignment> assignments_;
};

const Parser::OptionEntry Parser::kOptions[] = {
    {"--link", "", true, &Parser::Link},
    {"--device", "", true, &Parser::Device},
    {"--baud", "", true, &Parser::Baud},
    {"--data-bits", "", true, &Parser::DataBits},
    {"--parity", "", true, &Parser::Parity},
    {"--stop-bits", "", true, &Parser::StopBits},
    {"--delay", "", true, &Parser::Delay},
    {"--answer-delay", "", true, &Parser::AnswerDelay},
    {"--chatter", "", true, &Parser::Chatter},
    {"--no-line-check", "", false, &Parser::NoLineCheck},
    {"--station", "", true, &Parser::Station},
    {"--profile", "", true, &Parser::MemoryProfile},
    {"--no-ee", "", false, &Parser::NoEE},
    {"--x-write-error", "", true, &Parser::InputWriteError},
    {"--zero", "", false, &Parser::Zero},
    {"--set", "", true, &Parser::Set},
    {"--init", "", true, &Parser::Init},
    {"--fault", "", true, &Parser::FaultOnce},
    {"--fault-every", "", true, &Parser::FaultEvery},
    {"--fault-random", "", true, &Parser::FaultRandom},
    {"--verbose", "-v", false, &Parser::Verbose},
    {"--help", "-h", false, &Parser::Help},
    {"--version", "", false, &Parser::Version},
};

bool Parser::Run(const std::vector<std::string> &args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg.size() < 2 || arg[0] != '-')
            return Fail("unexpected argument '" + arg + "': fpsim takes options only");
        const size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        const OptionEntry *entry = nullptr;
        for (const OptionEntry &candidate : kOptions) {
            if (name == candidate.name || name == candidate.shortName)
                entry = &candidate;
        }
        if (entry == nullptr)
            return Fail("unknown option '" + name + "'");
        option_ = entry->name;
        std::string value;
        if (!entry->takesValue) {
            if (equals != std::string::npos)
                return Fail(option_ + " takes no value");
        } else if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return Fail(option_ + " needs a value");
        }
        if (!(this->*entry->handle)(value))
            return false;
        if (line_.help || line_.version)
            return true;
    }
    return Finish();
}

bool Parser::Link(const std::string &value) {
    if (value.empty())
        return Fail("--link takes the path of the link to publish");
    line_.options.linkPath = value;
    return true;
}

bool Parser::Device(const std::string &value) {
    if (value.empty())
        return Fail("--device takes the path of a serial device");
    line_.options.devicePath = value;
    return true;
}

bool Parser::Baud(const std::string &value) {
    long long baud = 0;
    if (!WholeNumber(value, 0, kHighestPacedRate, baud) || (baud != 0 && baud < kLowestRate)) {
        return Fail("--baud takes " + Range(kLowestRate, kHighestPacedRate, " bit/s") +
                    " (or 0, no pacing), not '" + value + "'");
    }
    line_.options.line.baud = static_cast<unsigned>(baud);
    return true;
}

bool Parser::DataBits(const std::string &value) {
    long long bits = 0;
    if (!Number(value, 5, 8, "", bits))
        return false;
    line_.options.line.dataBits = static_cast<int>(bits);
    return true;
}

bool Parser::Parity(const std::string &value) {
    const struct {
        const char *name;
        char code;
    } kParities[] = {{"none", 'N'}, {"odd", 'O'}, {"even", 'E'}, {"mark", 'M'}, {"space", 'S'}};
    for (const auto &parity : kParities) {
        if (value == parity.name) {
            line_.options.line.parity = parity.code;
            return true;
        }
    }
    return Fail("--parity takes none, odd, even, mark or space, not '" + value + "'");
}

bool Parser::StopBits(const std::string &value) {
    if (value != "1" && value != "1.5" && value != "2")
        return Fail("--stop-bits takes 1, 1.5 or 2, not '" + value + "'");
    line_.options.line.stopBits = atof(value.c_str());
    return true;
}

bool Parser::Chatter(const std::string &value) {
    const size_t colon = value.find(':');
    long long gap = 0;
    if ((colon != std::string::npos && value.substr(colon + 1) != "silent") ||
        !WholeNumber(value.substr(0, colon), 1, kLongestMs, gap)) {
        return Fail("--chatter takes GAP or GAP:silent, GAP " + Range(1, kLongestMs, " ms") +
                    ", not '" + value + "'");
    }
    line_.options.chatterGapMs = static_cast<int>(gap);
    line_.options.chatterAnswers = colon == std::string::npos;
    return true;
}

bool Parser::Station(const std::string &value) {
    std::string station;
    if (!ParseStation(value, station)) {
        return Fail(
            "--station takes two hexadecimal digits, 01 to FE but not EE (controllers "
            "are numbered 01 to 32), not '" +
            value + "'");
    }
    std::vector<std::string> &stations = line_.options.stations;
    if (!stationsGiven_)
        stations.clear();
    stationsGiven_ = true;
    for (const std::string &given : stations) {
        if (given == station)
            return Fail("--station " + station + " is given twice");
    }
    stations.push_back(station);
    return true;
}

bool Parser::MemoryProfile(const std::string &value) {
    if (value != "large" && value != "small")
        return Fail("--profile takes large or small, not '" + value + "'");
    line_.options.bus.profile = value == "large" ? Profile::kLarge : Profile::kSmall;
    return true;
}

bool Parser::InputWriteError(const std::string &value) {
    if (value != "60" && value != "61")
        return Fail("--x-write-error takes 60 or 61, not '" + value + "'");
    line_.options.bus.inputWriteError = atoi(value.c_str());
    return true;
}

bool Parser::Init(const std::string &path) {
    FILE *file = fopen(path.c_str(), "r");
    if (file == nullptr)
        return Fail("--init cannot read " + path + ": " + strerror(errno));
    int number = 0;
    errno = 0;
    for (std::string line; ReadLine(file, line);) {
        ++number;
        if (number == 1 && (line.rfind("\xFF\xFE", 0) == 0 || line.rfind("\xFE\xFF", 0) == 0)) {
            fclose(file);
            return Fail("--init " + path +
                        ": the file is UTF-16 text; save it as UTF-8 (or plain ASCII)");
        }
        // A byte-order mark, as some editors put at the start of UTF-8 text.
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        line = Trimmed(line.substr(0, line.find_first_of("#\n")));
        if (!line.empty())
            assignments_.push_back({line, path + ":" + std::to_string(number)});
    }
    const int readError = ferror(file) ? errno : 0;
    fclose(file);
    if (readError != 0)
        return Fail("--init cannot read " + path + ": " + strerror(readError));
    return true;
}

bool Parser::FaultOnce(const std::string &value) {
    Fault fault;
    std::string why;
    if (!ParseFault(value, fault, &why))
        return Fail("--fault: " + why);
    line_.onceFaults.push_back(fault);
    return true;
}

bool Parser::FaultEvery(const std::string &value) {
    const size_t colon = value.find(':');
    long long n = 0;
    if (colon == std::string::npos ||
        !WholeNumber(value.substr(0, colon), 1, kMostAnswersBetweenFaults, n)) {
        return Fail("--fault-every takes N:KIND, N " + Range(1, kMostAnswersBetweenFaults, "") +
                    ", not '" + value + "'");
    }
    std::string why;
    if (!ParseFault(value.substr(colon + 1), line_.everyFault, &why))
        return Fail("--fault-every: " + why);
    line_.everyN = static_cast<int>(n);
    return true;
}

bool Parser::FaultRandom(const std::string &value) {
    const size_t colon = value.find(':');
    const std::string chance = value.substr(0, colon);
    char *end = nullptr;
    const double probability = strtod(chance.c_str(), &end);
    long long seed = line_.seed;
    if (chance.empty() || *end != '\0' || !(probability > 0 && probability <= 1) ||
        (colon != std::string::npos &&
         !WholeNumber(value.substr(colon + 1), 0, kHighestSeed, seed))) {
        return Fail("--fault-random takes P or P:SEED, 0 < P <= 1, SEED " +
                    Range(0, kHighestSeed, "") + ", not '" + value + "'");
    }
    line_.probability = probability;
    line_.seed = static_cast<uint32_t>(seed);
    return true;
}

bool Parser::Finish() {
    Options &options = line_.options;
    if (!PseudoTerminalsOffered()) {
        if (!options.linkPath.empty()) {
            return Fail(
                "--link is not available on Windows: fpsim creates no pseudo-terminal there; "
                "serve a COM port with --device COMn");
        }
        if (options.devicePath.empty()) {
            return Fail(
                "no COM port to serve: give --device COMn, one of a pair of "
                "virtual COM ports joined like a null-modem cable (the host opens the other)");
        }
    }
    if (!options.devicePath.empty() && !options.linkPath.empty()) {
        return Fail(
            "--link and --device do not go together: --link publishes the pseudo-terminal that "
            "fpsim creates, and with --device the driver opens the far end of the device's "
            "line, a path that fpsim cannot know");
    }
    if (!options.devicePath.empty() && !DeviceTakesRate(options.line.baud)) {
        return Fail("--baud with --device takes " + DeviceRates() +
                    " (or 0, the device's own rate), not '" + std::to_string(options.line.baud) +
                    "'");
    }
    // The same code as at start-up, on memory of the same stations and
    // profile, so that whatever passes here also applies there. Each one is
    // checked, and every refusal kept: a file's bad lines are all reported.
    Bus trial(options.stations, options.bus);
    bool refused = false;
    for (PendingAssignment &assignment : assignments_) {
        const size_t colon = assignment.text.find(':');
        if (colon != std::string::npos) {
            for (size_t i = 0; i < colon; ++i)
                assignment.text[i] =
                    static_cast<char>(toupper(static_cast<unsigned char>(assignment.text[i])));
        }
        std::string why;
        if (trial.Assign(assignment.text, &why)) {
            options.assignments.push_back(assignment.text);
            continue;
        }
        const std::string what = assignment.where.empty() ? "--set " + why : why;
        if (!refused) {
            error_.where = assignment.where;
            error_.what = what;
        } else {
            error_.later.push_back({assignment.where, what});
        }
        refused = true;
    }
    return !refused;
}

}  // namespace

bool ParseStation(const std::string &text, std::string &station) {
    if (text.size() != 2 || !isxdigit(static_cast<unsigned char>(text[0])) ||
        !isxdigit(static_cast<unsigned char>(text[1]))) {
        return false;
    }
    const std::string upper = {static_cast<char>(toupper(text[0])),
                               static_cast<char>(toupper(text[1]))};
    if (upper == "00" || upper == "EE" || upper == "FF")
        return false;
    station = upper;
    return true;
}

bool ParseCommandLine(const std::vector<std::string> &args, CommandLine &line,
                      CommandLineError &error) {
    return Parser(line, error).Run(args);
}

}  // namespace fpsim
