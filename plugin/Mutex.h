// Mutex and MutexLock: a plain mutex and its scoped lock, annotated so that
// clang's thread-safety analysis checks every member marked GUARDED_BY one of
// them (see plugin/ThreadAnnotations.h).  On other compilers they are
// std::mutex and std::lock_guard with other names.
//
//   Mutex mutex;
//   QVector<float> values GUARDED_BY(mutex);
//   {
//     MutexLock lock(&mutex);
//     values.append(1.0f);
//   }
#pragma once

#include <mutex>

#include "plugin/ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() EXCLUSIVE_LOCK_FUNCTION() { mutex.lock(); }
  void unlock() UNLOCK_FUNCTION() { mutex.unlock(); }
  // Tells the analysis the lock is held where it cannot see it taken.
  void assertHeld() ASSERT_EXCLUSIVE_LOCK() {}

 private:
  std::mutex mutex;
};

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
