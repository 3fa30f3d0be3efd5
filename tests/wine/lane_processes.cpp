#include "wine/lane_processes.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace wine_lane {

namespace {

std::vector<std::string> WineEnvironment(const Lane &lane) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("WINE", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("WINEPREFIX=" + lane.prefix);
    env.push_back("WINEARCH=" + lane.arch);
    env.push_back("WINEDEBUG=-all");
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    return env;
}

// Reads a line into `line` without its end (LF, or CR LF from a Windows
// program); false at the end of the stream.
bool ReadLine(FILE *file, std::string &line) {
    char buffer[4096];
    if (file == nullptr || fgets(buffer, sizeof buffer, file) == nullptr)
        return false;
    line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return true;
}

std::string WithLineFeeds(const std::string &text) {
    std::string lf;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            lf += text[i];
    }
    return lf;
}

// A simulator given Ctrl-C ends at once; this long means that it did not.
constexpr int kLongestStopMs = 10000;

}  // namespace

bool EndsWithin(pid_t pid, int ms) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return true;  // no descriptor: Wait alone will tell
    pollfd ended = {fd, POLLIN, 0};
    const bool done = poll(&ended, 1, ms) == 1;
    close(fd);
    return done;
}

pid_t Spawn(const Lane &lane, const std::vector<std::string> &arguments, int in, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0)
        posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (err >= 0)
        posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Ctrl-C must reach the program as it reaches one started from a
    // terminal, whatever this process ignores or blocks.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, stopSignals;
    sigemptyset(&none);
    sigemptyset(&stopSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stopSignals, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &stopSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> env = WineEnvironment(lane);
    std::vector<char *> argv, envp;
    std::vector<std::string> args = arguments;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Output(const Lane &lane, const std::vector<std::string> &arguments, int *exitCode,
                   bool withErrors) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return "";
    const pid_t pid = Spawn(lane, arguments, -1, fds[1], withErrors ? fds[1] : -1);
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
    return WithLineFeeds(text);
}

NullModemPair::NullModemPair(const Lane &lane, const std::string &linkBase) {
    links_[0] = linkBase + "-a";
    links_[1] = linkBase + "-b";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    // Raw and without echo on both ends: bytes pass unchanged.
    pid_ = Spawn(lane,
                 {"socat", "-d", "-d", "pty,raw,echo=0,link=" + links_[0],
                  "pty,raw,echo=0,link=" + links_[1]},
                 -1, -1, fds[1]);
    close(fds[1]);
    log_ = fdopen(fds[0], "r");
    if (pid_ <= 0) {
        said_ = "socat could not be started (scripts/setup.sh installs it)";
        return;
    }
    // "... N starting data transfer loop with FDs [5,5] and [7,7]": both
    // pseudo-terminals and their links are there.
    for (std::string line; ReadLine(log_, line);) {
        said_ += line + "\n";
        if (line.find("starting data transfer loop") != std::string::npos) {
            for (int end = 0; end < 2; ++end) {
                char path[PATH_MAX];
                if (realpath(links_[end].c_str(), path) != nullptr)
                    ends_[end] = path;
            }
            return;
        }
    }
    Wait(pid_);  // socat ended without carrying anything
    pid_ = -1;
}

NullModemPair::~NullModemPair() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        Wait(pid_);
    }
    if (log_ != nullptr)
        fclose(log_);
    for (const std::string &link : links_)
        unlink(link.c_str());
}

SimulatorProgram::SimulatorProgram(const Lane &lane, const std::vector<std::string> &command,
                                   const std::string &logPath)
    : logPath_(logPath) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = Spawn(lane, command, -1, fds[1], log);
    close(fds[1]);
    if (log >= 0)
        close(log);
    out_ = fdopen(fds[0], "r");
    if (!ReadLine(out_, banner_)) {
        Wait(pid_);
        pid_ = -1;
    }
}

SimulatorProgram::~SimulatorProgram() {
    Stop();
    if (out_ != nullptr)
        fclose(out_);
    unlink(logPath_.c_str());
}

int SimulatorProgram::Stop(std::string *farewell) {
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGINT);
    const bool stopped = EndsWithin(pid_, kLongestStopMs);
    if (!stopped)
        kill(pid_, SIGKILL);
    const int status = stopped ? Wait(pid_) : (Wait(pid_), -2);
    pid_ = -1;
    // It has ended, so what it printed is all in the pipe: read it without
    // waiting for an end of file that a process it left behind could hold off.
    std::string last;
    const int fd = fileno(out_);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    for (std::string line; ReadLine(out_, line);)
        last = line;
    if (farewell != nullptr)
        *farewell = last;
    return status;
}

std::string SimulatorProgram::Diagnostics() const {
    std::string text;
    FILE *file = fopen(logPath_.c_str(), "r");
    for (std::string line; ReadLine(file, line);)
        text += line + "\n";
    if (file != nullptr)
        fclose(file);
    return text;
}

std::vector<std::string> SimulatorProgram::Frames() const {
    std::vector<std::string> frames;
    const std::string text = Diagnostics();
    // "fpsim    276.958 ms <- %01#RDD0000000001**<CR>"
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line = text.substr(start, end - start);
        const size_t time = line.find(" ms ");
        if (line.rfind("fpsim ", 0) == 0 && time != std::string::npos)
            frames.push_back(line.substr(time + 4));
    }
    return frames;
}

}  // namespace wine_lane
