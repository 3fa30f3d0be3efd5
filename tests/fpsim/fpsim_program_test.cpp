// The fpsim program as a person runs it.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "fpsim/test_frames.h"
#include "fpsim/test_port.h"
#include "tools/fpsim/faults.h"
#include "tools/fpsim/frame.h"
#include "tools/fpsim/pseudo_terminal.h"

extern char **environ;

namespace {

// Starts fpsim with `args`; its standard output (and its diagnostics, with
// `withErrors`) comes through `out`. The stop signals reach it as they reach
// a program started from a terminal, whatever this process ignores.
pid_t StartFpsim(std::vector<std::string> args, FILE *&out, bool withErrors = false) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGHUP, SIGINT, SIGTERM})
        sigaddset(&stopSignals, signal);
    posix_spawnattr_setsigdefault(&attributes, &stopSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (withErrors)
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    args.insert(args.begin(), FPSIM_PROGRAM);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, FPSIM_PROGRAM, &actions, &attributes, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    out = fdopen(fds[0], "r");
    return pid;
}

std::string ReadLine(FILE *file) {
    char line[512] = {};
    return fgets(line, sizeof line, file) != nullptr ? line : "";
}

int WaitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(FILE *file) {
    std::string text;
    for (std::string line; !(line = ReadLine(file)).empty();)
        text += line;
    return text;
}

// Runs fpsim to its end: its exit status, and what it printed on both outputs.
int RunToEnd(const std::vector<std::string> &args, std::string &said) {
    FILE *out = nullptr;
    const pid_t pid = StartFpsim(args, out, true);
    if (pid <= 0)
        return -100;
    said = ReadAll(out);
    fclose(out);
    return WaitExit(pid);
}

