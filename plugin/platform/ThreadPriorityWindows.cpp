#include <windows.h>

#include "plugin/platform/ThreadPriority.h"

namespace platform {

int currentThreadPriority() { return GetThreadPriority(GetCurrentThread()); }

void setCurrentThreadPriority(int priority) {
  if (priority != THREAD_PRIORITY_ERROR_RETURN) SetThreadPriority(GetCurrentThread(), priority);
}

void lowerCurrentThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST); }

}  // namespace platform
