// The Windows DLL under wine, driven by a Windows host program through COM
// ports that wine maps to the simulator's pseudo-terminals. The simulator runs
// here, natively, in this process.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/fpsim/simulator.h"

extern char **environ;

namespace {

const std::string kBin = QIVMA_WINDOWS_BIN_DIR;
const std::string kPrefix = QIVMA_WINE_PREFIX;

std::vector<std::string> WineEnvironment() {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("WINE", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("WINEPREFIX=" + kPrefix);
    env.push_back("WINEDEBUG=-all");
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    return env;
}

// Runs a program with wine's environment; standard input and output through
// the given descriptors (-1: none), standard error discarded.
pid_t Spawn(const std::vector<std::string> &arguments, int in, int out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0)
        posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env = WineEnvironment();
    std::vector<char *> argv, envp;
    std::vector<std::string> args = arguments;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program to its end and returns what it printed; Windows programs
// end their lines with CR LF in text mode, read here as LF.
std::string Output(const std::vector<std::string> &arguments, int *exitCode = nullptr) {
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    const pid_t pid = Spawn(arguments, -1, fds[1]);
    close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    const int code = Wait(pid);
    if (exitCode != nullptr)
        *exitCode = code;
    std::string lf;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            lf += text[i];
    }
    return lf;
}

// The output with times blanked: they differ from run to run. JSON carries
// them as "ms": 12.3, the trace as "12.3 ms" from the operation's start, a
// scan as "in 1.2 s".
std::string WithoutTimes(std::string text) {
    text = std::regex_replace(text, std::regex("\"ms\": [0-9.]+"), "\"ms\": ?");
    text = std::regex_replace(text, std::regex("in [0-9]+\\.[0-9] s"), "in ? s");
    return std::regex_replace(text, std::regex("[0-9]+\\.[0-9] ms"), "? ms");
}

// Points wine's COM<n> at a device.
void MapComPort(int n, const std::string &device) {
    const std::string link = kPrefix + "/dosdevices/com" + std::to_string(n);
    unlink(link.c_str());
    ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0) << link;
}

std::unique_ptr<fpsim::Simulator> StartSimulator() {
    fpsim::Options options;
    options.stations = {"01", "05"};
    options.zeroMemory = true;
    auto simulator = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    EXPECT_TRUE(simulator->Start(&error)) << error;
    return simulator;
}

// The Windows host program, one command and one answer line at a time.
class WinHost {
  public:
    WinHost() {
        int toHost[2], fromHost[2];
        if (pipe(toHost) != 0 || pipe(fromHost) != 0)
            return;
        pid_ = Spawn({"wine", kBin + "/qivma_win_host.exe"}, toHost[0], fromHost[1]);
        close(toHost[0]);
        close(fromHost[1]);
        in_ = fdopen(toHost[1], "w");
        out_ = fdopen(fromHost[0], "r");
    }
    ~WinHost() {
        if (in_ != nullptr) {
            fputs("quit\n", in_);
            fclose(in_);
        }
        if (out_ != nullptr)
            fclose(out_);
        if (pid_ > 0)
            Wait(pid_);
    }
    std::string Send(const std::string &command) {
        fprintf(in_, "%s\n", command.c_str());
        fflush(in_);
        return Line();
    }
    int Status(const std::string &command) {
        const std::string reply = Send(command);
        return reply.rfind("status ", 0) == 0 ? atoi(reply.c_str() + 7) : -1;
    }
    // "status S words ..." of a read, as the words.
    std::vector<int> Read(int *status) {
        std::istringstream reply(Send("read"));
        std::string word;
        reply >> word >> *status >> word;
        std::vector<int> words;
        int value;
        while (reply >> value)
            words.push_back(value);
        return words;
    }
    // The driver's messages since the last call: "CATEGORY|FORMAT|MESSAGE".
    std::vector<std::string> Log() {
        fputs("log\n", in_);
        fflush(in_);
        std::vector<std::string> lines;
        for (std::string line = Line(); line != "end" && !line.empty(); line = Line()) {
            lines.push_back(line);
        }
        return lines;
    }

  private:
    std::string Line() {
        char buffer[4096];
        if (out_ == nullptr || fgets(buffer, sizeof buffer, out_) == nullptr)
            return "";
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        return line;
    }

    pid_t pid_ = -1;
    FILE *in_ = nullptr;
    FILE *out_ = nullptr;
};

// The ports open without parity here: a pseudo-terminal cannot keep it (the
// kernel clears it), and wine's reconfiguration of a COM port then fails
// where the C library reports the cleared bit as an error. The Linux driver
// sets its lines through termios2 and is not affected.
class WineSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        struct stat info;
        if (stat((kPrefix + "/system.reg").c_str(), &info) != 0) {
            mkdir(kPrefix.c_str(), 0755);
            Output({"wineboot", "-i"});
        }
        // One wine server for the whole suite: each program then starts at once.
        Wait(Spawn({"wineserver", "-p"}, -1, -1));
    }
    static void TearDownTestSuite() { Wait(Spawn({"wineserver", "-k"}, -1, -1)); }

    void SetUp() override {
        simulator_ = StartSimulator();
        other_ = StartSimulator();
        MapComPort(5, simulator_->DevicePath());
        MapComPort(6, other_->DevicePath());
    }

    std::unique_ptr<fpsim::Simulator> simulator_, other_;
};

