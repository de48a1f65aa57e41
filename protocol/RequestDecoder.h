// Decoding of one request message: the request name, then as many qint32
// arguments as the request table (RequestTable.h) lists for it.
//
// Pure; used by the request loop (QtTCPIPServer::serveRequests) on a request
// channel's thread, and by tests.
//
//   QList<QVariant> request;
//   const RequestEntry* entry;
//   if (decodeRequest(payload, request, &entry)) reply = owner->executeRequest(entry, request);
#pragma once

#include <QByteArray>
#include <QList>
#include <QVariant>

struct RequestEntry;

// Decodes `payload` (a message body) into `request`: element 0 the name as a
// string (the bytes up to the first NUL, decoded as UTF-8), then the
// arguments as ints.  An argument the message ends before reads as 0, bytes
// after the last one are ignored.  Returns false, leaving `request` empty,
// when the payload holds no name: shorter than the name's count, a count of 0,
// or fewer bytes than the count promises.  `entry`, when given, receives the
// request table's entry the name matched, or null for a name it lacks: the
// executor answers from it without matching the name again.
bool decodeRequest(const QByteArray& payload, QList<QVariant>& request, const RequestEntry** entry = nullptr);
