// The plug-in's boundary towards Nimbrel: no exception crosses it.
//
// Nimbrel is built by another compiler with its own runtime, and calls the
// plug-in through plain functions and a virtual table: an exception that
// reached it would end Nimbrel's process in the middle of an experiment.
// Inside the plug-in, Qt's and the standard library's allocations
// (std::bad_alloc) and thread creation (std::system_error) can throw.  Each
// entry point therefore runs its body through quietly(): an exception ends
// the call with the entry point's neutral result, and the plug-in goes on
// with the next call.
//
//   bool TcpIpExport::executePreStep() { return quietly(true, [this] { return doPreStep(); }); }
#pragma once

template <typename Result, typename Body>
Result quietly(Result fallback, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}