TEST_F(WineSuite, TheDllAnswersAsAHostLoadsIt) {
    WinHost host;
    EXPECT_EQ(host.Send("info"), "status 0 version 70 size 4180 name Matsushita");
    EXPECT_EQ(host.Status("start COM5 4 0"), 0);
    EXPECT_EQ(host.Status("end"), 0);
    // Every message reaches the host's err with category 32. Wine's modem-line
    // calls fail on a pseudo-terminal, as Linux's do: RTS and DTR are logged.
    const std::vector<std::string> log = host.Log();
    const std::vector<std::string> expected = {
        "32|Qiv%s%02d: ColdStart() entered|QivMatsushita01: ColdStart() entered",
        "32|EscapeCommFunction fail (RTS)|EscapeCommFunction fail (RTS)",
        "32|QIV%s%02d : ColdStart() end OK|QIVMatsushita01 : ColdStart() end OK",
        "32|EscapeCommFunction fail (DTR)|EscapeCommFunction fail (DTR)",
        "32|EscapeCommFunction fail (RTS)|EscapeCommFunction fail (RTS)",
        "32|QIV%s %02d : EndQiv()|QIVMatsushita 01 : EndQiv()",
        "32|QIV%s %02d : No. of Instances left: %d|QIVMatsushita 01 : No. of Instances left: 0",
    };
    EXPECT_EQ(log, expected);
}

TEST_F(WineSuite, ReadsAndWritesOfEveryKind) {
    WinHost host;
    ASSERT_EQ(host.Status("start COM5 4 0"), 0);
    const struct {
        const char *tag;  // address, type, count
        const char *write;
        std::vector<int> read;
    } cases[] = {
        {"01D00100 0 0", "0 4660", {0, 4660}},
        {"01D00101 0 0", "0 -1", {0, -1}},
        {"01F00007 0 0", "0 -32768", {0, -32768}},
        {"01E00200 3 0", "22136 4660", {22136, 4660}},
        {"01G00010 3 0", "-1 32767", {-1, 32767}},
        {"01Y0002F 6 0", "0 1", {0, 1}},
        {"01R00120 6 0", "0 1", {0, 1}},
        {"01S0005 0 0", "0 1000", {0, 1000}},
        {"01V0005 0 0", "0 3", {0, 3}},
        {"01D00000 0 3", "7 8 9", {7, 8, 9}},
        {"01E00010 3 2", "1 2 3 4", {1, 2, 3, 4}},
        {"05D00100 0 0", "0 555", {0, 555}},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(host.Status(std::string("parse ") + c.tag), 0) << c.tag;
        EXPECT_EQ(host.Status(std::string("write ") + c.write), 0) << c.tag;
        int status = -1;
        EXPECT_EQ(host.Read(&status), c.read) << c.tag;
        EXPECT_EQ(status, 0) << c.tag;
    }
    EXPECT_EQ(simulator_->ReadWord("01", fpsim::Area::kData, 100), 4660);
    EXPECT_EQ(simulator_->ReadWord("05", fpsim::Area::kData, 100), 555);
    EXPECT_EQ(simulator_->ReadWord("01", fpsim::Area::kR, 12), 1);

    // What the controller refuses, and a station that is not there.
    ASSERT_EQ(host.Status("parse 01X0001 0 0"), 0);
    EXPECT_EQ(host.Status("write 0 1"), 1);
    ASSERT_EQ(host.Status("parse 07D00100 0 0"), 0);
    int status = -1;
    EXPECT_EQ(host.Read(&status), (std::vector<int>{0, 0}));
    EXPECT_EQ(status, 2);
    EXPECT_EQ(host.Status("end"), 0);
}

TEST_F(WineSuite, EveryFaultOfTheLine) {
    simulator_->WriteWord("01", fpsim::Area::kData, 7, 0x1234);
    WinHost host;
    ASSERT_EQ(host.Status("start COM5 4 0"), 0);
    ASSERT_EQ(host.Status("parse 01D00007 0 0"), 0);
    const struct {
        fpsim::FaultKind kind;
        int status;
    } faults[] = {
        // Late within the horizon, or behind stray bytes: still the answer.
        {fpsim::FaultKind::kNoAnswer, 2},        {fpsim::FaultKind::kLate, 0},
        {fpsim::FaultKind::kTruncated, 1},       {fpsim::FaultKind::kCorruptChar, 1},
        {fpsim::FaultKind::kWrongBlockCheck, 1}, {fpsim::FaultKind::kWrongStation, 1},
        {fpsim::FaultKind::kErrorResponse, 1},   {fpsim::FaultKind::kStrayBytes, 0},
    };
    for (const auto &f : faults) {
        fpsim::Fault fault;
        fault.kind = f.kind;
        int status = -1;
        simulator_->FaultOnce(fault);
        EXPECT_EQ(host.Read(&status), (std::vector<int>{0, 0x1234})) << FaultKindName(f.kind);
        EXPECT_EQ(status, 0) << FaultKindName(f.kind);
        simulator_->FaultEvery(1, fault);
        const std::vector<int> expected =
            f.status == 0 ? std::vector<int>{0, 0x1234} : std::vector<int>{0, 0};
        EXPECT_EQ(host.Read(&status), expected) << FaultKindName(f.kind);
        EXPECT_EQ(status, f.status) << FaultKindName(f.kind);
        simulator_->ClearFaults();
    }
    EXPECT_EQ(host.Status("end"), 0);
}

