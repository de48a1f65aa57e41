// Fuzzes a request connection: the input's first bytes shape the host, the
// rest is the byte stream a client sends.  Each frame is read with the
// plug-in's own framing, decoded and executed against the fake host, and every
// reply must be a well-formed frame that starts with a text (or the
// classifier's empty frame).
#include <QByteArray>
#include <QDataStream>
#include <QList>
#include <QVariant>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "channels/Framing.h"
#include "channels/MessageTransfer.h"
#include "fuzz/FuzzHost.h"
#include "fuzz/LoopbackPair.h"
#include "plugin/TcpIpExport.h"
#include "protocol/ProtocolTexts.h"
#include "protocol/RequestDecoder.h"

namespace {

void requireWellFormedReply(const QByteArray& reply, const QString& requestName) {
  if (reply.size() < framing::kLengthFieldSize) std::abort();
  QDataStream in(reply);
  framing::setUpStream(in);
  qint64 length = -1;
  in >> length;
  if (length != reply.size() - framing::kLengthFieldSize) std::abort();
  // The classifier answers a state it does not know with the empty frame.
  if (length == 0 && requestName == QLatin1String(texts::request::kGetCurrentClassifierOutput)) return;
  int at = framing::kLengthFieldSize;
  framing::TextView name;
  if (!framing::readText(reply, at, name)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < fuzzhost::kConfigBytes) return -1;
  static TcpIpExport plugin;
  static LoopbackPair pair;
  fuzzhost::bindOnce(plugin);
  fuzzhost::configure(plugin, data);
  if (!pair.connected()) pair.reconnect();

  pair.sendFromClient(QByteArray(reinterpret_cast<const char*>(data) + fuzzhost::kConfigBytes,
                                 int(size - fuzzhost::kConfigBytes)));
  const std::atomic<bool> noStop{false};
  // Bounded: every frame consumes at least its length field.
  for (int frames = 0; frames < 256; ++frames) {
    QByteArray body;
    const framing::ReceiveResult result = framing::receiveFrame(pair.server(), 1, noStop, body);
    if (result != framing::ReceiveResult::Received) break;
    QList<QVariant> request;
    if (!decodeRequest(body, request)) continue;
    requireWellFormedReply(plugin.executeRequest(request), request.value(0).toString());
  }
  pair.drainServer();
  return 0;
}
