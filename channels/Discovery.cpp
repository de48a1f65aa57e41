#include "channels/Discovery.h"

#include "protocol/ProtocolTexts.h"

namespace discovery {

QByteArray datagram(quint16 port) { return QByteArray(texts::kBroadcastPrefix) + QByteArray::number(port); }

}  // namespace discovery
