// Runs the qivma tool as a person does, without a shell: its exit status and
// what it printed on stdout and on stderr.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

namespace tooltest {

struct ToolRun {
    int exitCode = -1;  // -1: did not end normally
    std::string out;
    std::string err;
    std::string both() const { return out + err; }
};

// The tool under test: this build's, or the one QIVMA_TOOL names (to run the
// same checks against another build of it).
inline std::string ToolPath() {
    const char *other = getenv("QIVMA_TOOL");
    return other != nullptr && *other != '\0' ? other : QIVMA_PROGRAM;
}

// Runs `arguments` (the program, found on PATH, and its arguments).
inline ToolRun RunProgram(const std::vector<std::string> &arguments) {
    ToolRun run;
    int out[2], err[2];
    // Close-on-exec: a program that leaves a process behind (the tmux
    // server) must not keep the pipes open past its own end.
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> args = arguments;
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const bool spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    // Both pipes drained together, so that neither fills and stops the tool.
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&run.out, &run.err};
    int open = 2;
    while (spawned && open > 0 && ::poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    if (spawned && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    return run;
}

inline ToolRun Qivma(const std::vector<std::string> &arguments) {
    std::vector<std::string> program = {ToolPath()};
    program.insert(program.end(), arguments.begin(), arguments.end());
    return RunProgram(program);
}

inline bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

}  // namespace tooltest
