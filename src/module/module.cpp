#include "module/module.h"

#include <cstdlib>
#include <new>

namespace tarvelo {

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
