#pragma once

#include <cstddef>

#include "module/module_framework.h"

namespace tarvelo {

// A library-registration object of the stand-in framework: a node in the module
// state's list of registered libraries, bound to one extension-module record.
struct LibraryRegistration {
  LibraryRegistration* next = nullptr;
  ExtensionModuleRecord* module = nullptr;
  int system_library = 0;
};

// Takes the host framework's place where there is none (Linux, desktop Windows):
// the five operations, minimal but true to their contract.
//   - InitExtensionModule records the instance, moves what the module's
//     initialisers put into the two lists (the current heads) into the record and
//     puts the heads parked by the early hook back. It fails (0) without an
//     instance handle, putting the parked heads back all the same; a second call
//     on an initialised record changes nothing.
//   - AllocateObject takes storage from the C heap.
//   - ConstructLibraryRegistration links a LibraryRegistration, built in that
//     storage, into the module state's list.
//   - TermExtensionModule unlinks and frees the record's registrations (every
//     registration when `all` is non-zero) and clears the record. A record that
//     was never initialised has nothing to release.
// The loader serialises attach and detach, so none of this takes a lock.
class StandInFramework final : public ModuleFramework {
 public:
  constexpr StandInFramework() = default;

  ModuleState* CurrentModuleState() noexcept override { return &state_; }
  int InitExtensionModule(ExtensionModuleRecord& record, ModuleHandle instance) noexcept override;
  void* AllocateObject(std::size_t bytes) noexcept override;
  void ConstructLibraryRegistration(void* storage, ExtensionModuleRecord& record,
                                    int system_library) noexcept override;
  void TermExtensionModule(ExtensionModuleRecord& record, int all) noexcept override;

 private:
  ModuleState state_{};
};

}  // namespace tarvelo
