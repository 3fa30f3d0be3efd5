// The gateway program and the clients as a person runs them: started without
// a shell, stopped by their process id, their output read as it comes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace gatewaytest {

using std::chrono::seconds;

struct Run {
    int exitCode = -1;
    std::string out, err;
};

// A program to its end: its exit status and what it printed.
inline Run RunProgram(const std::vector<std::string> &arguments) {
    Run run;
    int out[2], err[2];
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
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&run.out, &run.err};
    int open = 2;
    while (spawned && open > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
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

// A program that runs beside the test; its stderr is kept line by line.
class Background {
  public:
    explicit Background(const std::vector<std::string> &arguments) {
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<std::string> args = arguments;
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(err[1]);
        reader_ = std::thread([this, fd = err[0]] {
            char buffer[4096];
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0) {
                std::lock_guard<std::mutex> hold(mutex_);
                text_.append(buffer, static_cast<size_t>(n));
                changed_.notify_all();
            }
            close(fd);
            std::lock_guard<std::mutex> hold(mutex_);
            ended_ = true;
            changed_.notify_all();
        });
    }
    ~Background() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait();
        }
        if (reader_.joinable())
            reader_.join();
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    pid_t Pid() const { return pid_; }
    // Waits until stderr holds `text` (after `from`); where it starts, or npos.
    size_t WaitFor(const std::string &text, size_t from = 0, seconds limit = seconds(60)) {
        std::unique_lock<std::mutex> hold(mutex_);
        size_t at = std::string::npos;
        changed_.wait_for(hold, limit, [&] {
            at = text_.find(text, from);
            return at != std::string::npos || ended_;
        });
        return at;
    }
    std::string Err() {
        std::lock_guard<std::mutex> hold(mutex_);
        return text_;
    }
    // Stops it as a service manager does; its exit status.
    int Terminate() {
        kill(pid_, SIGTERM);
        return Wait();
    }
    int Wait() {
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_)
            return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    bool ended_ = false;
};

// Asks `ready` again every few milliseconds until it holds or a minute passed:
// for a state that shows no event of its own.
inline bool Eventually(const std::function<bool()> &ready) {
    const auto until = std::chrono::steady_clock::now() + seconds(60);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace gatewaytest
