// The exceptions of the C++ client.  Every failure the client reports is a
// ClientError; callers that only want "it did not work" catch that, callers
// that react to the plug-in's refusals catch NimbrelError alone.
//
//   try { float m = client.meanOfRoi(7); }
//   catch (const nmb::NimbrelError& e) { /* e.text() == "NrOfROI out of range" */ }
//   catch (const nmb::TimeoutError&) { /* no reply in time: reconnect() */ }
#pragma once

#include <stdexcept>
#include <string>

namespace nmb {

// Base of everything the client throws.
class ClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The plug-in refused the request with an error reply ("Wrong request!" and a
// text).  The connection stays usable.
class NimbrelError : public ClientError {
 public:
  explicit NimbrelError(std::string text)
      : ClientError("Nimbrel refused the request: " + text), text_(std::move(text)) {}
  // The plug-in's error text exactly as it was sent, e.g. "NrOfROI out of range".
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// The bytes received are not a valid reply to the request that was sent
// (wrong echo, truncated value, oversized frame, ...).
class ProtocolError : public ClientError {
 public:
  using ClientError::ClientError;
};

// No complete reply arrived within the time-out.
class TimeoutError : public ClientError {
 public:
  using ClientError::ClientError;
};

// The connection could not be made, was closed by the peer or failed.
class ConnectionError : public ClientError {
 public:
  using ClientError::ClientError;
};

// A connection closed before the handshake answer: that is how the plug-in
// turns away a client its settings refuse, so the error says so.
inline ConnectionError closedBeforeHandshake(const std::string& host, unsigned port,
                                             const ConnectionError& cause) {
  return ConnectionError(host + ":" + std::to_string(port) +
                         " closed the connection before answering the handshake (" + cause.what() +
                         "); the plug-in may be restricting client addresses or connections per address in "
                         "NMBNetworkPlugin.ini (see docs/security.md)");
}

}  // namespace nmb
