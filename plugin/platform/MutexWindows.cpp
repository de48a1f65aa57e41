// Windows implementation of Mutex: a slim reader/writer lock, used
// exclusively.  Kept free of Qt.
#include <windows.h>

#include "plugin/Mutex.h"

static_assert(sizeof(SRWLOCK) == sizeof(void*), "Mutex keeps an SRWLOCK in one pointer");

void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srwLock)); }

bool Mutex::tryLock() { return TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srwLock)) != 0; }

void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srwLock)); }
