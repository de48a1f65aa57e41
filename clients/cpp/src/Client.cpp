#include "nmbclient/Client.h"

#include "nmbclient/Errors.h"
#include "nmbclient/Wire.h"
#include "protocol/ProtocolTexts.h"

namespace nmb {

namespace names = texts::request;

namespace {

// Checks an error reply or the echoed name only, for requests whose value
// layout the caller interprets.
void checkHead(const std::uint8_t* body, std::size_t size, std::string_view name) {
  replies::open(body, size, Request(name));
}

}  // namespace

Client::Client(std::string host, std::uint16_t port, Timeout timeout, std::uint64_t maxFrameBody)
    : Client(std::move(host), port, timeout, WaitForHost{}, maxFrameBody) {}

Client::Client(std::string host, std::uint16_t port, Timeout timeout, WaitForHost wait,
               std::uint64_t maxFrameBody)
    : host_(std::move(host)), port_(port), timeout_(timeout), wait_(wait), reader_(maxFrameBody) {
  reconnect();
}

void Client::close() {
  stream_.close();
  reader_.clear();
}

void Client::reconnect() {
  detail::connectWaiting(host_, port_, wait_, [this] { connectOnce(); });
}

void Client::connectOnce() {
  close();
  const net::Deadline until = deadline();
  stream_ = net::TcpStream::connect(host_, port_, until);
  try {
    sendBuffer_.clear();
    wire::appendTextFrame(sendBuffer_, texts::kRequestRole);
    Frame frame;
    try {
      stream_.sendAll(sendBuffer_.data(), sendBuffer_.size(), until);
      frame = receive(until, true);
    } catch (const ConnectionError& e) {
      throw closedBeforeHandshake(host_, port_, e);
    }
    version_ = replies::decodeHandshake(frame.body, frame.size, texts::kRequestRole).version;
  } catch (...) {
    close();
    throw;
  }
}

void Client::sendRequests(const Request* requests, std::size_t count, net::Deadline until) {
  if (!stream_.isOpen()) throw ConnectionError("not connected to the plug-in (call reconnect())");
  sendBuffer_.clear();
  for (std::size_t i = 0; i < count; ++i)
    wire::appendRequestFrame(sendBuffer_, requests[i].name, requests[i].args.data(), requests[i].argCount);
  try {
    stream_.sendAll(sendBuffer_.data(), sendBuffer_.size(), until);
  } catch (...) {
    close();
    throw;
  }
}

Frame Client::receive(net::Deadline until, bool justAsked) {
  try {
    const Frame frame = reader_.next(stream_, until, justAsked);
    lastReceive_ = frame.received;
    return frame;
  } catch (const ClientError&) {
    // A late or unreadable reply would be taken for the answer to the next
    // request; only a fresh connection is certain to be in step.
    close();
    throw;
  }
}

Frame Client::exchange(const Request& request) {
  const net::Deadline until = deadline();
  sendRequests(&request, 1, until);
  return receive(until, true);
}

Reply Client::request(std::string_view name, std::initializer_list<std::int32_t> args) {
  const Request r(name, args);
  const Frame frame = exchange(r);
  try {
    checkHead(frame.body, frame.size, r.name);
  } catch (const ProtocolError&) {
    close();
    throw;
  }
  return Reply{std::vector<std::uint8_t>(frame.body, frame.body + frame.size), frame.received};
}

std::vector<Reply> Client::pipeline(const std::vector<Request>& requests) {
  const net::Deadline until = deadline();
  sendRequests(requests.data(), requests.size(), until);
  std::vector<Reply> replies(requests.size());
  std::exception_ptr firstRefusal;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const Frame frame = receive(until, i == 0);
    replies[i].body.assign(frame.body, frame.body + frame.size);
    replies[i].received = frame.received;
    try {
      checkHead(frame.body, frame.size, requests[i].name);
    } catch (const NimbrelError&) {
      if (!firstRefusal) firstRefusal = std::current_exception();
    } catch (const ProtocolError&) {
      close();
      throw;
    }
  }
  if (firstRefusal) std::rethrow_exception(firstRefusal);
  return replies;
}

std::vector<float> Client::meansOfRois(std::int32_t count) {
  std::vector<Request> requests;
  requests.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
  for (std::int32_t roi = 0; roi < count; ++roi) requests.push_back(Request(names::kGetMeanOfROI, {roi}));
  const std::vector<Reply> replies = pipeline(requests);
  std::vector<float> means(replies.size());
  for (std::size_t i = 0; i < replies.size(); ++i) {
    try {
      means[i] = replies::decodeReal(replies[i].body.data(), replies[i].body.size(), requests[i]);
    } catch (const ProtocolError&) {
      close();
      throw;
    }
  }
  return means;
}

std::vector<float> Client::meansOfAllRois() { return meansOfRois(nrOfRois()); }

