// A pseudo-terminal pair for the serial layer's tests: the driver opens the
// device side by name; the test plays the far end through the other side,
// and keeps one descriptor of the device side to look at its settings.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class PtyLine {
  public:
    PtyLine() {
        int device = -1;
        char name[128] = {};
        if (openpty(&far_, &device, name, nullptr, nullptr) == 0) {
            path_ = name;
            observer_ = device;
            termios raw;
            tcgetattr(observer_, &raw);
            cfmakeraw(&raw);
            tcsetattr(observer_, TCSANOW, &raw);
        }
    }
    ~PtyLine() {
        StopResponder();
        if (observer_ >= 0)
            close(observer_);
        if (far_ >= 0)
            close(far_);
    }

    const std::string &path() const { return path_; }
    int observer() const { return observer_; }
    int far() const { return far_; }

    // Bytes waiting on the device side to be read: the driver's port and the
    // observer are one terminal, with one input queue.
    size_t Waiting() const {
        int count = 0;
        return ioctl(observer_, FIONREAD, &count) == 0 ? static_cast<size_t>(count) : 0;
    }
    // Waits until at least `count` bytes wait on the device side: what the far
    // end sends crosses the pseudo-terminal in a kernel worker, on a busy
    // machine some milliseconds later. False after `deadline`.
    bool AwaitWaiting(size_t count,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
        const auto giveUp = std::chrono::steady_clock::now() + deadline;
        while (Waiting() < count) {
            if (std::chrono::steady_clock::now() >= giveUp)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    void Send(const std::string &bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(far_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    // Answers each request (up to its carriage return) with the next scripted
    // reply; an empty reply is silence.
    void Respond(std::deque<std::string> replies) {
        replies_ = std::move(replies);
        stop_ = false;
        responder_ = std::thread([this] {
            std::string request;
            while (!stop_) {
                pollfd ready = {far_, POLLIN, 0};
                if (poll(&ready, 1, 20) <= 0)
                    continue;
                char c;
                if (read(far_, &c, 1) != 1)
                    return;
                request += c;
                if (c != '\r')
                    continue;
                std::string reply;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back(request);
                    if (!replies_.empty()) {
                        reply = replies_.front();
                        replies_.pop_front();
                    }
                }
                request.clear();
                Send(reply);
            }
        });
    }
    void StopResponder() {
        stop_ = true;
        if (responder_.joinable())
            responder_.join();
    }
    std::deque<std::string> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  private:
    int far_ = -1;
    int observer_ = -1;
    std::string path_;
    std::thread responder_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::deque<std::string> replies_;
    std::deque<std::string> received_;
};
