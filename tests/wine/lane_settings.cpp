#include "wine/lane_settings.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "wine/lane_processes.h"

extern char **environ;

namespace wine_lane {

namespace {

struct Option {
    const char *name;
    std::string Lane::*field;
    bool required;
};

const Option kOptions[] = {
    {"--lane", &Lane::name, true},
    {"--arch", &Lane::arch, true},
    {"--bin", &Lane::bin, true},
    {"--prefix", &Lane::prefix, true},
    {"--wine", &Lane::wine, true},
    {"--wineserver", &Lane::wineserver, true},
    {"--wine-loader", &Lane::loader, false},
    {"--linux-tool", &Lane::linuxTool, true},
    {"--linux-fpsim", &Lane::linuxFpsim, true},
};

std::string FirstBytes(const std::string &path, size_t count) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return "";
    std::string bytes(count, '\0');
    file.read(&bytes[0], static_cast<std::streamsize>(count));
    bytes.resize(static_cast<size_t>(file.gcount()));
    return bytes;
}

unsigned Byte(const std::string &bytes, size_t at) {
    return static_cast<unsigned char>(bytes[at]);
}

bool IsExecutableFile(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// A wine that has not answered --version by then is not going to run the suite.
constexpr int kLongestProbeMs = 30000;

}  // namespace

std::string TakeLaneOptions(int &argc, char **argv, Lane &lane) {
    std::string wrong;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const Option *matched = nullptr;
        std::string value;
        bool hasValue = false;
        for (const Option &option : kOptions) {
            const std::string name = option.name;
            if (argument == name) {
                matched = &option;
                if (i + 1 < argc) {
                    value = argv[++i];
                    hasValue = true;
                }
            } else if (argument.rfind(name + "=", 0) == 0) {
                matched = &option;
                value = argument.substr(name.size() + 1);
                hasValue = true;
            }
            if (matched != nullptr)
                break;
        }
        if (matched == nullptr) {
            argv[kept++] = argv[i];
            continue;
        }
        if (!hasValue && wrong.empty())
            wrong = std::string(matched->name) + " needs a value";
        lane.*(matched->field) = value;
    }
    argc = kept;
    argv[argc] = nullptr;
    if (!wrong.empty())
        return wrong;
    for (const Option &option : kOptions) {
        if (option.required && (lane.*(option.field)).empty())
            return std::string("no ") + option.name;
    }
    if (lane.arch != "win32" && lane.arch != "win64")
        return "--arch takes win32 or win64, not " + lane.arch;
    return "";
}

const char *LaneOptionsHelp() {
    return "  --lane NAME          the lane's name (wine64, wine32)\n"
           "  --arch win64|win32   the Windows build's machine, and the prefix's WINEARCH\n"
           "  --bin DIR            the Windows build's programs and libraries\n"
           "  --prefix DIR         the wine prefix, made on first use\n"
           "  --wine COMMAND       what runs a Windows program (wine64, wine)\n"
           "  --wineserver COMMAND its wine server\n"
           "  --wine-loader PATH   win32: the 32-bit loader behind --wine (default: --wine)\n"
           "  --linux-tool PATH    the Linux qivma with the same layouts\n"
           "  --linux-fpsim PATH   the Linux fpsim\n";
}

ProgramKind KindOfProgram(const std::string &bytes) {
    if (bytes.size() >= 2 && bytes.compare(0, 2, "#!") == 0)
        return ProgramKind::kScript;
    if (bytes.size() < 20 || bytes.compare(0, 4,
                                           "\x7f"
                                           "ELF") != 0)
        return ProgramKind::kOther;
    // e_ident[EI_CLASS], e_ident[EI_DATA] and e_machine: both x86 machines
    // are little-endian (EI_DATA 1), so a big-endian file is for another.
    const unsigned elfClass = Byte(bytes, 4);
    if (Byte(bytes, 5) != 1)
        return ProgramKind::kOtherElf;
    const unsigned machine = Byte(bytes, 18) | Byte(bytes, 19) << 8;
    if (elfClass == 1 && machine == 3)  // ELFCLASS32, EM_386
        return ProgramKind::kI386Elf;
    if (elfClass == 2 && machine == 62)  // ELFCLASS64, EM_X86_64
        return ProgramKind::kX8664Elf;
    return ProgramKind::kOtherElf;
}

ProgramKind KindOfFile(const std::string &path) {
    if (path.empty() || access(path.c_str(), F_OK) != 0)
        return ProgramKind::kMissing;
    return KindOfProgram(FirstBytes(path, 64));
}

const char *Describe(ProgramKind kind) {
    switch (kind) {
        case ProgramKind::kMissing:
            return "not there";
        case ProgramKind::kI386Elf:
            return "a 32-bit x86 program";
        case ProgramKind::kX8664Elf:
            return "a 64-bit x86 program";
        case ProgramKind::kOtherElf:
            return "a program for another machine";
        case ProgramKind::kScript:
            return "a script";
        case ProgramKind::kOther:
            break;
    }
    return "not a program";
}

uint16_t PeMachineOf(const std::string &bytes) {
    // The DOS header's "MZ", at 0x3C the offset of "PE\0\0", and after it
    // the file header, whose first field is the machine.
    if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0)
        return 0;
    const size_t pe = Byte(bytes, 0x3C) | Byte(bytes, 0x3D) << 8 |
                      static_cast<size_t>(Byte(bytes, 0x3E)) << 16 |
                      static_cast<size_t>(Byte(bytes, 0x3F)) << 24;
    if (pe > bytes.size() || bytes.size() - pe < 6 ||
        bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
        return 0;
    return static_cast<uint16_t>(Byte(bytes, pe + 4) | Byte(bytes, pe + 5) << 8);
}