// Requests without arguments.
std::int32_t Client::currentTimePoint() {
  return call(Request(names::kGetCurrentTimePoint), replies::decodeInt);
}
std::int32_t Client::expectedNrOfTimePoints() {
  return call(Request(names::kGetExpectedNrOfTimePoints), replies::decodeInt);
}
Dims Client::dimsOfFunctionalData() {
  return call(Request(names::kGetDimsOfFunctionalData), replies::decodeDims);
}
std::string Client::projectName() { return call(Request(names::kGetProjectName), replies::decodeText); }
std::string Client::watchFolder() { return call(Request(names::kGetWatchFolder), replies::decodeText); }
std::string Client::targetFolder() { return call(Request(names::kGetTargetFolder), replies::decodeText); }
std::string Client::feedbackFolder() { return call(Request(names::kGetFeedbackFolder), replies::decodeText); }
std::int32_t Client::currentProtocolCondition() {
  return call(Request(names::kGetCurrentProtocolCondition), replies::decodeInt);
}
std::int32_t Client::fullNrOfPredictors() {
  return call(Request(names::kGetFullNrOfPredictors), replies::decodeInt);
}
std::int32_t Client::currentNrOfPredictors() {
  return call(Request(names::kGetCurrentNrOfPredictors), replies::decodeInt);
}
std::int32_t Client::nrOfConfoundPredictors() {
  return call(Request(names::kGetNrOfConfoundPredictors), replies::decodeInt);
}
std::int32_t Client::nrOfContrasts() { return call(Request(names::kGetNrOfContrasts), replies::decodeInt); }
std::int32_t Client::nrOfRois() { return call(Request(names::kGetNrOfROIs), replies::decodeInt); }
std::vector<float> Client::betaMaps() { return call(Request(names::kGetBetaMaps), replies::decodeReals); }
std::vector<float> Client::contrastMaps() {
  return call(Request(names::kGetContrastMaps), replies::decodeReals);
}
std::int32_t Client::numberOfClasses() {
  return call(Request(names::kGetNumberOfClasses), replies::decodeInt);
}
ClassifierOutput Client::currentClassifierOutput() {
  return call(Request(names::kGetCurrentClassifierOutput), replies::decodeClassifier);
}

// Requests with arguments.
float Client::valueOfDesignMatrix(std::int32_t predictor, std::int32_t timePoint) {
  return call(Request(names::kGetValueOfDesignMatrix, {predictor, timePoint}), replies::decodeReal);
}
float Client::meanOfRoi(std::int32_t roi) {
  return call(Request(names::kGetMeanOfROI, {roi}), replies::decodeReal);
}
float Client::detrendedValueOfRoi(std::int32_t roi) {
  return call(Request(names::kGetDetrendedValueOfROI, {roi}), replies::decodeReal);
}
std::vector<float> Client::existingMeansOfRoi(std::int32_t roi, std::int32_t endTimePoint) {
  return call(Request(names::kGetExistingMeansOfROI, {roi, endTimePoint}), replies::decodeReals);
}
float Client::meanOfRoiAtTimePoint(std::int32_t roi, std::int32_t timePoint) {
  return call(Request(names::kGetMeanOfROIAtTimePoint, {roi, timePoint}), replies::decodeReal);
}
std::int32_t Client::nrOfVoxelsOfRoi(std::int32_t roi) {
  return call(Request(names::kGetNrOfVoxelsOfROI, {roi}), replies::decodeInt);
}
float Client::betaOfRoi(std::int32_t roi, std::int32_t beta) {
  return call(Request(names::kGetBetaOfROI, {roi, beta}), replies::decodeReal);
}
VoxelCoords Client::coordsOfVoxelOfRoi(std::int32_t roi, std::int32_t voxel) {
  return call(Request(names::kGetCoordsOfVoxelOfROI, {roi, voxel}), replies::decodeCoords);
}
std::vector<VoxelCoords> Client::allCoordsOfVoxelsOfRoi(std::int32_t roi) {
  return call(Request(names::kGetAllCoordsOfVoxelsOfROI, {roi}), replies::decodeCoordsRun);
}
float Client::valueOfVoxelAtTime(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t timePoint) {
  return call(Request(names::kGetValueOfVoxelAtTime, {x, y, z, timePoint}), replies::decodeReal);
}
std::vector<std::int16_t> Client::valueOfAllVoxelsAtTime(std::int32_t timePoint) {
  return call(Request(names::kGetValueOfAllVoxelsAtTime, {timePoint}), replies::decodeSamples);
}
std::vector<std::int16_t> Client::rawValueOfAllVoxelsAtTime(std::int32_t timePoint) {
  return call(Request(names::kGetRawValueOfAllVoxelsAtTime, {timePoint}), replies::decodeSamples);
}
float Client::betaOfVoxel(std::int32_t beta, std::int32_t x, std::int32_t y, std::int32_t z) {
  return call(Request(names::kGetBetaOfVoxel, {beta, x, y, z}), replies::decodeReal);
}
float Client::mapValueOfVoxel(std::int32_t map, std::int32_t x, std::int32_t y, std::int32_t z) {
  return call(Request(names::kGetMapValueOfVoxel, {map, x, y, z}), replies::decodeReal);
}

// Correlations.
std::vector<float> Client::pearsonCorrelation(std::int32_t window) {
  return call(Request(names::kGetPearsonCorrelation, {window}), replies::decodeReals);
}
std::vector<float> Client::pearsonCorrelationAtTimePoint(std::int32_t window, std::int32_t timePoint) {
  return call(Request(names::kGetPearsonCorrelationAtTimePoint, {window, timePoint}), replies::decodeReals);
}
std::vector<float> Client::partialCorrelation(std::int32_t window) {
  return call(Request(names::kGetPartialCorrelation, {window}), replies::decodeReals);
}
std::vector<float> Client::partialCorrelationAtTimePoint(std::int32_t window, std::int32_t timePoint) {
  return call(Request(names::kGetPartialCorrelationAtTimePoint, {window, timePoint}), replies::decodeReals);
}
float Client::instantProxyCorrelation(std::int32_t window) {
  return call(Request(names::kGetInstantProxyCorrelation, {window}), replies::decodeReal);
}
float Client::instantProxyCorrelationAtTimePoint(std::int32_t window, std::int32_t timePoint) {
  return call(Request(names::kGetInstantProxyCorrelationAtTimePoint, {window, timePoint}),
              replies::decodeReal);
}

}  // namespace nmb
