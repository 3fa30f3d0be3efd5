// The fpsim program as a person runs it.
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "fpsim/test_frames.h"
#include "fpsim/test_port.h"

extern char **environ;

namespace {

// Starts fpsim with `args`; its standard output (and its diagnostics, with
// `withErrors`) comes through `out`.
pid_t StartFpsim(std::vector<std::string> args, FILE *&out, bool withErrors = false) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
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
    if (posix_spawn(&pid, FPSIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
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

TEST(FpsimProgram, ServesOnItsLinkUntilTerminated) {
    const std::string link = ::testing::TempDir() + "fpsim-program-" + std::to_string(getpid());
    FILE *out = nullptr;
    // Start-up contents from a file, and from a flag that overrides it for one station.
    const std::string init = link + ".init";
    FILE *initFile = fopen(init.c_str(), "w");
    ASSERT_NE(initFile, nullptr);
    fputs("# start-up contents\nDT100=0x1234\n", initFile);
    fclose(initFile);
    const pid_t pid = StartFpsim({"--link", link, "--station", "01", "--station", "05", "--init",
                                  init, "--set", "05:DT100=1234", "--fault", "error:42"},
                                 out);
    ASSERT_GT(pid, 0);
    // It says where it is once the link is there.
    const std::string banner = ReadLine(out);
    EXPECT_NE(banner.find("station 01 05 on " + link), std::string::npos) << banner;
    {
        TestPort port(link);
        ASSERT_TRUE(port.IsOpen());
        port.Write(Request("05", "RDD0010000100"));
        EXPECT_EQ(port.ReadFrame(std::chrono::milliseconds(2000)), Refusal("05", "42"));
        port.Write(Request("05", "RDD0010000100"));
        EXPECT_EQ(port.ReadFrame(std::chrono::milliseconds(2000)), Answer("05", "RDD204"));
        port.Write(Request("01", "RDD0010000100"));
        EXPECT_EQ(port.ReadFrame(std::chrono::milliseconds(2000)), Answer("01", "RD3412"));
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 0);
    unlink(init.c_str());
    fclose(out);
    struct stat info;
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link is withdrawn";
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
         {"--link",          "--device", "--baud",        "--data-bits",    "--parity",
          "--stop-bits",     "--delay",  "--station",     "--profile",      "--no-ee",
          "--x-write-error", "--zero",   "--set",         "--init",         "--answer-delay",
          "--chatter",       "--fault",  "--fault-every", "--fault-random", "--verbose",
          "--help"}) {
        EXPECT_NE(help.find(std::string("  ") + option), std::string::npos) << option;
    }
    EXPECT_NE(help.find("double[:GAP]"), std::string::npos);
}

TEST(FpsimProgram, RefusesABadOption) {
    FILE *out = nullptr;
    const pid_t pid = StartFpsim({"--parity", "sideways"}, out);
    ASSERT_GT(pid, 0);
    fclose(out);
    EXPECT_EQ(WaitExit(pid), 2);
}

TEST(FpsimProgram, RefusesBadLineFaultsNamingTheOption) {
    const struct {
        std::vector<std::string> args;
        const char *named;
    } cases[] = {
        {{"--answer-delay", "-5"}, "--answer-delay cannot be negative"},
        {{"--answer-delay", "soon"}, "--answer-delay takes a number"},
        {{"--answer-delay"}, "--answer-delay needs a value"},
        {{"--chatter", "-20"}, "--chatter cannot be negative"},
        {{"--chatter", "20:loud"}, "--chatter takes GAP or GAP:silent"},
        {{"--chatter", ":silent"}, "--chatter takes a number"},
        {{"--fault", "double:-1"}, "fault 'double' takes a number"},
        {{"--fault-every", "3:double:x"}, "fault 'double' takes a number"},
    };
    for (const auto &test : cases) {
        FILE *out = nullptr;
        const pid_t pid = StartFpsim(test.args, out, true);
        ASSERT_GT(pid, 0);
        std::string said;
        for (std::string line; !(line = ReadLine(out)).empty();)
            said += line;
        fclose(out);
        EXPECT_EQ(WaitExit(pid), 2) << test.args[0];
        EXPECT_NE(said.find(test.named), std::string::npos) << said;
    }
}

TEST(FpsimProgram, LateDoubledAnswersOnAChatteringLine) {
    const std::string link =
        ::testing::TempDir() + "fpsim-program-noisy-" + std::to_string(getpid());
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
