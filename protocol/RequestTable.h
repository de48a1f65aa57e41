// The request table: every request the plug-in answers, in the order the
// executor tries them, with the number of qint32 arguments its message
// carries and the handler that answers it.  Decoding reads the argument
// count, the executor the handler: a request is added here and nowhere else.
//
// Names are compared whole and case-sensitively, as bytes in place: the
// plug-in installs no translation, and without one the translation function
// returns a text unchanged, so comparing the bytes is the same test and
// allocates nothing.  Any name not in the table is decoded without arguments
// and answered "No function call matched!".
//
//   const RequestEntry* entry = findRequest(name, length);
//   if (entry != nullptr) entry->handler(context, reply);
#pragma once


#include "protocol/RequestContext.h"

struct RequestEntry {
  const char* name;  // a protocol text, also the name the reply echoes
  int nameLength;
  int argumentCount;
  RequestHandler handler;
};

// The entry named by the `length` bytes at `name`, or null.
const RequestEntry* findRequest(const char* name, int length);