uint16_t PeMachineOfFile(const std::string &path) {
    return PeMachineOf(FirstBytes(path, 4096));
}

bool RunsI386ThroughInterpreter(const std::string &name, const std::string &entry) {
    std::istringstream lines(entry);
    std::string line;
    if (!std::getline(lines, line) || line != "enabled")
        return false;
    std::string interpreter, magic;
    long offset = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("interpreter ", 0) == 0)
            interpreter = line.substr(12);
        else if (line.rfind("offset ", 0) == 0)
            offset = atol(line.c_str() + 7);
        else if (line.rfind("magic ", 0) == 0)
            magic = line.substr(6);
    }
    // An ELF header's first 20 bytes: "\x7fELF", class 1 (32-bit), ...,
    // e_machine 3 (i386) at byte 18, as qemu-user registers it.
    const bool i386Magic = offset == 0 && magic.size() >= 40 &&
                           magic.compare(0, 10, "7f454c4601") == 0 &&
                           magic.compare(36, 4, "0300") == 0;
    const size_t slash = interpreter.rfind('/');
    const std::string program = interpreter.substr(slash == std::string::npos ? 0 : slash + 1);
    return i386Magic || program.rfind("qemu-i386", 0) == 0 || name == "qemu-i386";
}

std::string I386InterpreterEntry(const std::string &binfmtDir) {
    std::ifstream status(binfmtDir + "/status");
    std::string state;
    if (status && std::getline(status, state) && state == "disabled")
        return "";
    DIR *dir = opendir(binfmtDir.c_str());
    if (dir == nullptr)
        return "";
    std::string found;
    while (const dirent *item = readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == ".." || name == "status" || name == "register")
            continue;
        std::ifstream file(binfmtDir + "/" + name);
        std::stringstream entry;
        entry << file.rdbuf();
        if (RunsI386ThroughInterpreter(name, entry.str()) && (found.empty() || name < found))
            found = name;
    }
    closedir(dir);
    return found;
}

std::string FindProgram(const std::string &command, const std::string &path) {
    if (command.empty())
        return "";
    if (command.find('/') != std::string::npos)
        return IsExecutableFile(command) ? command : "";
    for (size_t start = 0;;) {
        const size_t end = path.find(':', start);
        std::string dir = path.substr(start, end == std::string::npos ? end : end - start);
        if (dir.empty())
            dir = ".";
        const std::string candidate = dir + "/" + command;
        if (IsExecutableFile(candidate))
            return candidate;
        if (end == std::string::npos)
            return "";
        start = end + 1;
    }
}

std::string RunFails(const std::string &program, const std::vector<std::string> &arguments) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    // glibc reports a failed exec as posix_spawn's own result.
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return strerror(failed);
    if (!EndsWithin(pid, kLongestProbeMs)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return "no end within " + std::to_string(kLongestProbeMs / 1000) + " s";
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return "lost";
    if (WIFSIGNALED(status))
        return std::string("ended by ") + strsignal(WTERMSIG(status));
    if (WEXITSTATUS(status) != 0)
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return "";
}

Machine ThisMachine() {
    const char *path = getenv("PATH");
    return {path != nullptr ? path : "/usr/bin:/bin", "/proc/sys/fs/binfmt_misc"};
}

const std::vector<std::string> &WindowsPrograms() {
    static const std::vector<std::string> programs = {"qivma.dll", "KELPRA.dll", "qivma.exe",
                                                      "fpsim.exe", "qivma_win_host.exe"};
    return programs;
}

std::string WhyTheLaneCannotRun(const Lane &lane, const Machine &machine) {
    if (!lane.Is64()) {
        const std::string entry = I386InterpreterEntry(machine.binfmtDir);
        if (!entry.empty())
            return "32-bit programs run here only through the interpreter of binfmt_misc entry " +
                   entry + " (qemu-user), where wine32 is far too slow to start";
    }
    const char *which = lane.Is64() ? "wine64" : "wine32";
    const std::string wine = FindProgram(lane.wine, machine.path);
    if (wine.empty())
        return std::string(which) + " is not installed: no " + lane.wine +
               (lane.wine.find('/') == std::string::npos ? " on PATH" : "");
    if (lane.Is64()) {
        const std::string failure = RunFails(wine, {"--version"});
        if (!failure.empty())
            return "wine64 does not run here: " + wine + " --version: " + failure;
    } else {
        // Where wine32 is missing, `wine` may still be there, a script that
        // falls back to wine64, which runs no 32-bit program.
        const std::string loader =
            lane.loader.empty() ? wine : FindProgram(lane.loader, machine.path);
        const ProgramKind kind = KindOfFile(loader);
        if (kind != ProgramKind::kI386Elf)
            return "wine32 is not installed: no 32-bit wine loader (" +
                   (loader.empty() ? lane.loader : loader) + " is " + Describe(kind) + ")";
        const std::string failure = RunFails(loader, {"--version"});
        if (!failure.empty())
            return "the 32-bit wine loader cannot be executed here: " + loader +
                   " --version: " + failure;
    }
    for (const std::string &program : WindowsPrograms()) {
        if (access((lane.bin + "/" + program).c_str(), F_OK) != 0)
            return "the " + lane.arch + " build is not there: no " + lane.bin + "/" + program +
                   " (cmake --build --preset " + lane.arch + ")";
    }
    if (KindOfFile(lane.linuxTool) == ProgramKind::kMissing)
        return "the Linux tool to compare with is not built: no " + lane.linuxTool;
    return "";
}

}  // namespace wine_lane
