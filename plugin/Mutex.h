// Mutex and MutexLock: a plain mutex and its scoped lock, annotated so that
// clang's thread-safety analysis checks every member marked GUARDED_BY one of
// them (see plugin/ThreadAnnotations.h).  Underneath: std::mutex, which
// ThreadSanitizer understands; on Windows a slim reader/writer lock
// (plugin/platform/MutexWindows.cpp), since MinGW's win32 thread model has no
// std::mutex.
//
//   Mutex mutex;
//   QVector<float> values GUARDED_BY(mutex);
//   {
//     MutexLock lock(&mutex);
//     values.append(1.0f);
//   }
#pragma once

#if !defined(_WIN32)
#include <chrono>
#include <condition_variable>
#include <mutex>
#endif

#include "plugin/ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

#if defined(_WIN32)
  void lock() EXCLUSIVE_LOCK_FUNCTION();
  bool tryLock() EXCLUSIVE_TRYLOCK_FUNCTION(true);
  void unlock() UNLOCK_FUNCTION();
#else
  void lock() EXCLUSIVE_LOCK_FUNCTION() { mutex.lock(); }
  // Takes the mutex only if nobody holds it; never waits.
  bool tryLock() EXCLUSIVE_TRYLOCK_FUNCTION(true) { return mutex.try_lock(); }
  void unlock() UNLOCK_FUNCTION() { mutex.unlock(); }
#endif
  // Tells the analysis the lock is held where it cannot see it taken.
  void assertHeld() ASSERT_EXCLUSIVE_LOCK() {}

 private:
#if defined(_WIN32)
  // An SRWLOCK: one pointer, all zero when unlocked.
  void* srwLock = nullptr;
#else
  std::mutex mutex;
#endif
  friend class ConditionVariable;
};

// A condition variable for Mutex: one thread waits (giving the mutex up while
// it does), another wakes it.  On Windows a native CONDITION_VARIABLE, which
// Wine implements within the process (no request to the Wine server, unlike
// a socket or an event).
class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  // Waits until notified, spuriously woken, or `timeoutMs` has passed
  // (negative: no limit); `mutex` is held again on return.
  void wait(Mutex& mutex, int timeoutMs) EXCLUSIVE_LOCKS_REQUIRED(mutex);
  void notifyOne();

 private:
#if defined(_WIN32)
  // A CONDITION_VARIABLE: one pointer, all zero when idle.
  void* condition = nullptr;
#else
  std::condition_variable_any condition;
#endif
};

#if !defined(_WIN32)
inline void ConditionVariable::wait(Mutex& mutex, int timeoutMs) {
  if (timeoutMs < 0) {
    condition.wait(mutex);
  } else {
    condition.wait_for(mutex, std::chrono::milliseconds(timeoutMs));
  }
}
inline void ConditionVariable::notifyOne() { condition.notify_one(); }
#endif

// Holds `mutex` from construction to the end of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) EXCLUSIVE_LOCK_FUNCTION(mutex) : mutex(mutex) { mutex->lock(); }
  ~MutexLock() UNLOCK_FUNCTION() { mutex->unlock(); }

  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex;
};
