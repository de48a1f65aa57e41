// TcpIpExport::executeRequest: one decoded request to one framed reply.
#include "analytics/RunRecord.h"
#include "plugin/TcpIpExport.h"
#include "protocol/RequestTable.h"
#include "protocol/ReplyWriter.h"

QByteArray TcpIpExport::executeRequest(QList<QVariant> request) {
  const QString name = request.value(0).toString();
  const RequestEntry* entry = findRequest(name);
  // Without a matching entry the writer finishes as "No function call matched!".
  ReplyWriter reply(entry != nullptr ? entry->name : nullptr);
  if (entry != nullptr) {
    const RunRecordReader record(*this);
    entry->handler(RequestContext{record, request}, reply);
  }
  return reply.finish();
}
