// Takes framed messages off a TcpStream.  Bytes are received in large chunks
// into one reusable buffer, so a reply usually costs one or two receive calls,
// and replies that arrive together (pipelined requests) cost no further call.
//
// A frame stays valid until the next call of next().  The reader belongs to
// one connection and is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "nmbclient/Socket.h"

namespace nmb {

// Frames larger than this are refused unless the caller sets its own limit:
// a 256 x 256 x 200 volume of beta maps for ten predictors still fits.
inline constexpr std::uint64_t kDefaultMaxFrameBody = 1ull << 30;

struct Frame {
  const std::uint8_t* body = nullptr;
  std::size_t size = 0;
  net::Clock::time_point received;  // when its last byte was taken off the socket
};

class FrameReader {
 public:
  explicit FrameReader(std::uint64_t maxBody = kDefaultMaxFrameBody) : maxBody_(maxBody) {}

  // The next complete frame.  Throws TimeoutError when it has not arrived by
  // `deadline` (bytes received so far stay buffered for the next call),
  // ConnectionError when the connection closes or fails, ProtocolError when
  // the length field is negative or above the limit.
  // `justAsked`: nothing is likely to be there yet (a request was just sent,
  // or notifications are awaited), so the first receive waits before it reads.
  Frame next(net::TcpStream& stream, net::Deadline deadline, bool justAsked = false);

  // Whether a complete frame is already buffered.
  bool hasFrame() const;
  void clear() { begin_ = end_ = 0; }
  void setMaxBody(std::uint64_t maxBody) { maxBody_ = maxBody; }

 private:
  std::size_t bodySizeOfBufferedHead() const;
  void makeRoom(std::size_t frameSize);

  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;  // first unconsumed byte
  std::size_t end_ = 0;    // one past the last received byte
  std::uint64_t maxBody_;
  net::Clock::time_point lastReceive_{};
};

}  // namespace nmb
