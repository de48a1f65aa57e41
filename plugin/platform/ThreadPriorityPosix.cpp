#include "plugin/platform/ThreadPriority.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace platform {

// A new POSIX thread already inherits its creator's scheduling policy and
// priority (the default PTHREAD_INHERIT_SCHED of glibc): nothing to do.
int currentThreadPriority() { return 0; }

void setCurrentThreadPriority(int) {}

void lowerCurrentThreadPriority() {
#if defined(__linux__)
  // Linux gives each thread a niceness of its own.  The weakest share still
  // runs on a busy machine, where an idle-only thread never would.
  setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 19);
#endif
}

}  // namespace platform
