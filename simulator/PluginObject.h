// PluginObject: the plug-in object as the host holds it.
//
// createPlugin's result is kept as an opaque pointer and driven through
// PluginSlots.cpp, which calls the interface's slots as Nimbrel does; nothing
// here depends on the plug-in's own declaration of the interface.  The
// destructor deletes the plug-in (slot 0), which stops its threads and
// disconnects every client; only then may its library be unloaded.
//
// Host's thread only, like every call Nimbrel makes.
#pragma once

class PluginObject {
 public:
  // `object` is what createPlugin returned (not null); owned from now on.
  explicit PluginObject(void* object) : object_(object) {}
  ~PluginObject();

  PluginObject(const PluginObject&) = delete;
  PluginObject& operator=(const PluginObject&) = delete;

  bool initPlugin();
  bool executePreRun(unsigned short port);
  bool executePreStep();
  bool executePostStep();
  bool executePostRun();

 private:
  void* object_;
};
