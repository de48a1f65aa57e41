// TcpIpExport::executeRequest: one decoded request to one framed reply.
#include "plugin/TcpIpExport.h"
#include "protocol/Dispatch.h"
#include "protocol/ReplyWriter.h"

QByteArray TcpIpExport::executeRequest(QList<QVariant> request) {
  const QString name = request.value(0).toString();
  const DispatchEntry* entry = findDispatchEntry(name);
  // Without a matching entry the writer finishes as "No function call matched!".
  ReplyWriter reply(entry != nullptr ? entry->name : nullptr);
  if (entry != nullptr) entry->handler(RequestContext{*this, request}, reply);
  return reply.finish();
}
