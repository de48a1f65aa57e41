#include "plugin/platform/ThreadPriority.h"

namespace platform {

// A new POSIX thread already inherits its creator's scheduling policy and
// priority (the default PTHREAD_INHERIT_SCHED of glibc): nothing to do.
int currentThreadPriority() { return 0; }

void setCurrentThreadPriority(int) {}

}  // namespace platform
