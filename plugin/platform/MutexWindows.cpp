// Windows implementation of Mutex (a slim reader/writer lock, used
// exclusively) and ConditionVariable.  Kept free of Qt.
#include <windows.h>

#include "plugin/Mutex.h"

static_assert(sizeof(SRWLOCK) == sizeof(void*), "Mutex keeps an SRWLOCK in one pointer");

void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srwLock)); }

bool Mutex::tryLock() { return TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srwLock)) != 0; }

void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srwLock)); }

static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "ConditionVariable keeps a CONDITION_VARIABLE in one pointer");

void ConditionVariable::wait(Mutex& mutex, int timeoutMs) {
  SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&condition),
                            reinterpret_cast<PSRWLOCK>(&mutex.srwLock),
                            timeoutMs < 0 ? INFINITE : DWORD(timeoutMs), 0);
}

void ConditionVariable::notifyOne() {
  WakeConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&condition));
}
