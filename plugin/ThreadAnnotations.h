// Thread rules the compiler checks.
//
// Under clang these mark which mutex guards a member and which lock a function
// needs, takes or gives back, and -Wthread-safety (an error in this project's
// clang builds) rejects code that touches a guarded member without its lock.
// Other compilers (gcc, MinGW, MSVC) see nothing.
//
//   Mutex mutex;
//   int count GUARDED_BY(mutex) = 0;
//   void bump() EXCLUSIVE_LOCKS_REQUIRED(mutex);
#pragma once

#if defined(__clang__) && !defined(SWIG)
#define NMB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NMB_THREAD_ANNOTATION(x)
#endif

// A type that works as a lock, named `name` in the compiler's messages.
#ifndef CAPABILITY
#define CAPABILITY(name) NMB_THREAD_ANNOTATION(capability(name))
#endif
// An object that holds a lock for its own lifetime.
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY NMB_THREAD_ANNOTATION(scoped_lockable)
#endif
// A member read and written only while `mutex` is held.
#ifndef GUARDED_BY
#define GUARDED_BY(mutex) NMB_THREAD_ANNOTATION(guarded_by(mutex))
#endif
// A pointer whose target is read and written only while `mutex` is held.
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(mutex) NMB_THREAD_ANNOTATION(pt_guarded_by(mutex))
#endif
// The caller must hold the lock(s).
#ifndef EXCLUSIVE_LOCKS_REQUIRED
#define EXCLUSIVE_LOCKS_REQUIRED(...) NMB_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#endif
// The caller must not hold the lock(s): the function takes them itself.
#ifndef LOCKS_EXCLUDED
#define LOCKS_EXCLUDED(...) NMB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
// The function acquires / releases the lock(s) (this object's, when none given).
#ifndef EXCLUSIVE_LOCK_FUNCTION
#define EXCLUSIVE_LOCK_FUNCTION(...) NMB_THREAD_ANNOTATION(exclusive_lock_function(__VA_ARGS__))
#endif
#ifndef UNLOCK_FUNCTION
#define UNLOCK_FUNCTION(...) NMB_THREAD_ANNOTATION(unlock_function(__VA_ARGS__))
#endif
// The function acquires the lock when it returns the given value.
#ifndef EXCLUSIVE_TRYLOCK_FUNCTION
#define EXCLUSIVE_TRYLOCK_FUNCTION(...) NMB_THREAD_ANNOTATION(exclusive_trylock_function(__VA_ARGS__))
#endif
// The function returns the named lock, for the analysis to follow it.
#ifndef LOCK_RETURNED
#define LOCK_RETURNED(x) NMB_THREAD_ANNOTATION(lock_returned(x))
#endif
// Tells the analysis that the lock is held at this point.
#ifndef ASSERT_EXCLUSIVE_LOCK
#define ASSERT_EXCLUSIVE_LOCK(...) NMB_THREAD_ANNOTATION(assert_exclusive_lock(__VA_ARGS__))
#endif
// Turns the analysis off for one function.  Only where the reason is written
// beside it: a read that is safe without the lock because this thread is the
// member's only writer, or a phase in which no other thread exists.
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS NMB_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif
