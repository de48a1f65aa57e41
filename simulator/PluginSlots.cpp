// The plug-in's interface called the way Nimbrel calls it.
//
// Nimbrel holds the plug-in object through its own declaration of the
// interface and calls the operations by their virtual-table slots, as its
// compiler lays them out.  This unit is that caller: it declares the interface
// exactly as the host does and includes nothing, so that the Windows build
// can compile it with the host compiler's C++ ABI (clang for the MSVC
// target) while the rest of the simulator is built with MinGW.  Whatever the
// plug-in's own compiler does with its virtual table, the simulator then
// reaches slot 0 (the destructor, with flags 1: free the memory), slot 1
// (initPlugin), ... slot 5 (executePostRun) as Nimbrel does.  On Linux the
// unit is built with the same compiler as the plug-in, the only ABI there.
//
// The functions take the pointer createPlugin returned.

namespace hostabi {

class NMBPluginInterface {
 public:
  virtual ~NMBPluginInterface();
  virtual bool initPlugin() = 0;
  virtual bool executePreRun(unsigned short) = 0;
  virtual bool executePreStep() = 0;
  virtual bool executePostStep() = 0;
  virtual bool executePostRun() = 0;
};

NMBPluginInterface* of(void* plugin) { return static_cast<NMBPluginInterface*>(plugin); }

}  // namespace hostabi

extern "C" {

bool nmbHostCallInitPlugin(void* plugin) { return hostabi::of(plugin)->initPlugin(); }
bool nmbHostCallExecutePreRun(void* plugin, unsigned short port) {
  return hostabi::of(plugin)->executePreRun(port);
}
bool nmbHostCallExecutePreStep(void* plugin) { return hostabi::of(plugin)->executePreStep(); }
bool nmbHostCallExecutePostStep(void* plugin) { return hostabi::of(plugin)->executePostStep(); }
bool nmbHostCallExecutePostRun(void* plugin) { return hostabi::of(plugin)->executePostRun(); }
void nmbHostDeletePlugin(void* plugin) { delete hostabi::of(plugin); }
}
