// A test-only shared object built from the library's ELF load hooks and its
// stand-in framework, reporting what the hooks did. The real library keeps both
// hidden.
#include "load_hooks_probe.h"

#include "module/module.h"

extern "C" __attribute__((visibility("default"))) void TarveloProbeLoadHooks(LoadHooksReport* report) {
  using namespace tarvelo;
  const ExtensionModuleRecord& record = LoadedModuleRecord();
  const ModuleState& state = *LoadedModuleFramework().CurrentModuleState();
  *report = {};
  report->record_initialized = record.initialized;
  report->instance = record.instance;
  report->first_list_head = state.first_list_head;
  report->second_list_head = state.second_list_head;
  for (const LibraryRegistration* node = state.registered_libraries; node != nullptr; node = node->next) {
    ++report->registrations;
    if (node->module == &record && node->system_library == 0) {
      ++report->registrations_of_this_module;
    }
  }
}
