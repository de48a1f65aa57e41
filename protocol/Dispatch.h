// The dispatch table: every request name the executor answers, in the order
// it tries them, with its handler.
#pragma once

#include <QString>

#include "protocol/RequestContext.h"

struct DispatchEntry {
  const char* name;  // a protocol text, also the name the reply echoes
  int nameLength;
  RequestHandler handler;
};

// The entry whose name equals `name` (whole and case-sensitive), or null.
// Compares against the table's bytes in place; nothing is allocated.
const DispatchEntry* findDispatchEntry(const QString& name);
