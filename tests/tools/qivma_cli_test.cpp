// The qivma tool's command line: what it refuses before it touches a port,
// with which message and exit status, and its help.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/fpsim/faults.h"
#include "tools/tool_run.h"

namespace {

using tooltest::Has;
using tooltest::Qivma;
using tooltest::ToolRun;

// A port that does not exist: a check that comes before the port opens says
// its own message, not that the port did not open.
const std::string kNoSuchPort = "/nonexistent/tty";

TEST(QivmaCommandLine, RefusesWhatItCannotFollowWithStatusTwo) {
    const struct {
        std::vector<std::string> arguments;
        const char *says;
    } cases[] = {
        {{"read", "01D00100", "--count", "-1"}, "--count takes a whole number"},
        {{"read", "01D00100", "--count", "abc"}, "--count takes a whole number"},
        {{"--sim", "read", "01D00100", "--type", "float"}, "--type takes word, dword or bit"},
        {{"--sim", "read", "01D00100", "--type", "99"}, "--type takes word, dword or bit"},
        {{"read", "01D00100"}, "read needs a port: --port"},
        {{"--port", kNoSuchPort, "read", "01D0010"}, "01D0010 is refused"},
        {{"--port", kNoSuchPort, "read", "01Q00100"}, "the device is one of"},
        {{"--sim", "--timeout", "45", "read", "01D00100"}, "steps of 10"},
        {{"--sim", "--baud", "115200", "read", "01D00100"}, "rate field holds 16 bits"},
        {{"--sim", "--baud", "abc", "read", "01D00100"}, "--baud takes a rate from 50 to 65535"},
        {{"--sim", "--port", kNoSuchPort, "read", "01D00100"}, "exclude each other"},
        {{"info", "extra"}, "not expected"},
        {{"--parity", "sideways", "--sim", "read", "01D00100"},
         "--parity takes none, odd, even, mark or space"},
        {{"frobnicate"}, "no command 'frobnicate': the commands are info, check"},
        // A slip of the fingers gets the name that was meant.
        {{"--sim", "rread", "01D00100"}, "no command 'rread': did you mean 'read'?"},
        {{"--sim", "--tiemout", "40", "read", "01D00100"}, "did you mean --timeout?"},
        {{"--sim", "read", "01D00100", "--intervall", "5"}, "no option --intervall of read"},
        {{"--sim", "read", "01D00100", "--interval", "5"}, "--interval is an option of poll"},
        {{"--sim", "--count", "5", "read", "01D00100"}, "--count is an option of check, read"},
        {{"--sim", "01D00100"}, "the command comes first, e.g. qivma read 01D00100"},
        // Line settings in one, in any case; what they cannot be, and twice.
        {{"--sim", "--line", "8X1", "read", "01D00100"}, "--line takes data bits (5 to 8)"},
        {{"--sim", "--line", "9O1", "read", "01D00100"}, "--line takes data bits (5 to 8)"},
        {{"--sim", "--line", "8O1", "--parity", "even", "read", "01D00100"}, "both set the parity"},
        {{"--sim", "-b", "9600", "--line", "19200-8O1", "read", "01D00100"}, "both give the rate"},
        // Every option is honoured by its command or refused by it.
        {{"--json", "demo"}, "--json does not apply to it"},
        {{"demo", "--port", kNoSuchPort}, "--port does not apply to it"},
        {{"demo", "--sim-station", "07"}, "--sim-station does not apply to it"},
        {{"--port", kNoSuchPort, "info"}, "info talks to no controller, so --port does not"},
        {{"--trace", "--timeout", "100", "check", "01D00100"},
         "check talks to no controller, so --timeout and --trace do not apply"},
        {{"-q", "--json", "--sim", "read", "01D00100"}, "one or the other"},
        {{"-q", "--trace", "--sim", "read", "01D00100"}, "one or the other"},
        {{"--sim", "--json", "poll", "01D00100", "--for", "1", "--csv", "-"},
         "--csv - puts the log on stdout"},
        // Floats only where asked for, finite unless allowed, within range.
        {{"--sim", "write", "01E00100", "1.0"}, "a float is written only with --format float"},
        {{"--sim", "write", "01E00100", "nan"}, "a float is written only with --format float"},
        {{"--sim", "write", "01E00100", "1e40", "--format", "float"},
         "'1e40' is beyond what a float holds"},
        {{"--sim", "write", "01E00100", "-f", "float", "1e-50"}, "too small for a float"},
        {{"--sim", "write", "01E00100", "--format", "float", "inf"}, "give --allow-nonfinite"},
        {{"--sim", "write", "01E00100", "--format", "float", "--", "-nan"},
         "give --allow-nonfinite"},
        {{"--sim", "write", "01D00100", "1.5"}, "a register holds whole numbers"},
        {{"--sim", "read", "01D00100", "--allow-nonfinite"},
         "--allow-nonfinite is an option of write"},
        {{}, "a command is needed"},
        {{"--sim", "write", "01D00100"}, "write takes ADDRESS VALUE pairs"},
        {{"--sim", "write", "01D00100", "65536"}, "'65536' is no 16-bit value"},
        {{"--sim", "write", "01D00100", "-32769"}, "'-32769' is no 16-bit value"},
        {{"--sim", "write", "01D00100", "08x"}, "'08x' is no 16-bit value"},
        {{"--sim", "write", "01R0012A", "2"}, "'2' is no contact value"},
        {{"--sim", "write", "01E00100", "4294967296"}, "is no 32-bit value"},
        {{"--sim", "write", "01D00000", "--count", "3", "1", "2"},
         "takes one ADDRESS and 3 values"},
        {{"--sim", "write", "01T0005", "1"}, "timer and counter contacts (T, C) cannot be written"},
        {{"--sim", "read", "FFD00100"}, "cannot be read"},
        {{"--sim", "read", "01D00100", "--format", "float"}, "--format float needs 32-bit"},
        {{"--sim", "read", "01D00100", "--format", "octal"}, "--format takes signed, unsigned"},
        {{"--sim", "read", "01E00100", "--word-order", "middle"}, "--word-order takes low-first"},
        // Ranges past what an address can name are found before the port opens.
        {{"--port", kNoSuchPort, "read", "01D65530", "--count", "10"},
         "past the last number an address names (65535)"},
        {{"--port", kNoSuchPort, "read", "01R99990", "--count", "40"}, "(9999)"},
        {{"--port", kNoSuchPort, "write", "01R1000A", "--count", "2", "1", "1"},
         "only up to word 999"},
        {{"--sim", "--sim-fault", "sometimes", "read", "01D00100"}, "unknown fault"},
        {{"--sim", "--sim-fault-every", "late", "read", "01D00100"}, "takes N:KIND"},
        {{"--sim", "--sim-fault-every", "2:sometimes", "read", "01D00100"}, "unknown fault"},
        {{"--sim-station", "01", "--port", kNoSuchPort, "read", "01D00100"}, "go with --sim"},
        {{"--json", "--json-lines", "info"}, "exclude each other"},
        {{"help", "frobnicate"}, "no command 'frobnicate'"},
    };
    for (const auto &c : cases) {
        const ToolRun run = Qivma(c.arguments);
        std::string line;
        for (const std::string &a : c.arguments)
            line += a + " ";
        EXPECT_EQ(run.exitCode, 2) << line << "\n" << run.both();
        EXPECT_TRUE(Has(run.err, c.says)) << line << "\n" << run.both();
        EXPECT_FALSE(Has(run.both(), "did not open")) << line << "\n" << run.both();
    }
}

TEST(QivmaCommandLine, CheckShowsOnlyTheRulesThatARefusedAddressBreaks) {
    const ToolRun refused = Qivma({"check", "01D0010Z", "FFD99999"});
    EXPECT_EQ(refused.exitCode, 1) << refused.both();
    EXPECT_TRUE(Has(refused.out, "'Z' at position 8")) << refused.out;
    // Half-parsed fields of a refused address mean nothing.
    EXPECT_FALSE(Has(refused.out, "word ")) << refused.out;
    EXPECT_FALSE(Has(refused.out, "station 255")) << refused.out;

    const ToolRun accepted = Qivma({"check", "01D00000", "--count", "100"});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.both();
    EXPECT_TRUE(Has(accepted.out, "D0 to D99; read frames 4, write frames 5")) << accepted.out;

    const ToolRun global = Qivma({"check", "FFD00100"});
    EXPECT_EQ(global.exitCode, 0) << global.both();
}

TEST(QivmaCommandLine, HelpPerCommandVersionAndOptionForms) {
    const struct {
        std::vector<std::string> arguments;
        std::vector<const char *> says;
    } cases[] = {
        {{"help"},
         {"info", "check", "read", "write", "poll", "scan", "demo", "--port", "--sim", "--baud",
          "--timeout", "--trace", "--json", "--json-lines", "Exit status: 0 done"}},
        {{"--help"}, {"--json-lines", "Exit status"}},
        {{"help", "read"}, {"--count", "--format", "--word-order", "read 01R0012A --count 3"}},
        {{"read", "--help"}, {"--count", "--format", "--word-order"}},
        {{"help", "poll"}, {"--interval", "--for", "--csv"}},
        {{"scan", "--help"}, {"--register", "01-32"}},
        {{"--version"}, {"qivma 7.0.0"}},
    };
    for (const auto &c : cases) {
        const ToolRun run = Qivma(c.arguments);
        EXPECT_EQ(run.exitCode, 0) << c.arguments.front() << "\n" << run.both();
        for (const char *text : c.says)
            EXPECT_TRUE(Has(run.out, text)) << c.arguments.front() << ": " << text << "\n"
                                            << run.out;
    }
    // The long forms with "=", the short ones, the line settings in one and
    // parity in any case: each reads the same two registers.
    for (const std::vector<std::string> &form : std::vector<std::vector<std::string>>{
             {"--sim", "--timeout=100", "read", "01D00000", "--count=2"},
             {"--sim", "-b", "9600", "-P", "ODD", "-t", "100", "read", "01D00000", "-c", "2"},
             {"--sim", "-b9600", "--parity", "o", "read", "01D00000", "-c2", "-f", "signed"},
             {"--sim", "--line", "8e1", "read", "01D00000", "--count", "2"},
             {"--sim", "--line", "9600-7E2", "read", "01D00000", "--count", "2"},
             {"-p", "/dev/null", "read", "01D00000", "--count", "2"},
         }) {
        const ToolRun run = Qivma(form);
        std::string line;
        for (const std::string &a : form)
            line += a + " ";
        if (form[0] == "-p") {
            // /dev/null opens as the null device, which answers nothing.
            EXPECT_EQ(run.exitCode, 1) << line << "\n" << run.both();
            EXPECT_TRUE(Has(run.err, "the null device")) << line << "\n" << run.both();
            continue;
        }
        EXPECT_EQ(run.exitCode, 0) << line << "\n" << run.both();
        EXPECT_TRUE(Has(run.out, "D1 ")) << line << "\n" << run.out;
    }
    // Values that start with a minus, before and after "--".
    for (const std::vector<std::string> &form : std::vector<std::vector<std::string>>{
             {"--sim", "write", "--", "01D00100", "-7"},
             {"--sim", "write", "01D00100", "-7"},
             {"--sim", "write", "01D00100", "--", "-7"},
             {"--sim", "write", "01D00100", "-0x7", "01D00101", "-1"},
             {"--sim", "write", "01E00100", "-f", "float", "-1.5e3"},
             {"--sim", "write", "01E00100", "-f", "float", "--allow-nonfinite", "-inf"},
         }) {
        const ToolRun run = Qivma(form);
        EXPECT_EQ(run.exitCode, 0) << form[2] << " " << form.back() << "\n" << run.both();
    }
    // Every kind of fault that the simulator plays is in the help.
    const ToolRun help = Qivma({"--help"});
    for (const fpsim::FaultKind kind : fpsim::AllFaultKinds())
        EXPECT_TRUE(Has(help.out, fpsim::FaultKindName(kind))) << fpsim::FaultKindName(kind);
}

// A refusal of --format float names a way to read the float, and that way works.
TEST(QivmaCommandLine, AFloatRefusedOnSixteenBitsNamesAWayThatWorks) {
    const struct {
        const char *address;
        const char *says;
        std::vector<std::string> works;
    } cases[] = {
        {"01D00100", "01E00100 (D100-D101) --format float", {"read", "01E00100", "-f", "float"}},
        {"01D00101",
         "01E00100 (D100-D101) or 01E00102 (D102-D103)",
         {"read", "01E00102", "-f", "float"}},
        {"01F00010", "01G00010 (F10-F11)", {"read", "01G00010", "--format", "float"}},
        {"01R0010",
         "--type dword --format float",
         {"read", "01R0010", "--type", "dword", "--format", "float"}},
        {"01S0005",
         "--type dword --format float",
         {"read", "01S0005", "--type", "dword", "--format", "float"}},
    };
    for (const auto &c : cases) {
        const ToolRun refused = Qivma({"--sim", "read", c.address, "--format", "float"});
        EXPECT_EQ(refused.exitCode, 2) << c.address << "\n" << refused.both();
        EXPECT_TRUE(Has(refused.err, c.says)) << c.address << "\n" << refused.err;
        std::vector<std::string> works = {"--sim"};
        works.insert(works.end(), c.works.begin(), c.works.end());
        const ToolRun run = Qivma(works);
        EXPECT_EQ(run.exitCode, 0) << c.address << "\n" << run.both();
    }
}

// A port that does not open says why, and what to do about it.
TEST(QivmaCommandLine, PortsThatDoNotOpenSayWhatToDo) {
    const struct {
        const char *port;
        std::vector<const char *> says;
    } cases[] = {
        {"COM3", {"COM3 is a Windows name", "/dev/ttyUSB0 (a USB adapter)"}},
        {"ttyQV7", {"there is no /dev/ttyQV7", "a device in /dev"}},
        {"/dev/ttyQV7", {"there is no /dev/ttyQV7"}},
        // Not open to its user (even to root: nobody writes it).
        {"/sys/class/net/lo/address",
         {"permission denied", "group dialout", "sudo usermod -aG dialout $USER"}},
    };
    for (const auto &c : cases) {
        const ToolRun run = Qivma({"--port", c.port, "read", "01D00100"});
        EXPECT_EQ(run.exitCode, 1) << c.port << "\n" << run.both();
        for (const char *text : c.says)
            EXPECT_TRUE(Has(run.err, text)) << c.port << ": " << text << "\n" << run.err;
    }
}

TEST(QivmaCommandLine, InfoAsTextAndAsOneJsonDocument) {
    const ToolRun text = Qivma({"info"});
    EXPECT_EQ(text.exitCode, 0);
    const std::string frame =
        "\u2551       Matsushita - FP3, FP5, FP10 compatible driver.      \u2551";
    EXPECT_TRUE(Has(text.out, frame)) << text.out;

    const ToolRun json = Qivma({"--json", "info"});
    ASSERT_EQ(json.exitCode, 0);
    const nlohmann::json document = nlohmann::json::parse(json.out);
    // The banner as UTF-8 text, as the terminal shows it: encoded once.
    EXPECT_TRUE(Has(document.at("banner").get<std::string>(), frame)) << json.out;
    EXPECT_EQ(document.at("defaultTimeoutMs"), 40);
}

TEST(QivmaCommandLine, RefusalsAreJsonWhenJsonIsAskedFor) {
    for (const char *mode : {"--json", "--json-lines"}) {
        const ToolRun run = Qivma({mode, "--port", kNoSuchPort, "read", "01Q00100"});
        EXPECT_EQ(run.exitCode, 2) << run.both();
        const nlohmann::json record = nlohmann::json::parse(run.out);
        EXPECT_EQ(record.at("ok"), false);
        EXPECT_EQ(record.at("status"), 2);
        EXPECT_EQ(record.at("error"), "01Q00100 is refused:");
        EXPECT_TRUE(Has(record.at("reasons").dump(), "the device is one of")) << run.out;
    }
}

// Each device's range: the labels of its first and last element, and the
// frames that reading and writing it take, from the limits of one frame.
TEST(QivmaCommandLine, RangesOfEveryDeviceAndTheFramesTheyTake) {
    const struct {
        const char *address;
        const char *count;
        const char *first, *last;
        const char *readFrames, *writeFrames;
    } cases[] = {
        {"01D00000", "27", "D0", "D26", "1", "2"},  // 24 words to a register write
        {"01D00000", "24", "D0", "D23", "1", "1"},
        {"01D00000", "28", "D0", "D27", "2", "2"},
        {"01F00010", "49", "F10", "F58", "2", "3"},
        // 32-bit values: from the first register of the first to the last of the last.
        {"01E00000", "13", "D0", "D25", "1", "2"},  // 13 values read, 12 written
        {"01E00000", "12", "D0", "D23", "1", "1"},
        {"01G00100", "14", "F100", "F127", "2", "2"},
        {"01R0010", "26", "WR10", "WR35", "1", "2"},  // 25 contact words to a write
        {"01Y0000", "25", "WY0", "WY24", "1", "1"},
        {"01S0005", "26", "SV5", "SV30", "1", "2"},
        {"01V0000", "28", "EV0", "EV27", "2", "2"},
        {"01R0012A", "3", "R12A", "R12C", "1", "3"},  // contacts: one word, one frame each
        {"01R0000E", "20", "RE", "R21", "1", "20"},
        {"01X0000F", "417", "XF", "X26F", "1", "417"},
        {"01X0000F", "418", "XF", "X270", "2", "418"},
        {"01T00005", "2", "T5", "T6", "1", "null"},
    };
    for (const auto &c : cases) {
        const ToolRun run = Qivma({"--json-lines", "check", c.address, "--count", c.count});
        ASSERT_EQ(run.exitCode, 0) << c.address << "\n" << run.both();
        const nlohmann::json record = nlohmann::json::parse(run.out);
        EXPECT_EQ(record["first"].get<std::string>(), c.first) << c.address;
        EXPECT_EQ(record["last"].get<std::string>(), c.last) << c.address;
        EXPECT_EQ(record["readFrames"].dump(), c.readFrames) << c.address << " --count " << c.count;
        // A number, or null with the reason beside it.
        EXPECT_EQ(record["writeFrames"].dump(), c.writeFrames)
            << c.address << " --count " << c.count;
        EXPECT_EQ(record.contains("writeRefused"), record["writeFrames"].is_null()) << c.address;
    }
}

// The bash completion offers the commands, each command's own options and
// the values an option takes.
TEST(QivmaCompletion, CompletesCommandsOptionsAndValues) {
    if (tooltest::RunProgram({"bash", "-c", "true"}).exitCode != 0)
        GTEST_SKIP() << "bash is not installed";
    const struct {
        const char *words;
        int current;
        const char *offered;
    } cases[] = {
        {"qivma --sim re", 2, "read"},
        {"qivma read 01D00100 --f", 3, "--format"},
        {"qivma poll --c", 2, "--count --csv"},
        {"qivma --format ''", 2, "signed unsigned hex bin bcd float ascii"},
        {"qivma --parity ''", 2, "none odd even mark space"},
        {"qivma -P ''", 2, "none odd even mark space"},
        {"qivma --line 8''", 2, "8N1 8O1 8E1 8N2"},
        {"qivma help s", 2, "scan"},
        {"qivma write 01E00100 --a", 3, "--allow-nonfinite"},
        {"qivma --q", 1, "--quiet"},
        {"qivma -p /dev/null -f ''", 4, "signed unsigned hex bin bcd float ascii"},
    };
    for (const auto &c : cases) {
        const std::string script = std::string("source ") + QIVMA_SOURCE_DIR +
                                   "/docs/completion/qivma.bash; COMP_WORDS=(" + c.words +
                                   "); COMP_CWORD=" + std::to_string(c.current) +
                                   "; _qivma; echo \"${COMPREPLY[*]}\"";
        const ToolRun run = tooltest::RunProgram({"bash", "-c", script});
        EXPECT_EQ(run.out, std::string(c.offered) + "\n") << c.words << "\n" << run.both();
    }
    // Every fault the simulator plays.
    const std::string script = std::string("source ") + QIVMA_SOURCE_DIR +
                               "/docs/completion/qivma.bash; COMP_WORDS=(qivma --sim-fault ''); "
                               "COMP_CWORD=2; _qivma; echo \" ${COMPREPLY[*]} \"";
    const ToolRun faults = tooltest::RunProgram({"bash", "-c", script});
    for (const fpsim::FaultKind kind : fpsim::AllFaultKinds()) {
        EXPECT_TRUE(Has(faults.out, std::string(" ") + fpsim::FaultKindName(kind) + " "))
            << fpsim::FaultKindName(kind) << "\n"
            << faults.out;
    }
}

}  // namespace
