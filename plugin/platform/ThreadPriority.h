// The scheduling priority of threads, where the plug-in sets one itself.
//
// A thread the plug-in starts on the host's behalf (the notification
// delivery) runs at the priority of the host thread that started it, as Qt's
// InheritPriority gives QThreads: Nimbrel may raise its processing thread's
// priority, and the notifications are part of that processing.  Free of Qt.
#pragma once

namespace platform {

// The calling thread's priority, in the platform's own terms.
int currentThreadPriority();

// Gives the calling thread `priority` (a value currentThreadPriority
// returned).  Failures are ignored: the thread then keeps the default.
void setCurrentThreadPriority(int priority);

// Makes the calling thread yield to every thread of normal priority: work
// done ahead for the host must never delay it.  Failures are ignored.
void lowerCurrentThreadPriority();

}  // namespace platform
