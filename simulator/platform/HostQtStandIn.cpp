// A stand-in for one of the Qt DLLs Nimbrel loads before any plug-in
// (Qt5Core.dll, Qt5Network.dll; NMB_STANDIN_NAME says which).  Nimbrel's own
// are built by another compiler, so none of a MinGW build's Qt names are in
// them; this one exports no Qt name at all.  A plug-in that imported a DLL of
// this name would be bound to it and fail to load, as it would in Nimbrel.
extern "C" __declspec(dllexport) const char* nmbHostQtStandIn() { return NMB_STANDIN_NAME " stand-in"; }
