#include <condition_variable>
#include <system_error>
#include <thread>

#include "tools/fpsim/threads.h"

namespace fpsim {

struct Mutex::State {
    std::mutex mutex;
};

Mutex::Mutex() : state_(std::make_unique<State>()) {}
Mutex::~Mutex() = default;
void Mutex::lock() {
    state_->mutex.lock();
}
void Mutex::unlock() {
    state_->mutex.unlock();
}

struct ConditionVariable::State {
    std::condition_variable_any changed;  // "any": it waits with our Mutex
};

ConditionVariable::ConditionVariable() : state_(std::make_unique<State>()) {}
ConditionVariable::~ConditionVariable() = default;

void ConditionVariable::NotifyAll() {
    state_->changed.notify_all();
}

bool ConditionVariable::WaitFor(std::unique_lock<Mutex> &lock, std::chrono::milliseconds timeout,
                                const std::function<bool()> &ready) {
    return state_->changed.wait_for(lock, timeout, ready);
}

struct Thread::State {
    std::thread thread;
};

Thread::Thread() : state_(std::make_unique<State>()) {}
Thread::~Thread() = default;

bool Thread::Start(std::function<void()> body) {
    try {
        state_->thread = std::thread(std::move(body));
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void Thread::Join() {
    if (state_->thread.joinable())
        state_->thread.join();
}

bool Thread::Joinable() const {
    return state_->thread.joinable();
}

}  // namespace fpsim
