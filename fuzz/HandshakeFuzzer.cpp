// Fuzzes the role handshake's reading side: the input is what a new client
// sends first.  The role message is read with the plug-in's framing and text
// reader, and the answer built from the role must be the frame every client
// expects: the role, then 2, 0, 0.
#include <QByteArray>
#include <QDataStream>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "channels/Framing.h"
#include "channels/MessageTransfer.h"
#include "fuzz/LoopbackPair.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static LoopbackPair pair;
  if (!pair.connected()) pair.reconnect();
  pair.sendFromClient(QByteArray(reinterpret_cast<const char*>(data), int(size)));

  const std::atomic<bool> noStop{false};
  QByteArray message;
  QByteArray role;
  if (framing::receiveFrame(pair.server(), 1, noStop, message) == framing::ReceiveResult::Received) {
    int at = 0;
    framing::TextView text;
    if (framing::readText(message, at, text)) {
      role = QByteArray(text.chars, text.length);
      // The text reader stops at the first NUL and never reads past the body.
      if (role.contains('\0') || role.size() > message.size()) std::abort();
    }
  }
  const QByteArray answer = framing::handshakeAnswerBlock(QString::fromUtf8(role));
  QDataStream in(answer);
  framing::setUpStream(in);
  qint64 length = -1;
  in >> length;
  if (length != answer.size() - framing::kLengthFieldSize) std::abort();
  int at = framing::kLengthFieldSize;
  framing::TextView echoed;
  if (!framing::readText(answer, at, echoed) && !role.isEmpty()) std::abort();
  in.skipRawData(at - framing::kLengthFieldSize);
  qint32 major = -1, minor = -1, patch = -1;
  in >> major >> minor >> patch;
  if (in.status() != QDataStream::Ok || major != 2 || minor != 0 || patch != 0 || !in.atEnd()) std::abort();
  pair.drainServer();
  return 0;
}