TEST_F(WineSuite, AChannelsLife) {
    other_->WriteWord("01", fpsim::Area::kData, 1, 77);
    WinHost host;
    ASSERT_EQ(host.Status("start COM5 4 0"), 0);
    ASSERT_EQ(host.Status("parse 01D00001 0 0"), 0);
    int status = -1;
    EXPECT_EQ(host.Status("purge"), 0);
    EXPECT_EQ(host.Status("close"), 0);
    host.Read(&status);
    EXPECT_EQ(status, 2) << "no port";
    EXPECT_EQ(host.Status("open"), 0);
    EXPECT_EQ(host.Read(&status), (std::vector<int>{0, 0}));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(host.Status("reconfigure COM6 0"), 0);
    EXPECT_EQ(host.Read(&status), (std::vector<int>{0, 77}));
    EXPECT_EQ(host.Status("reconfigure COM5 0"), 0);
    EXPECT_EQ(host.Read(&status), (std::vector<int>{0, 0}));
    // Windows refuses a second open of a COM port, and the driver's reopen of
    // its own open port fails there with 2. Wine opens it a second time, so
    // under wine the reopen succeeds (and leaks the first handle).
    EXPECT_EQ(host.Status("open"), 0) << "wine allows a second open of a COM port";
    EXPECT_EQ(host.Status("end"), 0);

    EXPECT_EQ(host.Status("start NULLDEV 4 0"), 0);
    host.Read(&status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(host.Status("end"), 0);
}

// The Windows tool's help offers what works there: COM ports, no simulator.
TEST_F(WineSuite, TheWindowsToolsHelpIsItsOwn) {
    int code = -1;
    const std::string help = Output({"wine", kBin + "/qivma.exe", "help"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(help.find("--port DEVICE"), std::string::npos) << help;
    EXPECT_NE(help.find("COM3"), std::string::npos) << help;
    for (const char *absent : {"/dev/", "--sim", "demo"})
        EXPECT_EQ(help.find(absent), std::string::npos) << absent << "\n" << help;
    // What it does not offer is refused as a command line it cannot follow.
    Output({"wine", kBin + "/qivma.exe", "--sim", "read", "01D00100"}, &code);
    EXPECT_EQ(code, 2);
    Output({"wine", kBin + "/qivma.exe", "demo"}, &code);
    EXPECT_EQ(code, 2);
}

// The Windows tool prints what the Linux tool prints for the same commands.
TEST_F(WineSuite, TheWindowsToolPrintsWhatTheLinuxToolPrints) {
    simulator_->WriteWord("01", fpsim::Area::kData, 100, 4660);
    const std::vector<std::vector<std::string>> commands = {
        {"info"},
        {"check", "01E00101", "21D0010"},
        {"--trace", "read", "01D00100", "01E00100", "01R0012A", "05D00000"},
        {"--trace", "write", "01D00100", "-7", "01E00200", "70000", "01Y0001A", "1"},
        {"--json", "read", "01D00000", "--count", "5"},
        {"--trace", "write", "01X0001", "1"},
        {"--json", "--trace", "read", "01D00000", "--count", "30", "--format", "hex"},
        {"write", "01R0012A", "--count", "3", "1", "0", "1"},
        {"read", "01R0012A", "--count", "3"},
        {"scan", "01-06"},
    };
    for (const std::vector<std::string> &command : commands) {
        std::vector<std::string> windows = {"wine", kBin + "/qivma.exe", "--port",
                                            "COM5", "--parity",          "none"};
        std::vector<std::string> linux = {QIVMA_LINUX_TOOL, "--port", simulator_->DevicePath(),
                                          "--parity", "none"};
        windows.insert(windows.end(), command.begin(), command.end());
        linux.insert(linux.end(), command.begin(), command.end());
        int windowsCode = -1, linuxCode = -1;
        const std::string fromWindows = Output(windows, &windowsCode);
        const std::string fromLinux = Output(linux, &linuxCode);
        EXPECT_EQ(WithoutTimes(fromWindows), WithoutTimes(fromLinux)) << command.back();
        EXPECT_EQ(windowsCode, linuxCode) << command.back();
        EXPECT_FALSE(fromLinux.empty()) << command.back();
    }
}

}  // namespace
