#include "nmbclient/FrameReader.h"

#include <cstring>
#include <string>

#include "nmbclient/Errors.h"
#include "nmbclient/Wire.h"

namespace nmb {

namespace {

// Large enough that a whole volume of samples usually comes in a few calls.
constexpr std::size_t kMinReceiveChunk = 256 * 1024;

}  // namespace

std::size_t FrameReader::bodySizeOfBufferedHead() const {
  const auto length = static_cast<std::int64_t>(wire::loadBigEndian64(buffer_.data() + begin_));
  if (length < 0) throw ProtocolError("frame with negative length " + std::to_string(length));
  if (static_cast<std::uint64_t>(length) > maxBody_)
    throw ProtocolError("frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                        std::to_string(maxBody_) + " bytes");
  return static_cast<std::size_t>(length);
}

bool FrameReader::hasFrame() const {
  if (end_ - begin_ < wire::kLengthFieldSize) return false;
  const auto length = static_cast<std::int64_t>(wire::loadBigEndian64(buffer_.data() + begin_));
  return length >= 0 && static_cast<std::uint64_t>(length) <= end_ - begin_ - wire::kLengthFieldSize;
}

void FrameReader::makeRoom(std::size_t frameSize) {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  std::size_t wanted = frameSize > kMinReceiveChunk ? frameSize : kMinReceiveChunk;
  if (buffer_.size() < wanted) buffer_.resize(wanted);
}

Frame FrameReader::next(net::TcpStream& stream, net::Deadline deadline, bool justAsked) {
  if (begin_ == end_) begin_ = end_ = 0;
  std::size_t needed = wire::kLengthFieldSize;
  bool lengthKnown = false;
  for (;;) {
    const std::size_t buffered = end_ - begin_;
    if (!lengthKnown && buffered >= wire::kLengthFieldSize) {
      needed = wire::kLengthFieldSize + bodySizeOfBufferedHead();
      lengthKnown = true;
    }
    if (lengthKnown && buffered >= needed) break;
    if (begin_ + needed > buffer_.size() || end_ == buffer_.size()) makeRoom(needed);
    const std::size_t got = stream.receiveSome(buffer_.data() + end_, buffer_.size() - end_, deadline,
                                               justAsked && begin_ == end_);
    justAsked = false;
    if (got == 0) throw TimeoutError("no complete reply from the plug-in within the time-out");
    end_ += got;
    lastReceive_ = net::Clock::now();
  }
  Frame frame;
  frame.body = buffer_.data() + begin_ + wire::kLengthFieldSize;
  frame.size = needed - wire::kLengthFieldSize;
  frame.received = lastReceive_;
  begin_ += needed;
  return frame;
}

}  // namespace nmb
