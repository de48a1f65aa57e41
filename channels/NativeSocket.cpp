// The parts of NativeSocket that are the same on every platform.
#include "channels/NativeSocket.h"

#include <QElapsedTimer>
#include <QThread>

namespace nativesocket {

bool sendWithin(qintptr descriptor, const char* data, qint64 size, int timeoutMs) {
  QElapsedTimer waited;
  waited.start();
  bool calledWritable = false;
  for (;;) {
    qint64 sent = 0;
    if (sendSome(descriptor, data, size, sent) == Status::Gone) return false;
    data += sent;
    size -= sent;
    if (size == 0) return true;
    const qint64 left = timeoutMs - waited.elapsed();
    if (left <= 0) return false;
    // A system short of buffers may call the socket writable and still refuse
    // the bytes: pause a moment rather than spin.
    if (calledWritable && sent == 0) QThread::msleep(1);
    calledWritable = waitWritable(descriptor, int(left));
    if (!calledWritable) return false;
  }
}

}  // namespace nativesocket
