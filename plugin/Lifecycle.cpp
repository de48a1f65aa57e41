// The run lifecycle: the five interface operations the host calls on its thread.
#include "plugin/HostFunctions.h"
#include "plugin/HostVersion.h"
#include "plugin/TcpIpExport.h"
#include "plugin/platform/HostModule.h"

bool TcpIpExport::initPlugin() {
  if (!bindHostFunctions()) return false;

  char programFolder[kHostPathBufferSize] = {};
  if (hostFunctions.tGetNMBPath != nullptr) {
    hostFunctions.tGetNMBPath(programFolder);
    programFolder[kHostPathBufferSize - 1] = '\0';
    platform::addLibraryDirectory(programFolder);
  }

  if (isSupportedHostVersion(queryHostVersion())) return true;
  if (hostFunctions.tMessageBox != nullptr)
    hostFunctions.tMessageBox("Can not execute this plugin - Nimbrel version 3.0 or higher required.");
  return false;
}

// Filled in with the channel worker.
bool TcpIpExport::executePreRun(unsigned short) { return false; }
bool TcpIpExport::executePreStep() { return false; }
bool TcpIpExport::executePostStep() { return false; }
bool TcpIpExport::executePostRun() { return false; }
