// Windows CE: the loader calls the image's entry point for process and thread attach
// and detach, and the host framework is the real one, bound by ordinal
// (module/host_framework.def).
#include <cstddef>
#include <cstdint>

#include "module/module.h"

extern "C" {
void* TarveloHostModuleState();                                                     // 644
int TarveloHostInitExtensionModule(void* record, void* instance);                   // 655
void* TarveloHostAllocateObject(std::size_t bytes);                                 // 315
void TarveloHostConstructLibrary(void* storage, void* record, int system_library);  // 88
void TarveloHostTermExtensionModule(void* record, int all);                         // 699
}

namespace tarvelo {
namespace {

class HostFramework {
 public:
  ModuleState* CurrentModuleState() noexcept { return static_cast<ModuleState*>(TarveloHostModuleState()); }
  int InitExtensionModule(ExtensionModuleRecord& record, ModuleHandle instance) noexcept {
    return TarveloHostInitExtensionModule(&record, instance);
  }
  void* AllocateObject(std::size_t bytes) noexcept { return TarveloHostAllocateObject(bytes); }
  void ConstructLibraryRegistration(void* storage, ExtensionModuleRecord& record,
                                    int system_library) noexcept {
    TarveloHostConstructLibrary(storage, &record, system_library);
  }
  void TermExtensionModule(ExtensionModuleRecord& record, int all) noexcept {
    TarveloHostTermExtensionModule(&record, all);
  }
};

// The framework fills more of its extension-module record than the four fields
// the module reads: room is kept after them.
struct ReservedRecord {
  ExtensionModuleRecord record;
  void* framework_fields[12];
};

constinit HostFramework g_framework;
constinit ReservedRecord g_module_record{};

}  // namespace
}  // namespace tarvelo

// The image's entry point (no C runtime start-up runs before it: the module has no
// static initialisers, so the early hook is the first thing on process attach).
extern "C" int TarveloModuleEntry(void* instance, uint32_t reason, void* /*reserved*/) {
  return tarvelo::ModuleStartup(tarvelo::g_framework, tarvelo::g_module_record.record, instance, reason);
}
