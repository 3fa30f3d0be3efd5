// The wine lane's settings and the checks that decide whether this machine
// can run a lane, on files and folders that each test makes.
#include "wine/lane_settings.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using wine_lane::Lane;
using wine_lane::Machine;
using wine_lane::ProgramKind;

// The first 20 bytes of an ELF header: class, byte order, machine.
std::string ElfHeader(unsigned elfClass, unsigned machine, unsigned byteOrder = 1) {
    std::string bytes =
        "\x7f"
        "ELF";
    bytes += static_cast<char>(elfClass);
    bytes += static_cast<char>(byteOrder);
    bytes += '\x01';
    bytes.append(9, '\0');
    bytes += byteOrder == 1 ? std::string("\x02\x00", 2) : std::string("\x00\x02", 2);
    const char low = static_cast<char>(machine & 0xFF), high = static_cast<char>(machine >> 8);
    bytes += byteOrder == 1 ? std::string{low, high} : std::string{high, low};
    return bytes;
}

// A DOS stub whose e_lfanew names `at`, and there "PE\0\0" and the machine.
std::string PeImage(uint16_t machine, size_t at = 0x80,
                    const std::string &signature = {"PE\0\0", 4}) {
    std::string bytes(at, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i)
        bytes[0x3C + i] = static_cast<char>((at >> (8 * i)) & 0xFF);
    bytes += signature;
    bytes += static_cast<char>(machine & 0xFF);
    bytes += static_cast<char>(machine >> 8);
    bytes.append(18, '\0');
    return bytes;
}

