// One lane of the wine suite: which Windows build it runs, in which wine
// prefix, with which wine, compared with which Linux tool; and whether this
// machine can run it at all.
//
// The same suite serves two lanes. wine64 runs the win64 build with wine64
// in a 64-bit prefix and compares qivma.exe with the 64-bit Linux tool;
// wine32 runs the win32 build with wine in a 32-bit prefix and compares it
// with the 32-bit Linux tool. Each pair shares its byte layouts, so both
// tools report the same instance size.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace wine_lane {

struct Lane {
    std::string name;        // "wine64" or "wine32", as the suite names itself
    std::string arch;        // "win64" or "win32": the build's machine and the prefix's WINEARCH
    std::string bin;         // the Windows build's programs and libraries
    std::string prefix;      // the wine prefix, made on first use
    std::string wine;        // the command that runs a Windows program
    std::string wineserver;  // the wine server that the suite keeps running
    std::string loader;      // wine32: the 32-bit loader behind `wine`; empty: `wine` itself
    std::string linuxTool;   // qivma built for Linux with the same layouts
    std::string linuxFpsim;  // fpsim built for Linux

    bool Is64() const { return arch == "win64"; }
    // DriverInfo.instanceSize of the lane's DLL: DriverInstance at the
    // build's pointer size, as include/qivma.h lays it out.
    int32_t InstanceSize() const { return Is64() ? 4192 : 4180; }
    // The PE machine of the lane's programs: IMAGE_FILE_MACHINE_AMD64 or _I386.
    uint16_t PeMachine() const { return Is64() ? 0x8664 : 0x014C; }
};

// The lane that the suite runs, as its command line named it.
const Lane &TheLane();

// Reads the lane's options ("--lane wine64 --arch win64 --bin DIR ...", each
// also as --option=value) and removes them from argv, leaving the rest for
// GoogleTest. Returns what is wrong with them, or "" when the lane is
// complete.
std::string TakeLaneOptions(int &argc, char **argv, Lane &lane);
// The options as TakeLaneOptions reads them, for a usage message.
const char *LaneOptionsHelp();

// What a file is, from its first bytes.
enum class ProgramKind { kMissing, kI386Elf, kX8664Elf, kOtherElf, kScript, kOther };
ProgramKind KindOfProgram(const std::string &firstBytes);
ProgramKind KindOfFile(const std::string &path);
const char *Describe(ProgramKind kind);

// The machine of a PE file (IMAGE_FILE_HEADER.Machine), from its bytes; 0
// when they are not a PE image.
uint16_t PeMachineOf(const std::string &bytes);
uint16_t PeMachineOfFile(const std::string &path);

// True when a binfmt_misc entry, as /proc/sys/fs/binfmt_misc/NAME shows it,
// is enabled and hands 32-bit x86 ELF programs to an interpreter (qemu-i386
// or any other): then no i386 program runs natively, whatever the kernel can.
bool RunsI386ThroughInterpreter(const std::string &name, const std::string &entry);
// The enabled entry of `binfmtDir` that does so, or "" when there is none
// (or binfmt_misc is disabled as a whole).
std::string I386InterpreterEntry(const std::string &binfmtDir);

// `command` as exec would find it: itself when it holds a '/', else the
// first executable file of that name in the folders of `path`; "" if none.
std::string FindProgram(const std::string &command, const std::string &path);

// Runs `program` with `arguments`, its output discarded: "" when it ran and
// exited with 0, else what went wrong ("Exec format error", "exit status 1").
std::string RunFails(const std::string &program, const std::vector<std::string> &arguments);

// Where the lane looks on this machine.
struct Machine {
    std::string path;       // PATH
    std::string binfmtDir;  // /proc/sys/fs/binfmt_misc
};
Machine ThisMachine();

// The programs of a Windows build that the suite runs.
const std::vector<std::string> &WindowsPrograms();

// Why the lane cannot run on this machine, in one line; "" when it can. A
// lane that cannot run is skipped, never passed: wine32 where 32-bit
// programs do not run natively (an interpreter takes them, the loader does
// not execute, or wine32 is not installed), either lane without its wine or
// its builds.
std::string WhyTheLaneCannotRun(const Lane &lane, const Machine &machine);

}  // namespace wine_lane
