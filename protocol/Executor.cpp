// TcpIpExport::executeRequest: one decoded request to one framed reply.
#include "analytics/RunRecord.h"
#include "plugin/TcpIpExport.h"
#include "protocol/RequestTable.h"
#include "protocol/ReplyWriter.h"

QByteArray TcpIpExport::executeRequest(QList<QVariant> request) {
  const QByteArray name = request.value(0).toString().toUtf8();
  return executeRequest(findRequest(name.constData(), name.size()), request);
}

QByteArray TcpIpExport::executeRequest(const RequestEntry* entry, const QList<QVariant>& request) {
  // Without a matching entry the writer finishes as "No function call matched!".
  ReplyWriter reply(entry != nullptr ? entry->name : nullptr);
  if (entry != nullptr) {
    const RunRecordReader record(*this);
    entry->handler(RequestContext{record, request}, reply);
  }
  return reply.finish();
}
