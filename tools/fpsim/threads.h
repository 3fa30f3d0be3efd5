// The simulator's serve thread, its lock and its waits. On POSIX they are the
// C++ library's own; on Windows they are Win32's, because the mingw tool
// chain's C++ library (its win32 thread model) has no std::thread, std::mutex
// or std::condition_variable. The build links one implementation.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>  // std::lock_guard and std::unique_lock, which take any lock

namespace fpsim {

class Mutex {
  public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    // In lower case, as std::lock_guard and std::unique_lock call them.
    void lock();
    void unlock();

  private:
    friend class ConditionVariable;
    struct State;
    std::unique_ptr<State> state_;
};

class ConditionVariable {
  public:
    ConditionVariable();
    ~ConditionVariable();
    ConditionVariable(const ConditionVariable &) = delete;
    ConditionVariable &operator=(const ConditionVariable &) = delete;

    void NotifyAll();
    // Waits, with `lock` released meanwhile, until `ready` holds or `timeout`
    // has passed; returns what `ready` says last.
    bool WaitFor(std::unique_lock<Mutex> &lock, std::chrono::milliseconds timeout,
                 const std::function<bool()> &ready);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

class Thread {
  public:
    Thread();
    ~Thread();  // the thread must have been joined
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // Runs `body` on a new thread; false if none could be started.
    bool Start(std::function<void()> body);
    void Join();
    bool Joinable() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace fpsim
