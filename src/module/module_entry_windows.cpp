// The platform loader calls DllMain for process and thread attach and detach; its
// result decides whether LoadLibrary succeeds.
#include <windows.h>

#include "module/module.h"

namespace tarvelo {
namespace {

// Constant-initialised: they are ready before the loader's first call.
constinit StandInFramework g_framework;
constinit ExtensionModuleRecord g_module_record;

}  // namespace
}  // namespace tarvelo

// The C runtime's start-up code has run its own initialisers by the time DllMain
// is called; none of them registers anything with the framework, so running the
// early hook first thing here keeps its order relative to the module's own (empty)
// set of static initialisers. After a refused attach the loader calls DllMain once
// more for process detach; terminating the never-initialised record is harmless.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  return tarvelo::ModuleStartup(tarvelo::g_framework, tarvelo::g_module_record, instance, reason) != 0
             ? TRUE
             : FALSE;
}
