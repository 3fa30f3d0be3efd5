// The Windows DLL under wine, with the controller simulator a Windows program
// too, in the lane that the command line names (wine64: the win64 build under
// wine64, wine32: the win32 build under wine; see wine/lane_settings.h). Two pseudo-terminals that
// socat joins stand for two COM ports joined like a null-modem cable, as a null-modem emulator
// joins them on Windows: wine's prefix maps them as COM5 and COM7 (and a second pair as COM6 and
// COM8). fpsim.exe serves COM7 and the Windows host program, which loads
// qivma.dll, or qivma.exe opens COM5; every read, write and fault crosses the
// pair between two Windows programs.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fpsim/test_frames.h"
#include "tools/fpsim/frame.h"
#include "wine/lane_processes.h"
#include "wine/lane_settings.h"

namespace {

using wine_lane::NullModemPair;
using wine_lane::SimulatorProgram;

using wine_lane::TheLane;

// The host's ports, and across each null-modem pair the simulator's.
constexpr int kHostPort = 5;
constexpr int kOtherHostPort = 6;
constexpr int kSimulatorPort = 7;
constexpr int kOtherSimulatorPort = 8;

pid_t Spawn(const std::vector<std::string> &arguments, int in, int out) {
    return wine_lane::Spawn(TheLane(), arguments, in, out);
}

std::string Output(const std::vector<std::string> &arguments, int *exitCode = nullptr) {
    return wine_lane::Output(TheLane(), arguments, exitCode);
}

// The output with times blanked: they differ from run to run. JSON carries
// them as "ms": 12.3, the trace as "12.3 ms" from the operation's start, a
// scan as "in 1.2 s". The trace pads its times to a column, so the padding
// goes with them: 9.7 and 10.3 take different widths.
std::string WithoutTimes(std::string text) {
    text = std::regex_replace(text, std::regex("\"ms\": [0-9.]+"), "\"ms\": ?");
    text = std::regex_replace(text, std::regex("in [0-9]+\\.[0-9] s"), "in ? s");
    return std::regex_replace(text, std::regex(" *[0-9]+\\.[0-9] ms"), " ? ms");
}

std::string ComName(int n) {
    return "COM" + std::to_string(n);
}

// Points wine's COM<n> at a device.
void MapComPort(int n, const std::string &device) {
    const std::string link = TheLane().prefix + "/dosdevices/com" + std::to_string(n);
    unlink(link.c_str());
    ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0) << link;
}

std::string TempPath(const std::string &name) {
    return ::testing::TempDir() + "qivma-wine-" + std::to_string(getpid()) + "-" + name;
}

// The machine that a prefix was made for: "win64" or "win32", as wine notes
// it in the registry ("#arch=win64"); "" if the prefix has no registry.
std::string PrefixArch(const std::string &prefix) {
    std::ifstream registry(prefix + "/system.reg");
    for (std::string line; std::getline(registry, line);) {
        if (line.rfind("#arch=", 0) == 0)
            return line.substr(6);
    }
    return "";
}

// fpsim.exe serving COM<port>, every frame logged. The ports have no parity
// here: see WineSuite.
std::unique_ptr<SimulatorProgram> StartFpsimExe(int port, std::vector<std::string> options) {
    static int runs = 0;
    std::vector<std::string> command = {
        TheLane().wine, TheLane().bin + "/fpsim.exe", "--device", ComName(port), "--parity", "none",
        "--verbose"};
    command.insert(command.end(), options.begin(), options.end());
    return std::make_unique<SimulatorProgram>(
        TheLane(), command, TempPath("fpsim-exe-" + std::to_string(++runs) + ".log"));
}

// Stops a simulator with Ctrl-C, as a person does, and checks that it stopped
// cleanly; returns the frames that it logged.
std::vector<std::string> StopAndCollect(SimulatorProgram &simulator, const char *request) {
    std::string farewell;
    EXPECT_EQ(simulator.Stop(&farewell), 0) << simulator.Diagnostics();
    EXPECT_EQ(farewell, std::string("fpsim: stopped (") + request + ")");
    return simulator.Frames();
}

// How fpsim logs a request that it received.
std::string Received(const std::string &station, const std::string &command) {
    return "<- " + fpsim::Printable(Request(station, command));
}

