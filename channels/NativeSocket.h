// NativeSocket: the plain socket calls the plug-in makes on its connections'
// descriptors, outside Qt.
//
// Step notifications and replies leave through these: a non-blocking send
// costs one system call where Qt's write, flush and state checks cost several
// (under Wine each one is a round trip to the Wine server), and it never
// copies the block into a buffer of Qt's.  Qt keeps its sockets non-blocking,
// so none of these calls waits unless it says so.
//
// Threads: the functions may be called on any thread; a Poller is used by the
// thread that owns it, apart from wake(), which any thread may call.
#pragma once

#include <QtGlobal>
#include <memory>
#include <vector>

namespace nativesocket {

enum class Status {
  Ok,          // sent (perhaps in part), or the peer is still there
  WouldBlock,  // the system cannot take bytes now (buffers full, or short of
               // memory for a moment): try again later
  Gone,        // the connection is closed or broken
};

// Sends up to `size` bytes without waiting; `sent` receives how many went.
Status sendSome(qintptr descriptor, const char* data, qint64 size, qint64& sent);

// Whether the peer is still there, without waiting: drops whatever it sent
// (an execute client has nothing to say) and reports Gone when it closed.
Status checkPeer(qintptr descriptor);

// Waits up to `timeoutMs` until `descriptor` can take bytes (or has failed,
// which the next send reports).  False when the time ran out.
bool waitWritable(qintptr descriptor, int timeoutMs);

// Waits for several connections to take bytes, and for a wake-up from
// another thread.  The watch list is refilled before each wait; its storage
// is kept, so a steady number of connections costs no allocation.
class Poller {
 public:
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // False when the wake-up channel could not be made (out of descriptors):
  // the poller cannot be used.
  bool isValid() const;
  // Ends the current (or the next) wait at once.  Any thread.
  void wake();

  void clear();
  // Watches `descriptor` for writability; its index is the number of
  // descriptors added before it.
  void add(qintptr descriptor);
  // Waits until a watched descriptor can take bytes or has failed, wake() was
  // called, or `timeoutMs` has passed (negative: no time limit).  Consumes
  // the wake-ups.
  void wait(int timeoutMs);
  // After wait(): whether descriptor `index` can take bytes or has failed.
  bool isReady(int index) const;

 private:
  struct Platform;
  std::unique_ptr<Platform> platform;
};

}  // namespace nativesocket
