#pragma once
// A mutex and a condition variable on the system's slim reader/writer lock,
// for threads that hand work to each other many times a second.
//
// std::mutex and std::condition_variable of this toolchain's thread library
// wait on kernel semaphores, so a wait and a wake are system calls each (and,
// under Wine, round trips to its server). A slim lock and the system's
// condition variable wait in the process while they can.

#include <windows.h>

#include <mutex>

class SlimMutex {
 public:
  SlimMutex() = default;
  SlimMutex(const SlimMutex&) = delete;
  SlimMutex& operator=(const SlimMutex&) = delete;

  void lock() { ::AcquireSRWLockExclusive(&lock_); }
  void unlock() { ::ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK* native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

class SlimCondition {
 public:
  SlimCondition() = default;
  SlimCondition(const SlimCondition&) = delete;
  SlimCondition& operator=(const SlimCondition&) = delete;

  // Waits until `ready()` holds; `guard` holds its mutex before and after.
  template <class Ready>
  void wait(std::unique_lock<SlimMutex>& guard, Ready ready) {
    while (!ready()) ::SleepConditionVariableSRW(&condition_, guard.mutex()->native(), INFINITE, 0);
  }
  void notify_one() { ::WakeConditionVariable(&condition_); }
  void notify_all() { ::WakeAllConditionVariable(&condition_); }

 private:
  CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};
