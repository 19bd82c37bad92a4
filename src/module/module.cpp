#include "module/module.h"

#include <cstdlib>
#include <new>

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
  if (reason == kProcessAttach) {
    return EarlyModuleHook(framework, reason) != 0 ? AttachModule(framework, record, instance) : 0;
  }
  if (reason == kProcessDetach) {
    DetachModule(framework, record);
    (void)EarlyModuleHook(framework, reason);  // does nothing on detach; called as the order has it
  }
  return 1;  // thread attach and detach need nothing
}

static_assert(sizeof(LibraryRegistration) <= kLibraryRegistrationBytes,
              "a registration must fit the storage the module allocates for it");

int StandInFramework::InitExtensionModule(ExtensionModuleRecord& record, ModuleHandle instance) noexcept {
  if (record.initialized != 0) {
    return 1;
  }
  if (instance != nullptr) {
    record.instance = instance;
    record.first_list = state_.first_list_head;
    record.second_list = state_.second_list_head;
    record.initialized = 1;
  }
  // Refused or not, the heads the early hook parked go back: a module that fails to
  // load does not leave the host's lists emptied (what it added is dropped with it).
  state_.first_list_head = state_.first_list_saved;
  state_.second_list_head = state_.second_list_saved;
  return record.initialized;
}

void* StandInFramework::AllocateObject(std::size_t bytes) noexcept { return std::malloc(bytes); }

void StandInFramework::ConstructLibraryRegistration(void* storage, ExtensionModuleRecord& record,
                                                    int system_library) noexcept {
  state_.registered_libraries = new (storage) LibraryRegistration{
      .next = state_.registered_libraries, .module = &record, .system_library = system_library};
}

void StandInFramework::TermExtensionModule(ExtensionModuleRecord& record, int all) noexcept {
  LibraryRegistration** link = &state_.registered_libraries;
  while (*link != nullptr) {
    LibraryRegistration* registration = *link;
    if (all != 0 || registration->module == &record) {
      *link = registration->next;
      registration->~LibraryRegistration();
      std::free(registration);
    } else {
      link = &registration->next;
    }
  }
  record = ExtensionModuleRecord{};
}

}  // namespace tarvelo
