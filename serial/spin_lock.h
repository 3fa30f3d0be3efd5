// The lock around the driver's few process-wide tables (port owners, the
// line monitor, the POSIX table of open devices), so that calls on different
// channels may come from different threads. A spinlock: it allocates
// nothing, needs no thread library (the mingw builds may have no std::mutex),
// and each hold is a few loads and stores, never a system call.
#pragma once

#include <atomic>

class SpinLock {
  public:
    void Lock() {
        while (flag_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void Unlock() { flag_.clear(std::memory_order_release); }

  private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

class SpinLockHold {
  public:
    explicit SpinLockHold(SpinLock &lock) : lock_(lock) { lock_.Lock(); }
    ~SpinLockHold() { lock_.Unlock(); }
    SpinLockHold(const SpinLockHold &) = delete;
    SpinLockHold &operator=(const SpinLockHold &) = delete;

  private:
    SpinLock &lock_;
};