bool Contains(const std::vector<std::string> &frames, const std::string &text) {
    return std::any_of(frames.begin(), frames.end(), [&](const std::string &frame) {
        return frame.find(text) != std::string::npos;
    });
}

// The Windows host program, one command and one answer line at a time.
class WinHost {
  public:
    WinHost() {
        int toHost[2], fromHost[2];
        if (pipe2(toHost, O_CLOEXEC) != 0 || pipe2(fromHost, O_CLOEXEC) != 0)
            return;
        pid_ =
            Spawn({TheLane().wine, TheLane().bin + "/qivma_win_host.exe"}, toHost[0], fromHost[1]);
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
        wine_lane::Wait(pid_);
    }
    std::string Send(const std::string &command) {
        fprintf(in_, "%s\n", command.c_str());
        fflush(in_);
        return Line();
    }
    int Status(const std::string &command) {
        const std::string reply = Send(command);
        if (reply.rfind("status ", 0) == 0)
            return atoi(reply.c_str() + 7);
        // No status: the host program said why, or ended; the reader is told
        // which, and the host's exit status.
        ADD_FAILURE() << "the host program answered '" << command << "' with '" << reply << "'"
                      << (reply.empty() ? ", having ended: " + Ended() : "");
        return -1;
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

    // How the host program ended, once its output has closed.
    std::string Ended() {
        const int code = wine_lane::Wait(pid_);
        pid_ = -1;
        return code == -1 ? "killed by a signal, or not started"
                          : "exit status " + std::to_string(code);
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
        const wine_lane::Lane &lane = TheLane();
        // A prefix of the other machine (one that an older suite made without
        // WINEARCH) is made again: wine would run nothing in it.
        const std::string found = PrefixArch(lane.prefix);
        if (!found.empty() && found != lane.arch) {
            printf("%s: %s is a %s prefix; making it again for %s\n", lane.name.c_str(),
                   lane.prefix.c_str(), found.c_str(), lane.arch.c_str());
            wine_lane::Wait(Spawn({lane.wineserver, "-k"}, -1, -1));
            std::error_code ignored;
            std::filesystem::remove_all(lane.prefix, ignored);
        }
        struct stat info;
        if (stat((lane.prefix + "/system.reg").c_str(), &info) != 0) {
            const auto start = std::chrono::steady_clock::now();
            mkdir(lane.prefix.c_str(), 0755);
            Output({lane.wine, "wineboot", "-i"});
            // The registry reaches its files when the server saves it, as it ends.
            wine_lane::Wait(Spawn({lane.wineserver, "-w"}, -1, -1));
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            printf("%s: made the %s prefix %s in %.1f s\n", lane.name.c_str(), lane.arch.c_str(),
                   lane.prefix.c_str(), took.count());
        }
        prefixArch_ = PrefixArch(lane.prefix);
        // One wine server for the whole suite: each program then starts at once.
        wine_lane::Wait(Spawn({lane.wineserver, "-p"}, -1, -1));
        pair_ = new NullModemPair(lane, TempPath("pair"));
        otherPair_ = new NullModemPair(lane, TempPath("other-pair"));
        if (pair_->Running() && otherPair_->Running()) {
            MapComPort(kHostPort, pair_->End(0));
            MapComPort(kSimulatorPort, pair_->End(1));
            MapComPort(kOtherHostPort, otherPair_->End(0));
            MapComPort(kOtherSimulatorPort, otherPair_->End(1));
        }
    }
    static void TearDownTestSuite() {
        delete pair_;
        delete otherPair_;
        pair_ = otherPair_ = nullptr;
        wine_lane::Wait(Spawn({TheLane().wineserver, "-k"}, -1, -1));
    }

    void SetUp() override {
        // Wine runs nothing with a WINEARCH that is not its prefix's.
        ASSERT_EQ(prefixArch_, TheLane().arch)
            << TheLane().prefix << " is not a " << TheLane().arch << " prefix: remove it";
        ASSERT_TRUE(pair_->Running()) << pair_->Said();
        ASSERT_TRUE(otherPair_->Running()) << otherPair_->Said();
    }

    // fpsim.exe on the simulator's end of the first pair (or of the other),
    // running once it has said so. It keeps to the line's rate (19200 bit/s
    // unless the test sets another), hearing each request and sending each
    // answer in their line time, as a controller does: wine reports its
    // ports as serial ports, so the driver takes the line as one that keeps
    // to its rate, and an answer that came back faster than a line can carry
    // it could be judged to have begun before its request had gone out.
    std::unique_ptr<SimulatorProgram> Simulator(std::vector<std::string> options,
                                                int port = kSimulatorPort) {
        if (std::find(options.begin(), options.end(), "--baud") == options.end())
            options.insert(options.begin(), {"--baud", "19200"});
        auto simulator = StartFpsimExe(port, std::move(options));
        EXPECT_NE(simulator->Banner().find("on " + ComName(port) + " (a serial device)"),
                  std::string::npos)
            << simulator->Banner() << simulator->Diagnostics();
        return simulator;
    }

    static std::string prefixArch_;
    static NullModemPair *pair_;
    static NullModemPair *otherPair_;
};

std::string WineSuite::prefixArch_;
NullModemPair *WineSuite::pair_ = nullptr;
NullModemPair *WineSuite::otherPair_ = nullptr;

// The lane runs the build that it names, in a prefix of the same machine: a
// 64-bit lane that ran the 32-bit programs (or a 32-bit prefix) would prove
// nothing about the other build.
TEST_F(WineSuite, TheProgramsAndThePrefixAreOfTheLanesMachine) {
    const wine_lane::Lane &lane = TheLane();
    for (const std::string &program : wine_lane::WindowsPrograms()) {
        EXPECT_EQ(wine_lane::PeMachineOfFile(lane.bin + "/" + program), lane.PeMachine())
            << program;
    }
    EXPECT_EQ(PrefixArch(lane.prefix), lane.arch);
    // The Linux tool that qivma.exe is compared with has the same layouts.
    EXPECT_EQ(wine_lane::KindOfFile(lane.linuxTool),
              lane.Is64() ? wine_lane::ProgramKind::kX8664Elf : wine_lane::ProgramKind::kI386Elf)
        << lane.linuxTool;
}

TEST_F(WineSuite, TheDllAnswersAsAHostLoadsIt) {
    WinHost host;
    // The instance size of the build's own pointer size.
    EXPECT_EQ(host.Send("info"), "status 0 version 70 size " +
                                     std::to_string(TheLane().InstanceSize()) + " name Matsushita");
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
    auto simulator = Simulator({"--zero", "--station", "01", "--station", "05"});
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

    // What the controller refuses, and a station that is not there.
    ASSERT_EQ(host.Status("parse 01X0001 0 0"), 0);
    EXPECT_EQ(host.Status("write 0 1"), 1);
    ASSERT_EQ(host.Status("parse 07D00100 0 0"), 0);
    int status = -1;
    EXPECT_EQ(host.Read(&status), (std::vector<int>{0, 0}));
    EXPECT_EQ(status, 2);
    EXPECT_EQ(host.Status("end"), 0);

    // The writes reached the registers and contacts that they name, as the
    // simulator heard them (data words low byte first: 4660 is 0x1234, 555
    // is 0x022B; R0012 bit 0 is contact R0120), and station 07 got no answer.
    const std::vector<std::string> frames = StopAndCollect(*simulator, "Ctrl-C");
    for (const std::string &request :
         {Received("01", "WDD00100001003412"), Received("05", "WDD00100001002B02"),
          Received("01", "WCSR01201")}) {
        EXPECT_TRUE(Contains(frames, request)) << request;
    }
    EXPECT_TRUE(Contains(frames, "not answered (station 07)"));
}

TEST_F(WineSuite, EveryFaultOfTheLine) {
    WinHost host;
    // A time-out of 100 ms: the status of a faulted answer tells what came
    // within the time-out, and a busy machine (wine, socat and the simulator
    // all wanting a core) must not push a prompt answer past it.
    ASSERT_EQ(host.Status("start COM5 10 0"), 0);
    ASSERT_EQ(host.Status("parse 01D00007 0 0"), 0);
    const struct {
        const char *fault;
        int status;  // when every answer has it
    } faults[] = {
        // Late within the horizon (200 ms), behind stray bytes, or twice:
        // still the answer. A fault once leaves an attempt unanswered, so
        // the station is doubtful at the next read, and its attempts send
        // the status request until it is answered: where that answer is
        // spoiled too, the read is never sent, and the last attempt's answer
        // gives the status.
        {"no-answer", 2},     {"late:150", 0}, {"truncated", 1}, {"corrupt", 1}, {"bad-bcc", 1},
        {"wrong-station", 1}, {"error", 1},    {"stray", 0},     {"double", 0},
    };
    const std::vector<int> value = {0, 0x1234}, none = {0, 0};
    for (const auto &f : faults) {
        // The first answer faulted: the driver's next attempt mends it. Then
        // every answer faulted.
        for (const bool everyAnswer : {false, true}) {
            auto simulator = Simulator({"--zero", "--set", "DT7=0x1234",
                                        everyAnswer ? "--fault-every" : "--fault",
                                        (everyAnswer ? "1:" : "") + std::string(f.fault)});
            const int expected = everyAnswer ? f.status : 0;
            int status = -1;
            EXPECT_EQ(host.Read(&status), expected == 0 ? value : none) << f.fault;
            EXPECT_EQ(status, expected) << f.fault << (everyAnswer ? " on every answer" : "");
            const std::vector<std::string> frames = StopAndCollect(*simulator, "Ctrl-C");
            const std::string kind = std::string(f.fault).substr(0, std::string(f.fault).find(':'));
            EXPECT_TRUE(Contains(frames, "fault: " + kind)) << f.fault;
        }
        // A station that answers again brings the channel back in step.
        auto simulator = Simulator({"--zero", "--set", "DT7=0x1234"});
        int status = -1;
        EXPECT_EQ(host.Read(&status), value) << f.fault << ": the channel recovers";
        EXPECT_EQ(status, 0) << f.fault << ": the channel recovers";
        StopAndCollect(*simulator, "Ctrl-C");
    }
    EXPECT_EQ(host.Status("end"), 0);
}

TEST_F(WineSuite, AChannelsLife) {
    auto simulator = Simulator({"--zero"});
    auto other = Simulator({"--zero", "--set", "DT1=77"}, kOtherSimulatorPort);
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

// At a given rate fpsim.exe sends each character when a line at that rate
// would have carried it: an answer of 27 words (117 characters, 10 bits each
// without parity) takes 122 ms at 9600 bit/s, after the scan of 2 ms (and
// after the request's own line time, which the simulator counts from the
// request's first byte).
TEST_F(WineSuite, APacedLineTakesItsTime) {
    auto simulator = Simulator({"--baud", "9600"});
    WinHost host;
    ASSERT_EQ(host.Status("start COM5 40 0"), 0);
    ASSERT_EQ(host.Status("parse 01D00000 0 27"), 0);
    int status = -1;
    const std::vector<int> words = host.Read(&status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(words.size(), 27u);
    EXPECT_EQ(words[26], 26) << "the start-up pattern: DT n holds n";
    EXPECT_EQ(host.Status("end"), 0);

    std::string farewell;
    EXPECT_EQ(simulator->Stop(&farewell), 0);
    // "     12.345 ms <- %01#RDD...": the request's end, then the answer's.
    std::vector<double> times;
    std::istringstream log(simulator->Diagnostics());
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("fpsim ", 0) == 0)
            times.push_back(atof(line.c_str() + 6));
    }
    ASSERT_EQ(times.size(), 2u) << simulator->Diagnostics();
    const double lineMs = 117 * 10 * 1000.0 / 9600;
    EXPECT_GE(times[1] - times[0], 2 + lineMs - 0.01) << simulator->Diagnostics();
}

// fpsim.exe on its command line: what Windows has and has not (no
// pseudo-terminal, so no --link and a COM port required), and a port that is
// not there.
TEST_F(WineSuite, FpsimExeSaysWhatItServesOnWindows) {
    const struct {
        std::vector<std::string> args;
        int code;
        const char *said;
    } cases[] = {
        {{"--help"}, 0, "usage: fpsim --device COMn"},
        {{"--help"}, 0, "not on Windows: fpsim creates no pseudo-terminal here"},
        {{}, 2, "no COM port to serve: give --device COMn"},
        {{"--link", "plc0"}, 2, "--link is not available on Windows"},
        {{"--device", "COM7", "--station", "EE"}, 2, "--station takes two hexadecimal digits"},
        {{"--device", "COM42"}, 1, "fpsim: cannot open COM42"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> command = {TheLane().wine, TheLane().bin + "/fpsim.exe"};
        command.insert(command.end(), c.args.begin(), c.args.end());
        int code = -1;
        const std::string said = wine_lane::Output(TheLane(), command, &code, true);
        EXPECT_EQ(code, c.code) << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
}

// The Windows tool's help offers what works there: COM ports, and --sim and
// demo through --sim-port to fpsim.exe; not the built-in simulator's options.
TEST_F(WineSuite, TheWindowsToolsHelpIsItsOwn) {
    int code = -1;
    const std::string help = Output({TheLane().wine, TheLane().bin + "/qivma.exe", "help"}, &code);
    EXPECT_EQ(code, 0);
    for (const char *present :
         {"--port DEVICE", "COM3", "--sim ", "--sim-port COMn", "fpsim.exe", "demo --sim-port"})
        EXPECT_NE(help.find(present), std::string::npos) << present << "\n" << help;
    for (const char *absent : {"/dev/", "--sim-station", "--sim-fault", "built-in controller"})
        EXPECT_EQ(help.find(absent), std::string::npos) << absent << "\n" << help;
    const std::string demoHelp =
        Output({TheLane().wine, TheLane().bin + "/qivma.exe", "help", "demo"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(demoHelp.find("fpsim.exe through --sim-port"), std::string::npos) << demoHelp;

    // The Linux tool keeps its own: the built-in simulator, and no --sim-port.
    const std::string linuxHelp = Output({TheLane().linuxTool, "help"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(linuxHelp.find("--sim-station"), std::string::npos) << linuxHelp;
    EXPECT_EQ(linuxHelp.find("--sim-port"), std::string::npos) << linuxHelp;
}

// Without --sim-port, --sim and demo say how to set fpsim.exe up; the built-in
// simulator's options go to fpsim.exe instead; the Linux tool has no use for
// --sim-port. Each is a command line that cannot be followed.
TEST_F(WineSuite, TheSimulatorOnWindowsNeedsItsPort) {
    const std::string wine = TheLane().wine;
    const std::string windows = TheLane().bin + "/qivma.exe";
    const struct {
        std::vector<std::string> command;
        std::vector<std::string> said;
    } cases[] = {
        {{wine, windows, "--sim", "read", "01D00100"},
         {"no --sim-port", "null-modem pair", "fpsim.exe --device COM7",
          "qivma --sim --sim-port COM6", "docs/HOSTS.md"}},
        {{wine, windows, "demo"},
         {"no --sim-port", "fpsim.exe --device COM7", "qivma demo --sim-port COM6"}},
        {{wine, windows, "--sim", "--sim-port", "COM5", "--sim-station", "05", "read", "01D00100"},
         {"give them to fpsim.exe instead"}},
        {{wine, windows, "--sim", "--sim-port", "COM5", "--sim-fault", "late", "read", "01D00100"},
         {"give them to fpsim.exe instead"}},
        {{wine, windows, "--sim-port", "COM5", "read", "01D00100"}, {"--sim-port goes with --sim"}},
        {{wine, windows, "read", "01D00100"}, {"or --sim --sim-port COMn for fpsim.exe"}},
        {{TheLane().linuxTool, "--sim", "--sim-port", "COM5", "read", "01D00100"},
         {"--sim-port is for the Windows tool"}},
    };
    for (const auto &c : cases) {
        int code = -1;
        const std::string said = wine_lane::Output(TheLane(), c.command, &code, true);
        EXPECT_EQ(code, 2) << c.command.back() << "\n" << said;
        for (const std::string &text : c.said)
            EXPECT_NE(said.find(text), std::string::npos) << text << "\n" << said;
    }
}

// qivma.exe --sim goes through --sim-port to fpsim.exe at the pair's far end,
// says so, and reads what fpsim.exe holds; demo runs there to its end.
TEST_F(WineSuite, TheWindowsToolsSimulatorIsFpsimExe) {
    auto simulator = Simulator({"--zero", "--set", "DT100=4321"});
    const std::string port = ComName(kHostPort);
    int code = -1;
    const std::string read =
        wine_lane::Output(TheLane(),
                          {TheLane().wine, TheLane().bin + "/qivma.exe", "--sim", "--sim-port",
                           port, "--parity", "none", "read", "01D00100"},
                          &code, true);
    EXPECT_EQ(code, 0) << read;
    EXPECT_NE(read.find("4321"), std::string::npos) << read;
    EXPECT_NE(read.find("qivma: --sim: using COM5; the simulator is fpsim.exe, serving the "
                        "other end of COM5's null-modem pair"),
              std::string::npos)
        << read;

    const std::string demo = wine_lane::Output(TheLane(),
                                               {TheLane().wine, TheLane().bin + "/qivma.exe",
                                                "demo", "--sim-port", port, "--parity", "none"},
                                               &code, true);
    EXPECT_EQ(code, 0) << demo;
    for (const char *text :
         {"fpsim.exe plays station 01 at the far end of COM5", "cannot set faults in",
          "# and read it back", "# a station that is not there", "no answer"})
        EXPECT_NE(demo.find(text), std::string::npos) << text << "\n" << demo;

    // The demo's write reached fpsim.exe, and station 07 went unanswered there.
    const std::vector<std::string> frames = StopAndCollect(*simulator, "Ctrl-C");
    EXPECT_TRUE(Contains(frames, Received("01", "RDD0010000100"))) << "the read";
    EXPECT_TRUE(Contains(frames, Received("01", "WDD00100001003412"))) << "the demo's write";
    EXPECT_TRUE(Contains(frames, "not answered (station 07)"));
}

// The Windows tool prints what the Linux tool prints for the same commands, and
// fpsim.exe under wine hears and answers the same frames as fpsim on Linux.
TEST_F(WineSuite, TheWindowsToolPrintsWhatTheLinuxToolPrints) {
    const std::vector<std::string> memory = {"--zero", "--station", "01",        "--station",
                                             "05",     "--set",     "DT100=4660"};
    auto windowsSimulator = Simulator(memory);
    // Without parity, as the tools below open their ports: on its
    // pseudo-terminal fpsim on Linux does not hear a master at other settings.
    std::vector<std::string> linuxCommand = {TheLane().linuxFpsim, "--verbose", "--parity", "none"};
    linuxCommand.insert(linuxCommand.end(), memory.begin(), memory.end());
    SimulatorProgram linuxSimulator(TheLane(), linuxCommand, TempPath("fpsim-linux.log"));
    // "fpsim: station 01 05 on /dev/pts/3, no pacing, large profile"
    const std::string &banner = linuxSimulator.Banner();
    const size_t on = banner.find(" on /dev/");
    ASSERT_NE(on, std::string::npos) << banner << linuxSimulator.Diagnostics();
    const std::string linuxPort = banner.substr(on + 4, banner.find(',', on) - on - 4);

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
        std::vector<std::string> windows = {TheLane().wine, TheLane().bin + "/qivma.exe"};
        std::vector<std::string> linux = {TheLane().linuxTool};
        // info and check use no line, and refuse the line's options.
        if (command.front() != "info" && command.front() != "check") {
            windows.insert(windows.end(), {"--port", ComName(kHostPort), "--parity", "none"});
            linux.insert(linux.end(), {"--port", linuxPort, "--parity", "none"});
        }
        windows.insert(windows.end(), command.begin(), command.end());
        linux.insert(linux.end(), command.begin(), command.end());
        int windowsCode = -1, linuxCode = -1;
        const std::string fromWindows = Output(windows, &windowsCode);
        const std::string fromLinux = Output(linux, &linuxCode);
        EXPECT_EQ(WithoutTimes(fromWindows), WithoutTimes(fromLinux)) << command.back();
        EXPECT_EQ(windowsCode, linuxCode) << command.back();
        EXPECT_FALSE(fromLinux.empty()) << command.back();
    }

    // Every frame, in order, with what the simulator made of it.
    const std::vector<std::string> fromWindows = StopAndCollect(*windowsSimulator, "Ctrl-C");
    const std::vector<std::string> fromLinux = StopAndCollect(linuxSimulator, "Interrupt");
    EXPECT_EQ(fromWindows, fromLinux);
    EXPECT_TRUE(Contains(fromLinux, "-> " + fpsim::Printable(Answer("01", "RD3412"))));
}

}  // namespace
