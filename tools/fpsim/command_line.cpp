#include "tools/fpsim/command_line.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <CLI/CLI.hpp>

#include "tools/fpsim/controller.h"
#include "tools/fpsim/serial_line.h"

namespace fpsim {

namespace {

constexpr long long kLongestMs = 60000;  // a minute: longer than any master waits
constexpr long long kLowestRate = 50;
constexpr long long kHighestPacedRate = 921600;
constexpr long long kMostAnswersBetweenFaults = 1000000;
constexpr long long kHighestSeed = 4294967295LL;

// The help's opening and its line options differ where fpsim creates
// pseudo-terminals (POSIX) and where it serves COM ports only (Windows).
const char kPosixDescription[] =
    "Simulates FP3/FP5/FP10-class controllers answering MEWTOCOL-COM on a serial\n"
    "line. By default it creates a pseudo-terminal and prints the path that the\n"
    "driver opens; it runs until stopped (Ctrl-C, SIGTERM, SIGHUP), then withdraws\n"
    "its link and closes the line. Options take their value as the next argument\n"
    "or after '=' (--baud=9600). Exit status: 0 stopped, 1 the line could not be\n"
    "opened (or its link is served by another fpsim), 2 the command line cannot be\n"
    "followed.\n"
    "\n"
    "On a pseudo-terminal the controllers hear a master only at their own line\n"
    "settings, as far as the master's end shows them: a master at another rate\n"
    "(with --baud) or parity is heard as garbage and answered nothing. Even parity\n"
    "and none look alike there, and the character size does not show; on a device\n"
    "nothing shows and every master is heard (see --no-line-check).\n";

const char kWindowsDescription[] =
    "Simulates FP3/FP5/FP10-class controllers answering MEWTOCOL-COM on a serial\n"
    "line. On Windows it serves the COM port given with --device: one of a pair of\n"
    "virtual COM ports joined like a null-modem cable, whose other port the host\n"
    "opens, or a real port cabled to the host. It runs until stopped (Ctrl-C,\n"
    "Ctrl-Break, its console closed), then closes the port. Options take their\n"
    "value as the next argument or after '=' (--baud=9600). Exit status: 0\n"
    "stopped, 1 the port could not be opened, 2 the command line cannot be\n"
    "followed.\n"
    "\n"
    "A COM port shows nothing of the settings of the host's end: every master is\n"
    "heard, whatever its rate and parity (only fpsim on Linux, on a pseudo-\n"
    "terminal, hears a master at other settings as garbage).\n";

// A value that cannot be followed, thrown from the option's callback: CLI11
// reads each option as it meets it, so the first refusal on the line ends
// the reading, and assignments from --set and --init keep their order.
struct Refusal {
    std::string what;
};

[[noreturn]] void Refuse(const std::string &what) {
    throw Refusal{what};
}

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

// `text` as a number from `low` to `high`, or a refusal that names the
// option and says what it takes.
long long Number(const char *option, const std::string &text, long long low, long long high,
                 const char *unit) {
    long long value = 0;
    if (!WholeNumber(text, low, high, value))
        Refuse(std::string(option) + " takes " + Range(low, high, unit) + ", not '" + text + "'");
    return value;
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

class Reader {
  public:
    explicit Reader(CommandLine &line) : line_(line) {}

    void AddOptions(CLI::App &app);
    // The checks that need every option: the line's kind against its
    // settings, and the assignments against the stations and the profile.
    bool Finish(CommandLineError &error);

  private:
    using Handler = void (Reader::*)(const std::string &value);

    CLI::Option *Valued(CLI::App &app, const char *name, const char *shown, Handler handle,
                        const char *group, const char *help) {
        return app
            .add_option_function<std::string>(
                name, [this, handle](const std::string &value) { (this->*handle)(value); }, help)
            ->type_name(shown)
            ->group(group)
            ->trigger_on_parse();
    }
    CLI::Option *Flag(CLI::App &app, const char *name, std::function<void()> set, const char *group,
                      const char *help) {
        return app.add_flag_callback(name, std::move(set), help)
            ->disable_flag_override()
            ->group(group)
            ->trigger_on_parse();
    }

    void Link(const std::string &value);
    void Device(const std::string &value);
    void Tcp(const std::string &value);
    void Baud(const std::string &value);
    void DataBits(const std::string &value) {
        line_.options.line.dataBits = static_cast<int>(Number("--data-bits", value, 5, 8, ""));
    }
    void Parity(const std::string &value);
    void StopBits(const std::string &value);
    void Delay(const std::string &value) {
        line_.options.scanDelayMs =
            static_cast<int>(Number("--delay", value, 0, kLongestMs, " ms"));
    }
    void AnswerDelay(const std::string &value) {
        line_.options.answerDelayMs =
            static_cast<int>(Number("--answer-delay", value, 0, kLongestMs, " ms"));
    }
    void Chatter(const std::string &value);
    void Station(const std::string &value);
    void MemoryProfile(const std::string &value);
    void InputWriteError(const std::string &value);
    void Set(const std::string &value) { assignments_.push_back({value, ""}); }
    void Init(const std::string &path);
    void FaultOnce(const std::string &value);
    void FaultEvery(const std::string &value);
    void FaultRandom(const std::string &value);

    CommandLine &line_;
    bool stationsGiven_ = false;
    std::vector<PendingAssignment> assignments_;
};

void Reader::AddOptions(CLI::App &app) {
    const bool posix = PseudoTerminalsOffered();
    const char *line = "line";
    if (posix) {
        Valued(app, "--link", "PATH", &Reader::Link, line,
               "publish the pseudo-terminal as a symbolic link PATH;\n"
               "refused while another fpsim serves PATH");
        Valued(app, "--device", "PATH", &Reader::Device, line,
               "serve an existing serial device instead (no --link)");
        Valued(app, "--tcp", "PORT", &Reader::Tcp, line,
               "play an Ethernet unit instead: listen on 127.0.0.1:PORT\n"
               "(0: a free port) for one master at a time; a second\n"
               "connection is closed at once");
        Valued(app, "--baud", "N", &Reader::Baud, line,
               "pace every character at N bit/s, 50 to 921600, and\n"
               "hear a master at that rate only; with --device also\n"
               "the device's rate: 1200, 2400, 4800, 9600, 19200,\n"
               "38400, 57600, 115200 (default 0: no pacing, any rate)");
    } else {
        Valued(app, "--device", "COMn", &Reader::Device, line, "the COM port to serve (required)");
        Valued(app, "--link", "PATH", &Reader::Link, line,
               "not on Windows: fpsim creates no pseudo-terminal here,\n"
               "so there is none to publish (Linux only)");
        Valued(app, "--baud", "N", &Reader::Baud, line,
               "pace every character at N bit/s, 50 to 921600, and set\n"
               "the port to that rate (default 0: no pacing, the\n"
               "port's own rate)");
    }
    Valued(app, "--data-bits", "N", &Reader::DataBits, line,
           "data bits per character, 5 to 8 (default 8)");
    Valued(app, "--parity", "P", &Reader::Parity, line, "none|odd|even|mark|space (default odd)");
    Valued(app, "--stop-bits", "S", &Reader::StopBits, line, "1|1.5|2 (default 1)");
    Flag(
        app, "--no-line-check", [this] { line_.options.judgeLine = false; }, line,
        "hear a master whatever its rate and parity");
    Valued(app, "--delay", "MS", &Reader::Delay, line,
           "scan time before each answer, 0 to 60000 (default 2)");
    Valued(app, "--answer-delay", "MS", &Reader::AnswerDelay, line,
           "delay every answer by MS more, 0 to 60000 (default 0);\n"
           "requests that come meanwhile are executed on arrival\n"
           "and answered in turn");
    Valued(app, "--chatter", "GAP[:silent]", &Reader::Chatter, line,
           "a noise byte '~' every GAP ms (1 to 60000) between\n"
           "answers; with :silent no station answers at all");

    const char *controllers = "controllers";
    Valued(app, "--station", "NN", &Reader::Station, controllers,
           "a station on the line: two hexadecimal digits, 01 to FE\n"
           "but not EE (controllers are numbered 01 to 32); repeat\n"
           "for several (default 01)");
    Valued(app, "--profile", "large|small", &Reader::MemoryProfile, controllers,
           "FP10-class (default) or FP3-class memory bounds");
    Flag(
        app, "--no-ee", [this] { line_.options.bus.answerEE = false; }, controllers,
        "the first station does not answer station EE");
    Valued(app, "--x-write-error", "60|61", &Reader::InputWriteError, controllers,
           "the error a write to the inputs X gets (default 61)");
    Flag(
        app, "--zero", [this] { line_.options.zeroMemory = true; }, controllers,
        "start with zeroed memory instead of the pattern\n"
        "(DT n = n, FL n = n+0x4000, LD n = n+0x6000,\n"
        "SR n = n+0x7000, SV n = 100+n, EV n = n, contact\n"
        "words X/Y/R/L/T n = 0x1000/2000/3000/4000/5000+n)");
    Valued(app, "--set", "[NN:]AREA N=V", &Reader::Set, controllers,
           "set a word at start: DT100=1234, FL7=0x10, LD3=5,\n"
           "SV5=-1, SR4=2, R3=0xFFFF (areas DT D FL F LD SR SV\n"
           "EV X Y R L T C); NN: one station only");
    Valued(app, "--init", "FILE", &Reader::Init, controllers,
           "a file of such assignments, one per line, blanks\n"
           "around '=' allowed (# comments); every bad line is\n"
           "reported as FILE:LINE");

    const char *faults = "faults";
    Valued(app, "--fault", "KIND", &Reader::FaultOnce, faults,
           "fault the next answer (repeat to queue more); KIND:\n"
           "no-answer, late[:MS], truncated[:N], corrupt,\n"
           "bad-bcc, wrong-station, error[:CODE], stray[:TEXT],\n"
           "double[:GAP], echo, noise[:MS], foreign[:MS]; MS and\n"
           "GAP 0 to 60000, N 0 to 1000, CODE 0 to 99; double\n"
           "sends the answer twice, GAP ms (default 0) apart;\n"
           "echo, noise and foreign put the request's echo, noise\n"
           "or another station's answer ahead of the answer");
    Valued(app, "--fault-every", "N:KIND", &Reader::FaultEvery, faults,
           "fault every Nth answer, N 1 to 1000000");
    Valued(app, "--fault-random", "P[:SEED]", &Reader::FaultRandom, faults,
           "fault answers with probability P (0 < P <= 1), of a\n"
           "kind drawn at random; SEED 0 to 4294967295 (default 1)");

    // Help and version end the reading where they stand, as they always have.
    const char *program = "program";
    const auto verbose = [this] { line_.options.verbose = true; };
    const auto help = [] { throw CLI::CallForHelp(); };
    const auto version = [] { throw CLI::CallForVersion(); };
    Flag(app, "--verbose", verbose, program, "print every frame received and sent");
    Flag(app, "--help", help, program, "this text");
    Flag(app, "--version", version, program, "fpsim's version");
    // The short forms, left out of the help as before.
    Flag(app, "-v", verbose, "", "");
    Flag(app, "-h", help, "", "");
}

void Reader::Link(const std::string &value) {
    if (value.empty())
        Refuse("--link takes the path of the link to publish");
    line_.options.linkPath = value;
}

void Reader::Device(const std::string &value) {
    if (value.empty())
        Refuse("--device takes the path of a serial device");
    line_.options.devicePath = value;
}

void Reader::Tcp(const std::string &value) {
    long long port = 0;
    if (!WholeNumber(value, 0, 65535, port))
        Refuse("--tcp takes a TCP port, 0 to 65535 (0: a free one), not '" + value + "'");
    line_.options.tcpPort = static_cast<int>(port);
}

void Reader::Baud(const std::string &value) {
    long long baud = 0;
    if (!WholeNumber(value, 0, kHighestPacedRate, baud) || (baud != 0 && baud < kLowestRate)) {
        Refuse("--baud takes " + Range(kLowestRate, kHighestPacedRate, " bit/s") +
               " (or 0, no pacing), not '" + value + "'");
    }
    line_.options.line.baud = static_cast<unsigned>(baud);
}

void Reader::Parity(const std::string &value) {
    const struct {
        const char *name;
        char code;
    } kParities[] = {{"none", 'N'}, {"odd", 'O'}, {"even", 'E'}, {"mark", 'M'}, {"space", 'S'}};
    for (const auto &parity : kParities) {
        if (value == parity.name) {
            line_.options.line.parity = parity.code;
            return;
        }
    }
    Refuse("--parity takes none, odd, even, mark or space, not '" + value + "'");
}

void Reader::StopBits(const std::string &value) {
    if (value != "1" && value != "1.5" && value != "2")
        Refuse("--stop-bits takes 1, 1.5 or 2, not '" + value + "'");
    line_.options.line.stopBits = atof(value.c_str());
}

void Reader::Chatter(const std::string &value) {
    const size_t colon = value.find(':');
    long long gap = 0;
    if ((colon != std::string::npos && value.substr(colon + 1) != "silent") ||
        !WholeNumber(value.substr(0, colon), 1, kLongestMs, gap)) {
        Refuse("--chatter takes GAP or GAP:silent, GAP " + Range(1, kLongestMs, " ms") + ", not '" +
               value + "'");
    }
    line_.options.chatterGapMs = static_cast<int>(gap);
    line_.options.chatterAnswers = colon == std::string::npos;
}

void Reader::Station(const std::string &value) {
    std::string station;
    if (!ParseStation(value, station)) {
        Refuse(
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
            Refuse("--station " + station + " is given twice");
    }
    stations.push_back(station);
}

void Reader::MemoryProfile(const std::string &value) {
    if (value != "large" && value != "small")
        Refuse("--profile takes large or small, not '" + value + "'");
    line_.options.bus.profile = value == "large" ? Profile::kLarge : Profile::kSmall;
}

void Reader::InputWriteError(const std::string &value) {
    if (value != "60" && value != "61")
        Refuse("--x-write-error takes 60 or 61, not '" + value + "'");
    line_.options.bus.inputWriteError = atoi(value.c_str());
}

void Reader::Init(const std::string &path) {
    FILE *file = fopen(path.c_str(), "r");
    if (file == nullptr)
        Refuse("--init cannot read " + path + ": " + strerror(errno));
    int number = 0;
    errno = 0;
    for (std::string line; ReadLine(file, line);) {
        ++number;
        if (number == 1 && (line.rfind("\xFF\xFE", 0) == 0 || line.rfind("\xFE\xFF", 0) == 0)) {
            fclose(file);
            Refuse("--init " + path +
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
        Refuse("--init cannot read " + path + ": " + strerror(readError));
}

void Reader::FaultOnce(const std::string &value) {
    Fault fault;
    std::string why;
    if (!ParseFault(value, fault, &why))
        Refuse("--fault: " + why);
    line_.onceFaults.push_back(fault);
}

void Reader::FaultEvery(const std::string &value) {
    const size_t colon = value.find(':');
    long long n = 0;
    if (colon == std::string::npos ||
        !WholeNumber(value.substr(0, colon), 1, kMostAnswersBetweenFaults, n)) {
        Refuse("--fault-every takes N:KIND, N " + Range(1, kMostAnswersBetweenFaults, "") +
               ", not '" + value + "'");
    }
    std::string why;
    if (!ParseFault(value.substr(colon + 1), line_.everyFault, &why))
        Refuse("--fault-every: " + why);
    line_.everyN = static_cast<int>(n);
}

void Reader::FaultRandom(const std::string &value) {
    const size_t colon = value.find(':');
    const std::string chance = value.substr(0, colon);
    char *end = nullptr;
    const double probability = strtod(chance.c_str(), &end);
    long long seed = line_.seed;
    if (chance.empty() || *end != '\0' || !(probability > 0 && probability <= 1) ||
        (colon != std::string::npos &&
         !WholeNumber(value.substr(colon + 1), 0, kHighestSeed, seed))) {
        Refuse("--fault-random takes P or P:SEED, 0 < P <= 1, SEED " + Range(0, kHighestSeed, "") +
               ", not '" + value + "'");
    }
    line_.probability = probability;
    line_.seed = static_cast<uint32_t>(seed);
}

bool Reader::Finish(CommandLineError &error) {
    Options &options = line_.options;
    try {
        if (!PseudoTerminalsOffered()) {
            if (!options.linkPath.empty()) {
                Refuse(
                    "--link is not available on Windows: fpsim creates no pseudo-terminal there; "
                    "serve a COM port with --device COMn");
            }
            if (options.devicePath.empty()) {
                Refuse(
                    "no COM port to serve: give --device COMn, one of a pair of "
                    "virtual COM ports joined like a null-modem cable (the host opens the other)");
            }
        }
        if (!options.devicePath.empty() && !options.linkPath.empty()) {
            Refuse(
                "--link and --device do not go together: --link publishes the pseudo-terminal "
                "that fpsim creates, and with --device the driver opens the far end of the "
                "device's line, a path that fpsim cannot know");
        }
        if (options.tcpPort >= 0 && (!options.devicePath.empty() || !options.linkPath.empty())) {
            Refuse(
                "--tcp goes without --link and --device: as an Ethernet unit fpsim serves a TCP "
                "port, not a pseudo-terminal or a device");
        }
        if (!options.devicePath.empty() && !DeviceTakesRate(options.line.baud)) {
            Refuse("--baud with --device takes " + DeviceRates() +
                   " (or 0, the device's own rate), not '" + std::to_string(options.line.baud) +
                   "'");
        }
    } catch (const Refusal &refusal) {
        error.what = refusal.what;
        return false;
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
            error.where = assignment.where;
            error.what = what;
        } else {
            error.later.push_back({assignment.where, what});
        }
        refused = true;
    }
    return !refused;
}

// What CLI11 refuses itself, in the words fpsim has always used.
std::string Explained(const CLI::App &app, const CLI::ParseError &error) {
    if (dynamic_cast<const CLI::ExtrasError *>(&error) != nullptr) {
        const std::string arg = app.remaining().front();
        if (arg.size() < 2 || arg[0] != '-')
            return "unexpected argument '" + arg + "': fpsim takes options only";
        return "unknown option '" +
               arg.substr(0, arg.rfind("--", 0) == 0 ? arg.find('=') : arg.npos) + "'";
    }
    if (dynamic_cast<const CLI::ArgumentMismatch *>(&error) != nullptr) {
        // CLI11 starts the message with the option's name, with or without
        // its dashes: a flag given a value, or an option without one.
        const std::string what = error.what();
        std::string name = what.substr(0, what.find_first_of(": "));
        name = name.rfind("-", 0) == 0 ? name : "--" + name;
        const CLI::Option *option = app.get_option_no_throw(name);
        if (option != nullptr)
            return name +
                   (option->get_items_expected_max() == 0 ? " takes no value" : " needs a value");
    }
    return error.what();
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
    // The name heads the usage line; on Windows a COM port is required.
    const bool posix = PseudoTerminalsOffered();
    CLI::App app(posix ? kPosixDescription : kWindowsDescription,
                 posix ? "fpsim" : "fpsim --device COMn");
    app.set_help_flag();
    app.allow_windows_style_options(false);
    app.get_formatter()->column_width(25);
    app.get_formatter()->label("Usage", "usage");
    Reader reader(line);
    reader.AddOptions(app);
    // CLI11 reads the arguments from the back.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const Refusal &refusal) {
        error.what = refusal.what;
        return false;
    } catch (const CLI::CallForHelp &) {
        line.help = true;
        line.helpText = app.help();
        return true;
    } catch (const CLI::CallForVersion &) {
        line.version = true;
        return true;
    } catch (const CLI::ParseError &refused) {
        error.what = Explained(app, refused);
        return false;
    }
    return reader.Finish(error);
}

}  // namespace fpsim
