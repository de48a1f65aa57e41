// ReplayServer: the baseline the plug-in is measured against, a minimal
// blocking TCP server on loopback.
//
// One thread per connection, like the plug-in.  It answers the role message
// with the same handshake answer, and every request with a reply prepared in
// advance (the very bytes the plug-in sends for it), so both servers put the
// same frames on the wire and the difference is what the plug-in does to
// build and send them.  Execute connections are kept open and written to with
// one plain send() per connection from the caller's thread.
//
//   ReplayServer server;
//   server.setReplies({{requestFrame("tGetNrOfROIs"), pluginReplyBlock}});
//   RawClient client(server.port());
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class ReplayServer {
 public:
  ReplayServer();
  // Closes every connection and joins every thread.
  ~ReplayServer();
  ReplayServer(const ReplayServer&) = delete;
  ReplayServer& operator=(const ReplayServer&) = delete;

  std::uint16_t port() const { return port_; }

  // Request frame (length field included) to reply frame.  Connections take
  // the table current at their handshake; unknown requests get an empty frame.
  void setReplies(const std::map<std::string, std::string>& replies);

  std::size_t executeConnections() const;
  // One plain send of `frame` on every execute connection, in handshake order.
  void sendToExecuteConnections(const std::string& frame);
  // Closes the execute connections.
  void closeExecuteConnections();

 private:
  using Table = std::unordered_map<std::string, std::string>;
  void acceptLoop();
  // Serves one connection; true when it stays open as an execute connection.
  bool serve(int fd);

  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  std::shared_ptr<const Table> table_;
  // Connection threads still running; they are detached and counted.
  int activeThreads_ = 0;
  std::condition_variable threadEnded_;
  std::vector<int> openFds_;
  std::vector<int> executeFds_;
};
