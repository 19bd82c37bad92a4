// On Linux the dynamic loader runs the shared object's constructors when it is
// loaded and its destructors when it is unloaded; these drive the module's attach
// and detach. A constructor cannot refuse the load: when the initialisation fails,
// the library stays loaded without a registration (the conversions never use it)
// and the unload hook's termination finds nothing to release.
#include <dlfcn.h>

#include "module/module.h"

namespace tarvelo {
namespace {

constinit StandInFramework g_framework;
constinit ExtensionModuleRecord g_module_record;

// The module's instance handle: the base address it was loaded at.
ModuleHandle LoadedModuleBase() noexcept {
  Dl_info info{};
  return dladdr(&g_module_record, &info) != 0 ? info.dli_fbase : nullptr;
}

// Priority 101, the first one free for programs, runs before every static
// initialiser of default priority; as a destructor it runs after all others.
__attribute__((constructor(101))) void EarlyHookOnLoad() noexcept {
  (void)EarlyModuleHook(g_framework, kProcessAttach);
}

__attribute__((constructor)) void AttachOnLoad() noexcept {
  (void)AttachModule(g_framework, g_module_record, LoadedModuleBase());
}

__attribute__((destructor)) void DetachOnUnload() noexcept { DetachModule(g_framework, g_module_record); }

__attribute__((destructor(101))) void EarlyHookOnUnload() noexcept {
  (void)EarlyModuleHook(g_framework, kProcessDetach);
}

}  // namespace

StandInFramework& LoadedModuleFramework() noexcept { return g_framework; }
ExtensionModuleRecord& LoadedModuleRecord() noexcept { return g_module_record; }

}  // namespace tarvelo
