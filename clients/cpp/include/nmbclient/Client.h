// A request connection to the plug-in: one method per request, each sending
// one framed request and returning the decoded reply.
//
//   nmb::Client client("127.0.0.1", 55555, std::chrono::seconds(2));
//   int rois = client.nrOfRois();
//   std::vector<float> means = client.meansOfAllRois();   // one round trip
//
// Failures are exceptions (Errors.h): NimbrelError when the plug-in refuses a
// request (the connection stays usable), TimeoutError when no complete reply
// arrives within the time-out, ConnectionError when the connection is lost,
// ProtocolError when the reply does not match the request.  After a time-out
// or a protocol error a late or unreadable reply may still be on its way, so
// the client closes the connection; further requests throw ConnectionError
// until reconnect() succeeds.
//
// One Client belongs to one thread at a time; use one per thread otherwise.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "nmbclient/Errors.h"
#include "nmbclient/FrameReader.h"
#include "nmbclient/Replies.h"
#include "nmbclient/Request.h"
#include "nmbclient/Socket.h"
#include "nmbclient/WaitForHost.h"

namespace nmb {

// A raw reply: the body bytes (after the length field) and the time they arrived.
struct Reply {
  std::vector<std::uint8_t> body;
  net::Clock::time_point received;
};

class Client {
 public:
  using Timeout = std::chrono::milliseconds;

  // Connects and performs the "Request Socket" handshake within `timeout`,
  // which is also the time-out of every later request.
  Client(std::string host, std::uint16_t port, Timeout timeout = std::chrono::seconds(5),
         std::uint64_t maxFrameBody = kDefaultMaxFrameBody);
  // The same, waiting up to `wait` for a host that is not up yet (WaitForHost.h).
  Client(std::string host, std::uint16_t port, Timeout timeout, WaitForHost wait,
         std::uint64_t maxFrameBody = kDefaultMaxFrameBody);

  // Closes the connection (if any) and connects and handshakes anew, waiting
  // for the host as long as the constructor was told.
  void reconnect();
  void close();
  bool isConnected() const { return stream_.isOpen(); }

  // The protocol version the plug-in answered in the handshake (2, 0, 0).
  const std::array<std::int32_t, 3>& serverVersion() const { return version_; }
  // Monotonic time at which the last reply (or the handshake answer) arrived.
  net::Clock::time_point lastReceiveTime() const { return lastReceive_; }

  void setTimeout(Timeout timeout) { timeout_ = timeout; }
  Timeout timeout() const { return timeout_; }

  // Any request by name; checks that the reply is no error reply and echoes
  // the name (arguments are not checked: their echo depends on the request).
  Reply request(std::string_view name, std::initializer_list<std::int32_t> args = {});

  // Sends all requests in one write, then reads their replies in order.  The
  // bodies are checked as request() does.  If any is an error reply, every
  // reply is still read (the connection stays in step) and the first error is
  // thrown.  All replies must arrive within one time-out, and the plug-in
  // holds the replies the client has not read yet, so batches of whole
  // volumes are better asked one by one.
  std::vector<Reply> pipeline(const std::vector<Request>& requests);

  // The current mean of every ROI, asking "tGetNrOfROIs" first and then all
  // means in one round trip.
  std::vector<float> meansOfAllRois();
  // The current means of ROIs 0 .. count-1, in one round trip.
  std::vector<float> meansOfRois(std::int32_t count);

  // Requests without arguments.
  std::int32_t currentTimePoint();
  std::int32_t expectedNrOfTimePoints();
  Dims dimsOfFunctionalData();
  std::string projectName();
  std::string watchFolder();
  std::string targetFolder();
  std::string feedbackFolder();
  std::int32_t currentProtocolCondition();
  std::int32_t fullNrOfPredictors();
  std::int32_t currentNrOfPredictors();
  std::int32_t nrOfConfoundPredictors();
  std::int32_t nrOfContrasts();
  std::int32_t nrOfRois();
  // All beta maps (voxels x current predictors values, the host's order).
  std::vector<float> betaMaps();
  // All contrast maps (voxels x contrasts values, the host's order).
  std::vector<float> contrastMaps();
  std::int32_t numberOfClasses();
  ClassifierOutput currentClassifierOutput();

  // Requests with arguments.
  float valueOfDesignMatrix(std::int32_t predictor, std::int32_t timePoint);
  float meanOfRoi(std::int32_t roi);
  float detrendedValueOfRoi(std::int32_t roi);
  // Means of `roi` at time points 0 .. endTimePoint-1.
  std::vector<float> existingMeansOfRoi(std::int32_t roi, std::int32_t endTimePoint);
  float meanOfRoiAtTimePoint(std::int32_t roi, std::int32_t timePoint);
  std::int32_t nrOfVoxelsOfRoi(std::int32_t roi);
  float betaOfRoi(std::int32_t roi, std::int32_t beta);
  VoxelCoords coordsOfVoxelOfRoi(std::int32_t roi, std::int32_t voxel);
  std::vector<VoxelCoords> allCoordsOfVoxelsOfRoi(std::int32_t roi);
  float valueOfVoxelAtTime(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t timePoint);
  // A whole volume of 16-bit samples in the host's voxel order.
  std::vector<std::int16_t> valueOfAllVoxelsAtTime(std::int32_t timePoint);
  std::vector<std::int16_t> rawValueOfAllVoxelsAtTime(std::int32_t timePoint);
  float betaOfVoxel(std::int32_t beta, std::int32_t x, std::int32_t y, std::int32_t z);
  float mapValueOfVoxel(std::int32_t map, std::int32_t x, std::int32_t y, std::int32_t z);

  // Correlations over the `window` time points before the current time point
  // (or before `timePoint`).  Pair lists run (0,1), (0,2), ..., (R-2,R-1);
  // pairMatrix() (Helpers.h) turns them into a symmetric matrix.
  std::vector<float> pearsonCorrelation(std::int32_t window);
  std::vector<float> pearsonCorrelationAtTimePoint(std::int32_t window, std::int32_t timePoint);
  std::vector<float> partialCorrelation(std::int32_t window);
  std::vector<float> partialCorrelationAtTimePoint(std::int32_t window, std::int32_t timePoint);
  float instantProxyCorrelation(std::int32_t window);
  float instantProxyCorrelationAtTimePoint(std::int32_t window, std::int32_t timePoint);

 private:
  // Sends one request and returns its reply frame, valid until the next exchange.
  Frame exchange(const Request& request);
  void sendRequests(const Request* requests, std::size_t count, net::Deadline deadline);
  Frame receive(net::Deadline deadline, bool justAsked = false);
  net::Deadline deadline() const { return net::Clock::now() + timeout_; }

  template <typename Decode>
  auto call(const Request& request, Decode decode) {
    const Frame frame = exchange(request);
    try {
      return decode(frame.body, frame.size, request);
    } catch (const ProtocolError&) {
      close();
      throw;
    }
  }

  void connectOnce();

  std::string host_;
  std::uint16_t port_;
  Timeout timeout_;
  WaitForHost wait_;
  net::TcpStream stream_;
  FrameReader reader_;
  std::vector<std::uint8_t> sendBuffer_;
  std::array<std::int32_t, 3> version_{};
  net::Clock::time_point lastReceive_{};
};

}  // namespace nmb
