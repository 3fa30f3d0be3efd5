#include <windows.h>

#include "tools/fpsim/threads.h"

namespace fpsim {

struct Mutex::State {
    SRWLOCK lock = SRWLOCK_INIT;
};

Mutex::Mutex() : state_(std::make_unique<State>()) {}
Mutex::~Mutex() = default;
void Mutex::lock() {
    AcquireSRWLockExclusive(&state_->lock);
}
void Mutex::unlock() {
    ReleaseSRWLockExclusive(&state_->lock);
}

struct ConditionVariable::State {
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

ConditionVariable::ConditionVariable() : state_(std::make_unique<State>()) {}
ConditionVariable::~ConditionVariable() = default;

void ConditionVariable::NotifyAll() {
    WakeAllConditionVariable(&state_->changed);
}

bool ConditionVariable::WaitFor(std::unique_lock<Mutex> &lock, std::chrono::milliseconds timeout,
                                const std::function<bool()> &ready) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!ready()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return ready();
        // A wake-up may be spurious or early: the loop asks again.
        SleepConditionVariableSRW(&state_->changed, &lock.mutex()->state_->lock,
                                  static_cast<DWORD>(left), 0);
    }
    return true;
}

struct Thread::State {
    HANDLE handle = nullptr;
    std::function<void()> body;
};

namespace {

DWORD WINAPI RunBody(void *context) {
    (*static_cast<std::function<void()> *>(context))();
    return 0;
}

}  // namespace

Thread::Thread() : state_(std::make_unique<State>()) {}
Thread::~Thread() = default;

bool Thread::Start(std::function<void()> body) {
    state_->body = std::move(body);
    state_->handle = CreateThread(nullptr, 0, RunBody, &state_->body, 0, nullptr);
    return state_->handle != nullptr;
}

void Thread::Join() {
    if (state_->handle == nullptr)
        return;
    WaitForSingleObject(state_->handle, INFINITE);
    CloseHandle(state_->handle);
    state_->handle = nullptr;
}

bool Thread::Joinable() const {
    return state_->handle != nullptr;
}

}  // namespace fpsim
