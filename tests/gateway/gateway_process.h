// The gateway program and the clients as a person runs them: started without
// a shell, stopped by their process id, their output read as it comes.
#pragma once

#include "tools/tool_run.h"

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

using Run = tooltest::ToolRun;
using tooltest::RunProgram;

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
        // What it wrote last may still be in the pipe: read it before anyone
        // looks at stderr (bounded, for a descendant may hold the pipe open).
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait_for(hold, std::chrono::seconds(5), [this] { return ended_; });
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
