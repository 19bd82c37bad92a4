#include "module/module_lifecycle.h"

namespace tarvelo {

int EarlyModuleHook(ModuleFramework& framework, uint32_t reason) noexcept {
  if (reason != kProcessAttach) {
    return 1;
  }
  ModuleState* state = framework.CurrentModuleState();
  state->first_list_saved = state->first_list_head;
  state->first_list_head = nullptr;
  state->second_list_saved = state->second_list_head;
  state->second_list_head = nullptr;
  return 1;
}

int AttachModule(ModuleFramework& framework, ExtensionModuleRecord& record, ModuleHandle instance) noexcept {
  if (framework.InitExtensionModule(record, instance) == 0) {
    return 0;
  }
  // The framework owns the registration from here on; the module never deletes it.
  void* storage = framework.AllocateObject(kLibraryRegistrationBytes);
  if (storage != nullptr) {
    framework.ConstructLibraryRegistration(storage, record, /*system_library=*/0);
  }
  return 1;
}

void DetachModule(ModuleFramework& framework, ExtensionModuleRecord& record) noexcept {
  framework.TermExtensionModule(record, /*all=*/0);
}

int ModuleStartup(ModuleFramework& framework, ExtensionModuleRecord& record, ModuleHandle instance,
                  uint32_t reason) noexcept {
  switch (reason) {
    case kProcessAttach:
      if (EarlyModuleHook(framework, reason) == 0) {
        return 0;
      }
      return AttachModule(framework, record, instance);
    case kProcessDetach:
      DetachModule(framework, record);
      (void)EarlyModuleHook(framework, reason);  // does nothing on detach; kept for symmetry
      return 1;
    default: return 1;  // thread attach and detach need nothing
  }
}

}  // namespace tarvelo
