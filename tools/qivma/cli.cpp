#include "tools/qivma/cli.h"

#include <string.h>

#include <CLI/CLI.hpp>

#include "qivma_version.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tool_platform.h"

namespace {

// The options as they were typed; converted and checked once CLI11 is done.
struct Texts {
    std::string baud, dataBits, parity, stopBits, timeout;
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
        "  floats for 32-bit tags. -- ends the options: what follows are arguments.\n"
        "Output: text for people; --json prints one JSON document per command,\n"
        "  --json-lines one JSON object per line (per read while polling).\n"
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

void AddLineOptions(CLI::App &app, CommandLine &line, Texts &texts) {
    GlobalOptions &g = line.global;
    const std::string port = ExamplePort();
    app.add_option("--port", g.line.port, "the serial port, e.g. " + port)
        ->type_name("DEVICE")
        ->group("Line");
    // The options of the built-in simulator stay known where there is none,
    // so that their use gets a clear answer, but the help does not offer them;
    // likewise --sim-port where the simulator is built in.
    const std::string simGroup = HasSimulator() ? "Line" : "";
    const std::string simPortGroup = HasSimulator() ? "" : "Line";
    app.add_flag("--sim", g.line.sim,
                 HasSimulator() ? "use the built-in controller simulator as the port"
                                : "talk to fpsim.exe through --sim-port (no built-in\n"
                                  "simulator on Windows)")
        ->group("Line");
    app.add_option("--sim-port", g.line.simPort,
                   "the COM port of a null-modem pair whose other end\n"
                   "fpsim.exe serves (fpsim.exe --device COMx)")
        ->type_name("COMn")
        ->group(simPortGroup);
    app.add_option("--sim-station", g.line.simStations,
                   "a station it plays (repeat; default: 01 and those named)")
        ->type_name("NN")
        ->group(simGroup);
    app.add_option("--sim-fault", g.line.simFaults,
                   "a fault of its next answer (repeat): no-answer, late,\n"
                   "corrupt, truncated, bad-bcc, wrong-station, error[:CODE]")
        ->type_name("KIND")
        ->group(simGroup);
    app.add_option("--baud", texts.baud, "bit/s, 50 to 65535 (19200)")
        ->type_name("N")
        ->group("Line");
    app.add_option("--data-bits", texts.dataBits, "5 to 8 (8)")->type_name("N")->group("Line");
    app.add_option("--parity", texts.parity, "none, odd, even, mark or space (odd)")
        ->type_name("P")
        ->group("Line");
    app.add_option("--stop-bits", texts.stopBits, "1, 1.5 or 2 (1)")->type_name("S")->group("Line");
    app.add_option("--timeout", texts.timeout, "answer time-out, steps of 10 ms (40)")
        ->type_name("MS")
        ->group("Line");
}

void AddOutputOptions(CLI::App &app, CommandLine &line, Texts &texts) {
    GlobalOptions &g = line.global;
    app.add_flag("--trace", g.trace, "every frame on the line, attempts numbered and timed")
        ->group("Output");
    app.add_flag("--json", texts.json, "one JSON document per command")->group("Output");
    app.add_flag("--json-lines", texts.jsonLines, "JSON Lines: one JSON object per line")
        ->group("Output");
    app.add_flag("-v,--verbose", g.line.verbose, "the driver's log messages, on stderr")
        ->group("Output");
}

void AddTagOptions(CLI::App &command, CommandLine &line, Texts &texts, bool withFormat) {
    TagOptions &t = line.tag;
    command.add_option("--type", t.type, "word, dword or bit (default: from the address)")
        ->type_name("TYPE");
    command
        .add_option("--count", texts.count,
                    "N elements from ADDRESS on, in as many frames as needed")
        ->type_name("N");
    if (!withFormat)
        return;
    command.add_option("--format", texts.format, "signed|unsigned|hex|bin|bcd|float|ascii")
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

uint16_t ParityCode(const std::string &text) {
    const char *names[] = {"none", "odd", "even", "mark", "space"};
    for (uint16_t code = 0; code < 5; ++code) {
        if (text == names[code])
            return code;
    }
    throw UsageError("--parity takes none, odd, even, mark or space, not '" + text + "'");
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

void ResolveLine(const Texts &texts, LineOptions &line) {
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
    if (!texts.timeout.empty())
        line.timeoutMs = TimeoutMs(texts.timeout);
    if (HasSimulator() && !line.simPort.empty()) {
        throw UsageError(
            "--sim-port is for the Windows tool, where fpsim.exe serves the far end of a "
            "COM port pair; here --sim runs the built-in simulator itself");
    }
    if (!HasSimulator()) {
        if (!line.sim && !line.simPort.empty())
            throw UsageError("--sim-port goes with --sim (or with demo)");
        if (line.sim && line.simPort.empty())
            throw UsageError(
                "no --sim-port: the Windows tool has no built-in simulator; its simulator is "
                "fpsim.exe at the far end of a COM port, given with --sim-port COMn",
                {"join two virtual COM ports as a null-modem pair (e.g. COM6 and COM7)",
                 "start 'fpsim.exe --device COM7' on one",
                 "run 'qivma --sim --sim-port COM6 ...' or 'qivma demo --sim-port COM6' on the "
                 "other",
                 "docs/HOSTS.md, \"Testing a host without a controller\", shows the steps"});
        if (!line.simStations.empty() || !line.simFaults.empty())
            throw UsageError(
                "--sim-station and --sim-fault are for the built-in simulator, "
                "which the Windows tool does not have: give them to fpsim.exe "
                "instead (fpsim.exe --device COMx --station NN --fault KIND)");
    }
    if (line.sim && !line.port.empty())
        throw UsageError("--sim and --port exclude each other: the simulator is the port");
    if (!line.sim && (!line.simStations.empty() || !line.simFaults.empty()))
        throw UsageError("--sim-station and --sim-fault go with --sim");
    for (const std::string &station : line.simStations) {
        long long value = 0;
        if (station.size() != 2 || !ParseInteger("0x" + station, 0, 255, value))
            throw UsageError("--sim-station takes two hexadecimal digits, e.g. 01, not '" +
                             station + "'");
    }
    for (const std::string &fault : line.simFaults) {
        std::string error;
        if (!CheckSimulatorFault(fault, &error))
            throw UsageError("--sim-fault: " + error);
    }
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
    try {
        app.parse(argc, argv);
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
        PrintUsageError(OutputModeOf(argc, argv), command, UsageError(error.what()));
        return kExitUsage;
    }
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
        line.global.line.sim = true;
    ResolveLine(texts, line.global.line);
    ResolveTag(texts, line.tag);
    ResolvePoll(texts, line.poll);
    return -1;
}