// Runs fpsim that is expected to end by itself; one still running after
// `patience` is killed and reported as -1 (a simulator that took over what it
// should have refused serves until stopped).
int RunExpectingAnEnd(const std::vector<std::string> &args, std::string &said,
                      std::chrono::seconds patience = std::chrono::seconds(20)) {
    FILE *out = nullptr;
    const pid_t pid = StartFpsim(args, out, true);
    if (pid <= 0)
        return -100;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            said = ReadAll(out);
            fclose(out);
            return -1;
        }
        usleep(10000);
    }
    said = ReadAll(out);
    fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::string LinkTarget(const std::string &link) {
    char target[256] = {};
    return readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

std::string TempPath(const std::string &name) {
    return ::testing::TempDir() + "fpsim-program-" + name + "-" + std::to_string(getpid());
}

void WriteFile(const std::string &path, const std::string &contents) {
    FILE *file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    fwrite(contents.data(), 1, contents.size(), file);
    fclose(file);
}

TEST(FpsimProgram, ServesOnItsLinkUntilTerminated) {
    const std::string link = TempPath("link");
    FILE *out = nullptr;
    // Start-up contents from a file, and from flags; the later one wins.
    const std::string init = link + ".init";
    // Written as an editor may write it: a byte-order mark, blanks around "=".
    WriteFile(init, "\xEF\xBB\xBF# start-up contents\nDT100 = 0x1234\nLD100=0x0102  # link data\n");
    const pid_t pid =
        StartFpsim({"--link", link, "--station", "01", "--station", "05", "--init", init, "--set",
                    "05:DT100=1234", "--set=LD7=5", "--fault", "error:42"},
                   out);
    ASSERT_GT(pid, 0);
    // It says where it is once the link is there, and what the link leads to.
    const std::string banner = ReadLine(out);
    const std::string target = LinkTarget(link);
    ASSERT_FALSE(target.empty()) << link;
    EXPECT_NE(banner.find("station 01 05 on " + link + " (a link to " + target + ")"),
              std::string::npos)
        << banner;
    {
        TestPort port(link);
        ASSERT_TRUE(port.IsOpen());
        const struct {
            std::string request, answer;
        } exchanges[] = {
            {Request("05", "RDD0010000100"), Refusal("05", "42")},
            {Request("05", "RDD0010000100"), Answer("05", "RDD204")},
            {Request("01", "RDD0010000100"), Answer("01", "RD3412")},
            {Request("01", "RDL0010000100"), Answer("01", "RD0201")},
            {Request("05", "RDL0000700007"), Answer("05", "RD0500")},
            {Request("01", "WCP2Y00001R00000"), Answer("01", "WC")},
            {Request("01", "RCP2Y0000R0000"), Answer("01", "RC10")},
        };
        for (const auto &exchange : exchanges) {
            port.Write(exchange.request);
            EXPECT_EQ(port.ReadFrame(std::chrono::milliseconds(2000)), exchange.answer)
                << exchange.request;
        }
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 0);
    unlink(init.c_str());
    fclose(out);
    EXPECT_FALSE(Exists(link)) << "the link is withdrawn";
}

// A hang-up (the terminal or the session closed) stops fpsim as cleanly as an
// interrupt or a termination does: the link goes with it.
TEST(FpsimProgram, EveryStopSignalWithdrawsTheLink) {
    for (const int signal : {SIGHUP, SIGTERM, SIGINT}) {
        const std::string link = TempPath("signal-" + std::to_string(signal));
        FILE *out = nullptr;
        const pid_t pid = StartFpsim({"--link", link}, out);
        ASSERT_GT(pid, 0);
        // Once it has printed its start-up line, the link is there and the
        // signals are in its hands.
        const std::string banner = ReadLine(out);
        ASSERT_NE(banner.find(link), std::string::npos) << banner;
        ASSERT_TRUE(Exists(link)) << strsignal(signal);
        ASSERT_EQ(kill(pid, signal), 0);
        const std::string farewell = ReadAll(out);
        fclose(out);
        EXPECT_EQ(WaitExit(pid), 0) << strsignal(signal) << ": it ended by itself";
        EXPECT_NE(farewell.find(std::string("stopped (") + strsignal(signal) + ")"),
                  std::string::npos)
            << farewell;
        EXPECT_FALSE(Exists(link)) << strsignal(signal) << ": the link is withdrawn";
        unlink(link.c_str());  // whatever a failure above left behind
    }
}

// A device is served under its own name; a link to it would name fpsim's own
// end of the line, never the one that the driver opens, so none is made.
TEST(FpsimProgram, ADeviceIsServedUnderItsOwnNameAndNeverLinked) {
    fpsim::PseudoTerminal line;  // stands in for a serial device and its cable
    std::string error;
    ASSERT_TRUE(fpsim::OpenPseudoTerminal(line, &error)) << error;

    const std::string link = TempPath("device-link");
    std::string said;
    EXPECT_EQ(RunToEnd({"--device", line.driverPath, "--link", link}, said), 2);
    EXPECT_NE(said.find("--link and --device do not go together"), std::string::npos) << said;
    EXPECT_FALSE(Exists(link));

    FILE *out = nullptr;
    const pid_t pid = StartFpsim({"--device", line.driverPath, "--zero"}, out);
    ASSERT_GT(pid, 0);
    const std::string banner = ReadLine(out);
    EXPECT_NE(banner.find("station 01 on " + line.driverPath + " (a serial device)"),
              std::string::npos)
        << banner;
    const std::string request = Request("01", "RDD0000000000");
    ASSERT_EQ(write(line.controllerFd, request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    std::string answer;
    pollfd ready = {line.controllerFd, POLLIN, 0};
    char c;
    while (answer.size() < 13 && poll(&ready, 1, 2000) == 1 && read(line.controllerFd, &c, 1) == 1)
        answer += c;
    EXPECT_EQ(answer, Answer("01", "RD0000"));
    kill(pid, SIGHUP);
    EXPECT_EQ(WaitExit(pid), 0);
    fclose(out);
    fpsim::ClosePseudoTerminal(line);
}

// A device that cannot be served is refused in words that say what is wrong
// with it, never with the name of the call that failed, and with status 1.
TEST(FpsimProgram, ADeviceThatCannotBeServedIsRefusedInWords) {
    const std::string file = TempPath("not-a-device");
    WriteFile(file, "");
    const struct {
        std::string device;
        const char *said;
    } cases[] = {
        {"/dev/null", "fpsim: /dev/null is not a serial device: it takes no line settings"},
        {file, " is not a serial device: it takes no line settings"},
        {TempPath("no-such-device"), ": there is no such device (a USB adapter appears as"},
        {::testing::TempDir(), " is a directory, not a serial device"},
    };
    for (const auto &test : cases) {
        std::string said;
        EXPECT_EQ(RunToEnd({"--device", test.device}, said), 1) << test.device;
        EXPECT_NE(said.find(test.said), std::string::npos) << said;
        EXPECT_EQ(said.find("tcgetattr"), std::string::npos) << said;
        EXPECT_EQ(said.find("ioctl"), std::string::npos) << said;
    }
    unlink(file.c_str());
}

// A link that a running fpsim serves is its own until it stops: a second one
// is refused and leaves it alone. One left behind by a simulator that was
// killed is taken over.
TEST(FpsimProgram, ALinkThatAnotherFpsimServesIsRefused) {
    const std::string link = TempPath("claimed");
    FILE *out = nullptr;
    const pid_t first = StartFpsim({"--link", link, "--zero"}, out);
    ASSERT_GT(first, 0);
    ASSERT_NE(ReadLine(out).find(link), std::string::npos);
    const std::string target = LinkTarget(link);

    std::string said;
    EXPECT_EQ(RunExpectingAnEnd({"--link", link}, said), 1) << said;
    EXPECT_NE(said.find("fpsim: " + link + " is served by another fpsim (process " +
                        std::to_string(first) + "): stop it first, or give another --link"),
              std::string::npos)
        << said;
    EXPECT_EQ(LinkTarget(link), target) << "the link is left as it was";
    {
        // No assertion ends the test before the first simulator is stopped.
        TestPort port(link);
        EXPECT_TRUE(port.IsOpen());
        port.Write(Request("01", "RDD0000000000"));
        EXPECT_EQ(port.ReadFrame(std::chrono::milliseconds(2000)), Answer("01", "RD0000"))
            << "the first one still serves it";
    }

    // Killed, it withdraws nothing: the link stays, and the claim goes.
    kill(first, SIGKILL);
    WaitExit(first);
    fclose(out);
    EXPECT_TRUE(Exists(link));
    const pid_t second = StartFpsim({"--link", link}, out);
    ASSERT_GT(second, 0);
    EXPECT_NE(ReadLine(out).find(link), std::string::npos);
    EXPECT_FALSE(LinkTarget(link).empty());
    kill(second, SIGTERM);
    EXPECT_EQ(WaitExit(second), 0);
    fclose(out);
    EXPECT_FALSE(Exists(link));
    unlink(link.c_str());
}

TEST(FpsimProgram, HelpDescribesEveryOption) {
    FILE *out = nullptr;
    const pid_t pid = StartFpsim({"--help"}, out);
    ASSERT_GT(pid, 0);
    std::string help;
    for (std::string line; !(line = ReadLine(out)).empty();)
        help += line;
    fclose(out);
    EXPECT_EQ(WaitExit(pid), 0);
    for (const char *option :
         {"--link",          "--device",        "--baud",        "--data-bits",    "--parity",
          "--stop-bits",     "--delay",         "--station",     "--profile",      "--no-ee",
          "--x-write-error", "--zero",          "--set",         "--init",         "--answer-delay",
          "--chatter",       "--fault",         "--fault-every", "--fault-random", "--verbose",
          "--help",          "--no-line-check", "--version"}) {
        EXPECT_NE(help.find(std::string("  ") + option), std::string::npos) << option;
    }
    for (const fpsim::FaultKind kind : fpsim::AllFaultKinds()) {
        EXPECT_NE(help.find(fpsim::FaultKindName(kind)), std::string::npos)
            << fpsim::FaultKindName(kind);
    }
    EXPECT_NE(help.find("double[:GAP]"), std::string::npos);
    for (size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos;
         start = end + 1) {
        EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
    }

    std::string version;
    EXPECT_EQ(RunToEnd({"--version"}, version), 0);
    EXPECT_EQ(version.rfind("fpsim ", 0), 0u) << version;
    EXPECT_EQ(version.find_first_not_of("0123456789.\n", 6), std::string::npos) << version;
    EXPECT_EQ(version.back(), '\n');
}

// A master at another rate than the controller's is heard as garbage, and
// the person running fpsim is told why nothing is answered, and again when
// the master's settings agree.
TEST(FpsimProgram, AMasterAtAnotherRateIsNotAnsweredAndTheConsoleSaysWhy) {
    const std::string link = TempPath("rate");
    FILE *out = nullptr;
    const pid_t pid =
        StartFpsim({"--link", link, "--baud", "19200", "--zero", "--verbose"}, out, true);
    ASSERT_GT(pid, 0);
    ASSERT_NE(ReadLine(out).find("19200 bit/s 8O1"), std::string::npos);
    const std::string request = Request("01", "RDD0000000000");
    {
        TestPort port(link, 9600);
        ASSERT_TRUE(port.IsOpen());
        port.Write(request);
        EXPECT_EQ(ReadLine(out),
                  "fpsim: the master's line is at 9600 bit/s, this controller's at 19200 bit/s: "
                  "the controller hears garbage and answers nothing (--no-line-check answers "
                  "anyway)\n");
        const std::string logged = ReadLine(out);
        EXPECT_NE(logged.find("<- " + fpsim::Printable(request) +
                              "  not heard: the master's line is at 9600 bit/s"),
                  std::string::npos)
            << logged;
    }
    {
        TestPort port(link, 19200);
        port.Write(request);
        EXPECT_EQ(port.ReadFrame(std::chrono::milliseconds(2000)), Answer("01", "RD0000"));
        EXPECT_EQ(ReadLine(out), "fpsim: the master's line settings agree again: it is answered\n");
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 0);
    fclose(out);
}

// A command line that cannot be followed ends fpsim with status 2 before
// anything starts, and the message names the option and what it takes.
TEST(FpsimProgram, RefusesWhatItCannotFollowNamingTheOption) {
    const struct {
        std::vector<std::string> args;
        const char *said;
    } cases[] = {
        {{"--station", "ZZ"}, "--station takes two hexadecimal digits, 01 to FE but not EE"},
        {{"--station", "00"}, "--station takes two hexadecimal digits"},
        {{"--station", "EE"}, "--station takes two hexadecimal digits"},
        {{"--station", "FF"}, "--station takes two hexadecimal digits"},
        {{"--station", "1"}, "not '1'"},
        {{"--station", "011"}, "not '011'"},
        {{"--station", "0a", "--station", "0A"}, "--station 0A is given twice"},
        {{"--fault-every", "0:late"}, "--fault-every takes N:KIND, N 1 to 1000000, not '0:late'"},
        {{"--fault-every", "late"}, "--fault-every takes N:KIND"},
        {{"--fault-every", "3:bogus"}, "unknown fault 'bogus'"},
        {{"--fault-every", "3:double:x"}, "fault 'double' takes a gap in ms, 0 to 60000"},
        {{"--fault", "double:-1"}, "--fault: fault 'double' takes a gap in ms, 0 to 60000"},
        {{"--fault", "error:100"}, "fault 'error' takes an error code, 0 to 99"},
        {{"--fault", "late:60001"}, "fault 'late' takes a time in ms, 0 to 60000"},
        {{"--fault", "corrupt:3"}, "fault 'corrupt' takes no argument"},
        {{"--fault-random", "0"}, "--fault-random takes P or P:SEED, 0 < P <= 1"},
        {{"--fault-random", "1.5:3"}, "--fault-random takes P or P:SEED"},
        {{"--fault-random", "0.5x"}, "--fault-random takes P or P:SEED"},
        {{"--fault-random", "0.1:-1"}, "SEED 0 to 4294967295"},
        {{"--baud", "49"}, "--baud takes 50 to 921600 bit/s (or 0, no pacing), not '49'"},
        {{"--baud", "1000000"}, "--baud takes 50 to 921600 bit/s"},
        {{"--baud", "fast"}, "--baud takes 50 to 921600 bit/s"},
        {{"--data-bits", "9"}, "--data-bits takes 5 to 8, not '9'"},
        {{"--parity", "sideways"}, "--parity takes none, odd, even, mark or space"},
        {{"--stop-bits", "3"}, "--stop-bits takes 1, 1.5 or 2"},
        {{"--delay", "60001"}, "--delay takes 0 to 60000 ms, not '60001'"},
        {{"--answer-delay", "-5"}, "--answer-delay takes 0 to 60000 ms, not '-5'"},
        {{"--answer-delay", "soon"}, "--answer-delay takes 0 to 60000 ms"},
        {{"--answer-delay"}, "--answer-delay needs a value"},
        {{"--chatter", "0"}, "--chatter takes GAP or GAP:silent, GAP 1 to 60000 ms"},
        {{"--chatter", "-20"}, "--chatter takes GAP or GAP:silent"},
        {{"--chatter", "20:loud"}, "--chatter takes GAP or GAP:silent"},
        {{"--chatter", ":silent"}, "--chatter takes GAP or GAP:silent"},
        {{"--x-write-error", "62"}, "--x-write-error takes 60 or 61"},
        {{"--profile", "medium"}, "--profile takes large or small"},
        {{"--link", ""}, "--link takes the path"},
        {{"--zero=yes"}, "--zero takes no value"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"extra"}, "unexpected argument 'extra': fpsim takes options only"},
        {{"--zero", "extra"}, "unexpected argument 'extra'"},
        {{"--set", "DT10240=1"},
         "--set 'DT10240=1': no DT10240 in this controller (DT0 to "
         "DT10239)"},
        {{"--set", "LD8448=1"}, "(LD0 to LD8447)"},
        // The bounds are those of the profile, wherever --profile stands.
        {{"--set", "LD128=1", "--profile", "small"}, "(LD0 to LD127)"},
        {{"--set", "DT1=65536"}, "the value must be a 16-bit number"},
        {{"--set", "07:DT1=1"}, "station 07 is not on the line (stations 01)"},
        {{"--device", "/dev/null", "--baud", "14400"},
         "--baud with --device takes 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200"},
        {{"--init", TempPath("no-such-file")}, "--init cannot read"},
        {{"--tcp", "65536"}, "--tcp takes a TCP port, 0 to 65535 (0: a free one)"},
        {{"--tcp", "0", "--device", "/dev/null"}, "--tcp goes without --link and --device"},
    };
    for (const auto &test : cases) {
        std::string said;
        EXPECT_EQ(RunToEnd(test.args, said), 2) << test.args[0];
        EXPECT_NE(said.find(test.said), std::string::npos) << said;
    }
}

// A bad line of an --init file is reported by the file's name and the line's
// number, as compilers report theirs, so that an editor can go to it.
TEST(FpsimProgram, AnInitFileErrorNamesItsFileAndLine) {
    const std::string init = TempPath("errors.init");
    const struct {
        std::string contents;
        std::vector<std::string> more;
        const char *where;
        const char *what;
    } cases[] = {
        {"# comment\n\nDT1=2\nDT99999=1\n",
         {},
         ":4: ",
         "'DT99999=1': no DT99999 in this controller (DT0 to DT10239)"},
        {"DT1=70000  # too big\n", {}, ":1: ", "'DT1=70000': the value must be a 16-bit number"},
        {"LD1=1\r\nQQ1=1\r\n", {}, ":2: ", "'QQ1=1': expected AREA NUMBER=VALUE"},
        {"DT1=1\n05:DT1=1\n",
         {"--station", "01"},
         ":2: ",
         "'05:DT1=1': station 05 is not on the line (stations 01)"},
        {"LD127=1\nLD128=1\n",
         {"--profile", "small"},
         ":2: ",
         "'LD128=1': no LD128 in this controller (LD0 to LD127)"},
        // A byte-order mark and blanks around "=" are no errors: the first
        // bad line is the one after them.
        {"\xEF\xBB\xBF"
         "DT1=2\nDT99999=1\n",
         {},
         ":2: ",
         "'DT99999=1': no DT99999"},
        {"DT101 = 5\nSR4 =\t1\nDT102 = 5 6\n", {}, ":3: ", "'DT102 = 5 6': the value must be"},
    };
    for (const auto &test : cases) {
        WriteFile(init, test.contents);
        std::vector<std::string> args = {"--init", init};
        args.insert(args.end(), test.more.begin(), test.more.end());
        std::string said;
        EXPECT_EQ(RunToEnd(args, said), 2) << test.contents;
        // The report starts with FILE:LINE, on a line of its own.
        EXPECT_EQ(said.rfind(init + test.where + test.what, 0), 0u) << said;
    }
    unlink(init.c_str());
}

// Every bad line of every --init file is reported, each on a line of its own
// and in order, and nothing starts.
TEST(FpsimProgram, EveryBadInitLineIsReported) {
    const std::string first = TempPath("first.init");
    const std::string second = TempPath("second.init");
    WriteFile(first, "DT1=1\nQQ1=1\nDT2=2\nDT3=x\n");
    WriteFile(second, "# ok\nDT99999=1\n");
    std::string said;
    EXPECT_EQ(RunToEnd({"--init", first, "--set", "DT4=70000", "--init", second}, said), 2);
    EXPECT_EQ(said, first +
                        ":2: 'QQ1=1': expected AREA NUMBER=VALUE, e.g. DT100=1234 (areas DT D " +
                        "FL F LD SR SV EV X Y R L T C)\n" + first +
                        ":4: 'DT3=x': the value must be a 16-bit number (-32768 to 65535)\n" +
                        "fpsim: --set 'DT4=70000': the value must be a 16-bit number (-32768 to " +
                        "65535)\n" + second +
                        ":2: 'DT99999=1': no DT99999 in this controller (DT0 to DT10239)\n");
    // UTF-16 text is named as such rather than refused line by line.
    WriteFile(first, std::string("\xFF\xFE"
                                 "D\0T\0"
                                 "1\0=\0"
                                 "1\0\n\0",
                                 14));
    EXPECT_EQ(RunToEnd({"--init", first}, said), 2);
    EXPECT_NE(said.find("the file is UTF-16 text; save it as UTF-8"), std::string::npos) << said;
    unlink(first.c_str());
    unlink(second.c_str());
}

TEST(FpsimProgram, LateDoubledAnswersOnAChatteringLine) {
    const std::string link = TempPath("noisy");
    FILE *out = nullptr;
    const pid_t pid = StartFpsim({"--link", link, "--zero", "--answer-delay", "100", "--chatter",
                                  "10", "--fault", "double:20"},
                                 out);
    ASSERT_GT(pid, 0);
    const std::string banner = ReadLine(out);
    EXPECT_NE(banner.find("answers 100 ms late, noise every 10 ms"), std::string::npos) << banner;
    {
        TestPort port(link);
        ASSERT_TRUE(port.IsOpen());
        const auto before = std::chrono::steady_clock::now();
        port.Write(Request("01", "RDD0000000000"));
        for (int copy = 0; copy < 2; ++copy) {
            const std::string heard = port.ReadFrame(std::chrono::milliseconds(2000));
            const size_t start = heard.find('%');
            ASSERT_NE(start, std::string::npos) << heard;
            EXPECT_EQ(heard.find_first_not_of('~'), start) << heard;
            EXPECT_EQ(heard.substr(start), Answer("01", "RD0000")) << copy;
        }
        EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 0);
    fclose(out);
}

}  // namespace