// A folder of the test's own, removed with everything in it at the end.
class Scratch {
  public:
    Scratch() {
        char pattern[] = "/tmp/qivma-wine-lane-XXXXXX";
        dir_ = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~Scratch() {
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }
    const std::string &Dir() const { return dir_; }
    // Writes `name` (in subfolders made as needed) and returns its path.
    std::string File(const std::string &name, const std::string &bytes, bool executable = false) {
        const std::string path = dir_ + "/" + name;
        for (size_t slash = path.find('/', dir_.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        std::ofstream(path, std::ios::binary) << bytes;
        chmod(path.c_str(), executable ? 0755 : 0644);
        return path;
    }
    std::string Folder(const std::string &name) {
        const std::string path = dir_ + "/" + name;
        mkdir(path.c_str(), 0755);
        return path;
    }

  private:
    std::string dir_;
};

// Runs TakeLaneOptions on a command line; `rest` gets what is left.
std::string Take(std::vector<std::string> line, Lane &lane, std::vector<std::string> *rest) {
    line.insert(line.begin(), "qivma_wine_tests");
    std::vector<char *> argv;
    for (std::string &word : line)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(line.size());
    const std::string wrong = wine_lane::TakeLaneOptions(argc, argv.data(), lane);
    rest->assign(argv.begin() + 1, argv.begin() + argc);
    EXPECT_EQ(argv[argc], nullptr);
    return wrong;
}

const std::vector<std::string> kWine64Line = {
    "--lane",       "wine64",    "--arch",        "win64",   "--bin",        "/b/bin",
    "--prefix",     "/b/prefix", "--wine",        "wine64",  "--wineserver", "wineserver",
    "--linux-tool", "/l/qivma",  "--linux-fpsim", "/l/fpsim"};

TEST(LaneOptions, AreTakenAndTheRestIsLeftForGoogleTest) {
    std::vector<std::string> line = kWine64Line;
    line.insert(line.begin() + 2, "--gtest_filter=*Fault*");
    line.push_back("--gtest_repeat=2");
    Lane lane;
    std::vector<std::string> rest;
    EXPECT_EQ(Take(line, lane, &rest), "");
    EXPECT_EQ(rest, (std::vector<std::string>{"--gtest_filter=*Fault*", "--gtest_repeat=2"}));
    EXPECT_EQ(lane.name, "wine64");
    EXPECT_EQ(lane.arch, "win64");
    EXPECT_EQ(lane.bin, "/b/bin");
    EXPECT_EQ(lane.prefix, "/b/prefix");
    EXPECT_EQ(lane.wine, "wine64");
    EXPECT_EQ(lane.wineserver, "wineserver");
    EXPECT_EQ(lane.loader, "");
    EXPECT_EQ(lane.linuxTool, "/l/qivma");
    EXPECT_EQ(lane.linuxFpsim, "/l/fpsim");
    EXPECT_TRUE(lane.Is64());
    EXPECT_EQ(lane.InstanceSize(), 4192);
    EXPECT_EQ(lane.PeMachine(), 0x8664);
}

TEST(LaneOptions, TakeTheirValueAfterAnEqualsSignToo) {
    const std::vector<std::string> line = {"--lane=wine32",
                                           "--arch=win32",
                                           "--bin=/w/bin",
                                           "--prefix=/w/p",
                                           "--wine=wine",
                                           "--wine-loader=",
                                           "--wineserver=ws",
                                           "--linux-tool=/l32/qivma",
                                           "--linux-fpsim=/l/fpsim",
                                           "--wine-loader=/usr/lib/wine/wine"};
    Lane lane;
    std::vector<std::string> rest;
    EXPECT_EQ(Take(line, lane, &rest), "");
    EXPECT_TRUE(rest.empty());
    EXPECT_EQ(lane.name, "wine32");
    EXPECT_FALSE(lane.Is64());
    EXPECT_EQ(lane.InstanceSize(), 4180);
    EXPECT_EQ(lane.PeMachine(), 0x014C);
    EXPECT_EQ(lane.loader, "/usr/lib/wine/wine") << "the last one counts";
    EXPECT_EQ(lane.linuxTool, "/l32/qivma");
}

TEST(LaneOptions, SayWhatIsMissingOrWrong) {
    const auto without = [](const std::string &option) {
        std::vector<std::string> line;
        for (size_t i = 0; i < kWine64Line.size(); i += 2) {
            if (kWine64Line[i] != option) {
                line.push_back(kWine64Line[i]);
                line.push_back(kWine64Line[i + 1]);
            }
        }
        return line;
    };
    std::vector<std::string> badArch = kWine64Line;
    badArch[3] = "x64";
    std::vector<std::string> noValue = kWine64Line;
    noValue.pop_back();
    const struct {
        std::vector<std::string> line;
        const char *wrong;
    } cases[] = {
        {without("--lane"), "no --lane"},
        {without("--arch"), "no --arch"},
        {without("--bin"), "no --bin"},
        {without("--prefix"), "no --prefix"},
        {without("--wine"), "no --wine"},
        {without("--wineserver"), "no --wineserver"},
        {without("--linux-tool"), "no --linux-tool"},
        {without("--linux-fpsim"), "no --linux-fpsim"},
        {badArch, "--arch takes win32 or win64, not x64"},
        {noValue, "--linux-fpsim needs a value"},
        {{}, "no --lane"},
    };
    for (const auto &c : cases) {
        Lane lane;
        std::vector<std::string> rest;
        EXPECT_EQ(Take(c.line, lane, &rest), c.wrong);
    }
}

TEST(ProgramKinds, AreToldByTheirFirstBytes) {
    const struct {
        std::string bytes;
        ProgramKind kind;
    } cases[] = {
        {ElfHeader(1, 3), ProgramKind::kI386Elf},
        {ElfHeader(2, 62), ProgramKind::kX8664Elf},
        {ElfHeader(1, 62), ProgramKind::kOtherElf},    // x32: not i386
        {ElfHeader(2, 3), ProgramKind::kOtherElf},     // no 64-bit i386
        {ElfHeader(1, 40), ProgramKind::kOtherElf},    // 32-bit ARM
        {ElfHeader(2, 183), ProgramKind::kOtherElf},   // AArch64
        {ElfHeader(1, 3, 2), ProgramKind::kOtherElf},  // i386 big-endian: no such machine
        {ElfHeader(1, 3).substr(0, 19), ProgramKind::kOther},
        {"#!/bin/sh -e\nexec /usr/lib/wine/wine \"$@\"\n", ProgramKind::kScript},
        {PeImage(0x014C), ProgramKind::kOther},
        {"", ProgramKind::kOther},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(wine_lane::KindOfProgram(cases[i].bytes), cases[i].kind) << "case " << i;
}

TEST(ProgramKinds, OfFiles) {
    Scratch scratch;
    EXPECT_EQ(wine_lane::KindOfFile(scratch.File("loader", ElfHeader(1, 3) + std::string(44, 'x'))),
              ProgramKind::kI386Elf);
    EXPECT_EQ(wine_lane::KindOfFile(scratch.Dir() + "/none"), ProgramKind::kMissing);
    EXPECT_EQ(wine_lane::KindOfFile(""), ProgramKind::kMissing);
    // This test program is the build's own: a 64-bit x86 one.
    EXPECT_EQ(wine_lane::KindOfFile("/proc/self/exe"), ProgramKind::kX8664Elf);
    EXPECT_STREQ(wine_lane::Describe(ProgramKind::kScript), "a script");
    EXPECT_STREQ(wine_lane::Describe(ProgramKind::kX8664Elf), "a 64-bit x86 program");
}

TEST(PeMachine, IsReadWhereTheDosHeaderPoints) {
    const struct {
        std::string bytes;
        uint16_t machine;
    } cases[] = {
        {PeImage(0x8664), 0x8664},
        {PeImage(0x014C), 0x014C},
        {PeImage(0x8664, 0x40), 0x8664},
        {PeImage(0xAA64, 0x100), 0xAA64},
        {PeImage(0x8664, 0x80, std::string("PX\0\0", 4)), 0},
        {PeImage(0x8664).substr(0, 0x83), 0},  // cut short of the machine
        {"ZM" + PeImage(0x8664).substr(2), 0},
        {ElfHeader(2, 62), 0},
        {"", 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(wine_lane::PeMachineOf(cases[i].bytes), cases[i].machine) << "case " << i;

    // e_lfanew far beyond the file.
    std::string far = PeImage(0x8664);
    far[0x3F] = '\x7f';
    EXPECT_EQ(wine_lane::PeMachineOf(far), 0);

    Scratch scratch;
    EXPECT_EQ(wine_lane::PeMachineOfFile(scratch.File("qivma.dll", PeImage(0x8664))), 0x8664);
    EXPECT_EQ(wine_lane::PeMachineOfFile(scratch.Dir() + "/missing.dll"), 0);
}

// Entries as the kernel shows them in /proc/sys/fs/binfmt_misc.
const char kQemuI386[] =
    "enabled\ninterpreter /usr/libexec/qemu-binfmt/i386-binfmt-P\nflags: PF\noffset 0\n"
    "magic 7f454c4601010100000000000000000002000300\n"
    "mask fffffffffffefefcfffffffffffffffffeffffff\n";
const char kQemuX8664[] =
    "enabled\ninterpreter /usr/libexec/qemu-binfmt/x86_64-binfmt-P\nflags: PF\noffset 0\n"
    "magic 7f454c4602010100000000000000000002003e00\n"
    "mask fffffffffffefefcfffffffffffffffffeffffff\n";
const char kQemuArm[] =
    "enabled\ninterpreter /usr/libexec/qemu-binfmt/arm-binfmt-P\nflags: PF\noffset 0\n"
    "magic 7f454c4601010100000000000000000002002800\n"
    "mask ffffffffffffff00fffffffffffffffffeffffff\n";
const char kWineExe[] = "enabled\ninterpreter /usr/bin/wine\nflags: \nextension .exe\n";

TEST(Binfmt, AnEnabledEntryForI386ElfTakesEvery32BitProgram) {
    const std::string disabled = std::string("disabled") + (kQemuI386 + 7);
    const struct {
        const char *name;
        std::string entry;
        bool interpreted;
    } cases[] = {
        {"qemu-i386", kQemuI386, true},
        {"i386-emulator", kQemuI386, true},  // by its magic, whatever its name
        {"qemu-i386", disabled, false},
        {"qemu-x86_64", kQemuX8664, false},
        {"qemu-arm", kQemuArm, false},
        {"wine", kWineExe, false},
        {"qemu-i386-static", "enabled\ninterpreter /usr/bin/qemu-i386-static\nflags: F\n", true},
        {"shifted",
         "enabled\ninterpreter /opt/x\noffset 4\nmagic 7f454c4601010100000000000000000002000300\n",
         false},
        {"qemu-i386", "", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wine_lane::RunsI386ThroughInterpreter(c.name, c.entry), c.interpreted) << c.name;
}

TEST(Binfmt, TheFolderIsSearchedUnlessBinfmtIsOff) {
    Scratch scratch;
    EXPECT_EQ(wine_lane::I386InterpreterEntry(scratch.Dir() + "/none"), "");
    scratch.File("binfmt/status", "enabled\n");
    scratch.File("binfmt/register", "");
    scratch.File("binfmt/qemu-x86_64", kQemuX8664);
    scratch.File("binfmt/qemu-arm", kQemuArm);
    const std::string dir = scratch.Dir() + "/binfmt";
    EXPECT_EQ(wine_lane::I386InterpreterEntry(dir), "");
    scratch.File("binfmt/qemu-i386", kQemuI386);
    EXPECT_EQ(wine_lane::I386InterpreterEntry(dir), "qemu-i386");
    scratch.File("binfmt/status", "disabled\n");
    EXPECT_EQ(wine_lane::I386InterpreterEntry(dir), "");
}

TEST(FindProgram, LooksAlongPathForAnExecutableFile) {
    Scratch scratch;
    const std::string first = scratch.Folder("first"), second = scratch.Folder("second");
    scratch.File("first/plain", "not a program");
    const std::string program = scratch.File("second/prog", "#!/bin/sh\n", true);
    scratch.File("second/plain", "#!/bin/sh\n", true);
    scratch.Folder("first/prog");  // a folder of that name is passed over
    const std::string path = scratch.Dir() + "/none:" + first + ":" + second;
    EXPECT_EQ(wine_lane::FindProgram("prog", path), program);
    EXPECT_EQ(wine_lane::FindProgram("plain", path), second + "/plain");
    EXPECT_EQ(wine_lane::FindProgram("absent", path), "");
    EXPECT_EQ(wine_lane::FindProgram(program, ""), program);
    EXPECT_EQ(wine_lane::FindProgram(first + "/plain", path), "") << "not executable";
    EXPECT_EQ(wine_lane::FindProgram("", path), "");
}

TEST(RunFails, SaysHowAProgramFailed) {
    Scratch scratch;
    EXPECT_EQ(wine_lane::RunFails(scratch.File("ok", "#!/bin/sh\nexit 0\n", true), {}), "");
    EXPECT_EQ(wine_lane::RunFails(scratch.File("three", "#!/bin/sh\nexit 3\n", true), {}),
              "exit status 3");
    const std::string echo = scratch.File("args", "#!/bin/sh\n[ \"$1\" = --version ]\n", true);
    EXPECT_EQ(wine_lane::RunFails(echo, {"--version"}), "");
    EXPECT_EQ(wine_lane::RunFails(echo, {"--help"}), "exit status 1");
    EXPECT_EQ(wine_lane::RunFails(scratch.File("killed", "#!/bin/sh\nkill -9 $$\n", true), {}),
              "ended by Killed");
    EXPECT_EQ(wine_lane::RunFails(scratch.Dir() + "/none", {}), "No such file or directory");
    // An ELF header and nothing after it cannot be executed on any machine.
    EXPECT_NE(wine_lane::RunFails(scratch.File("cut", ElfHeader(1, 3), true), {}), "");
}

// A machine made of folders: PATH, binfmt_misc, the builds.
class LaneMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = scratch_.Folder("path");
        binfmt_ = scratch_.Folder("binfmt");
        scratch_.File("binfmt/status", "enabled\n");
        machine_ = {path_, binfmt_};
    }
    Lane Wine64() {
        return {"wine64",
                "win64",
                scratch_.Dir() + "/win64/bin",
                scratch_.Dir() + "/win64/prefix",
                "wine64",
                "wineserver",
                "",
                scratch_.Dir() + "/linux64/qivma",
                "fpsim"};
    }
    Lane Wine32() {
        return {"wine32",
                "win32",
                scratch_.Dir() + "/win32/bin",
                scratch_.Dir() + "/win32/prefix",
                "wine",
                "wineserver",
                "",
                scratch_.Dir() + "/linux32/qivma",
                "fpsim"};
    }
    void Build(const std::string &arch) {
        for (const std::string &program : wine_lane::WindowsPrograms())
            scratch_.File(arch + "/bin/" + program, "MZ");
    }
    std::string Why(const Lane &lane) { return wine_lane::WhyTheLaneCannotRun(lane, machine_); }

    Scratch scratch_;
    std::string path_, binfmt_;
    Machine machine_;
};

TEST_F(LaneMachine, Wine64RunsWithWine64TheBuildAndTheLinuxTool) {
    scratch_.File("path/wine64", "#!/bin/sh\n[ \"$1\" = --version ]\n", true);
    scratch_.File("linux64/qivma", ElfHeader(2, 62), true);
    Build("win64");
    EXPECT_EQ(Why(Wine64()), "");
    // An interpreter for 32-bit programs does not touch the 64-bit lane.
    scratch_.File("binfmt/qemu-i386", kQemuI386);
    EXPECT_EQ(Why(Wine64()), "");
}

TEST_F(LaneMachine, Wine64SaysWhatIsMissing) {
    EXPECT_EQ(Why(Wine64()), "wine64 is not installed: no wine64 on PATH");
    Lane elsewhere = Wine64();
    elsewhere.wine = scratch_.Dir() + "/lib/wine64";
    EXPECT_EQ(Why(elsewhere), "wine64 is not installed: no " + elsewhere.wine);

    const std::string wine = scratch_.File("path/wine64", "#!/bin/sh\nexit 1\n", true);
    EXPECT_EQ(Why(Wine64()), "wine64 does not run here: " + wine + " --version: exit status 1");

    scratch_.File("path/wine64", "#!/bin/sh\nexit 0\n", true);
    EXPECT_EQ(Why(Wine64()), "the win64 build is not there: no " + Wine64().bin +
                                 "/qivma.dll (cmake --build --preset win64)");
    Build("win64");
    unlink((Wine64().bin + "/qivma_win_host.exe").c_str());
    EXPECT_EQ(Why(Wine64()), "the win64 build is not there: no " + Wine64().bin +
                                 "/qivma_win_host.exe (cmake --build --preset win64)");
    scratch_.File("win64/bin/qivma_win_host.exe", "MZ");
    EXPECT_EQ(Why(Wine64()),
              "the Linux tool to compare with is not built: no " + Wine64().linuxTool);
}

TEST_F(LaneMachine, Wine32IsSkippedWhereAnInterpreterTakes32BitPrograms) {
    // Everything else in place: the interpreter alone decides.
    scratch_.File("path/wine", ElfHeader(1, 3), true);
    scratch_.File("linux32/qivma", ElfHeader(1, 3), true);
    Build("win32");
    scratch_.File("binfmt/qemu-i386", kQemuI386);
    EXPECT_EQ(Why(Wine32()),
              "32-bit programs run here only through the interpreter of binfmt_misc entry "
              "qemu-i386 (qemu-user), where wine32 is far too slow to start");
    scratch_.File("binfmt/status", "disabled\n");
    EXPECT_NE(Why(Wine32()).find("the 32-bit wine loader cannot be executed here"),
              std::string::npos)
        << "binfmt_misc off: the header-only loader is tried, and fails";
}

TEST_F(LaneMachine, Wine32IsSkippedWithoutA32BitLoader) {
    EXPECT_EQ(Why(Wine32()), "wine32 is not installed: no wine on PATH");
    // Debian's `wine` without wine32: a script that falls back to wine64.
    const std::string script =
        scratch_.File("path/wine", "#!/bin/sh -e\nexec /usr/lib/wine/wine64 \"$@\"\n", true);
    EXPECT_EQ(Why(Wine32()),
              "wine32 is not installed: no 32-bit wine loader (" + script + " is a script)");
    Lane lane = Wine32();
    lane.loader = scratch_.Dir() + "/lib/wine";
    EXPECT_EQ(Why(lane),
              "wine32 is not installed: no 32-bit wine loader (" + lane.loader + " is not there)");
    lane.loader = scratch_.File("lib/wine", ElfHeader(2, 62), true);
    EXPECT_EQ(Why(lane), "wine32 is not installed: no 32-bit wine loader (" + lane.loader +
                             " is a 64-bit x86 program)");
}

TEST_F(LaneMachine, Wine32IsSkippedWhereTheLoaderDoesNotExecute) {
    scratch_.File("path/wine", "#!/bin/sh\nexit 0\n", true);
    Lane lane = Wine32();
    lane.loader = scratch_.File("lib/wine", ElfHeader(1, 3), true);
    const std::string why = Why(lane);
    EXPECT_EQ(
        why.rfind("the 32-bit wine loader cannot be executed here: " + lane.loader + " --version: ",
                  0),
        0u)
        << why;
}

}  // namespace
