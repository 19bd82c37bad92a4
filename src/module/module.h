#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace tarvelo {

// The host's application framework sees this library as an extension module: at
// load the module initialises a record of its own with the framework and creates a
// library-registration object; at unload it terminates the record. The framework's
// inner workings are its own; this header fixes only what the module touches, the
// start-up routine over it, and the built-in stand-in where the framework is absent.

// The loader's handle of the loaded module (its base address).
using ModuleHandle = void*;

// A library-registration object of the stand-in framework: a node in the module
// state's list of registered libraries, bound to one extension-module record.
struct ExtensionModuleRecord;
struct LibraryRegistration {
  LibraryRegistration* next = nullptr;
  ExtensionModuleRecord* module = nullptr;
  int system_library = 0;
};

// The framework's state of the current module. The module itself touches only the
// two list heads and their companion slots (see EarlyModuleHook); what the lists
// hold is the framework's matter. The stand-in also keeps its registered libraries
// here.
struct ModuleState {
  void* first_list_saved = nullptr;
  void* first_list_head = nullptr;
  void* second_list_saved = nullptr;
  void* second_list_head = nullptr;
  LibraryRegistration* registered_libraries = nullptr;
};

// The module's own extension-module record: one static record, zero at load, whose
// contents belong to the framework. The framework fills it at initialisation and
// reads it at termination.
struct ExtensionModuleRecord {
  int initialized = 0;
  ModuleHandle instance = nullptr;
  void* first_list = nullptr;   // what the module's initialisers added to the first list
  void* second_list = nullptr;  // and to the second
};

// Why the platform loader calls the module's start-up routine.
enum LoaderReason : uint32_t {
  kProcessDetach = 0,
  kProcessAttach = 1,
  kThreadAttach = 2,
  kThreadDetach = 3,
};

// Size of the framework's library-registration object.
inline constexpr std::size_t kLibraryRegistrationBytes = 64;

// The start-up routine below is written over a `Framework`: the five framework
// operations the module uses, as members. The real framework exports them by
// ordinal (644, 655, 315, 88 and 699, in this order); where it is absent,
// StandInFramework takes its place, and the tests record the calls.
//   ModuleState* CurrentModuleState(): the framework's state of the current
//     module; never null.
//   int InitExtensionModule(ExtensionModuleRecord& record, ModuleHandle instance):
//     initialises `record` for the module loaded at `instance`; non-zero on success.
//   void* AllocateObject(std::size_t bytes): storage for a framework object of
//     `bytes` bytes, or null.
//   void ConstructLibraryRegistration(void* storage, ExtensionModuleRecord& record,
//     int system_library): constructs a library-registration object in `storage`
//     (from AllocateObject) for `record`; `system_library` is 0 for an ordinary
//     library. The framework owns the object from then on.
//   void TermExtensionModule(ExtensionModuleRecord& record, int all): terminates
//     `record`, letting go of the module's registrations; `all` 0 releases only
//     what belongs to this record.

// Runs before any static initialiser of the module on process attach, and once more
// after everything else on process detach. On process attach it parks each of the
// current module state's two list heads in its companion slot and empties the head,
// so that what the module's own initialisers register can be told apart from what
// was there before. It does nothing for any other reason, and returns 1 for every
// reason (a 0 would make the loader refuse the module at once).
template <typename Framework>
int EarlyModuleHook(Framework& framework, uint32_t reason) noexcept {
  if (reason == kProcessAttach) {
    ModuleState* state = framework.CurrentModuleState();
    state->first_list_saved = state->first_list_head;
    state->first_list_head = nullptr;
    state->second_list_saved = state->second_list_head;
    state->second_list_head = nullptr;
  }
  return 1;
}

// Process attach after the static initialisers: initialises `record` with the
// framework, then allocates and constructs the module's library registration, which
// the framework owns from then on (the module never deletes it). Returns 0, refusing
// the load, when the initialisation fails (nothing is allocated then); a failed
// allocation only skips the registration and still returns 1.
template <typename Framework>
int AttachModule(Framework& framework, ExtensionModuleRecord& record, ModuleHandle instance) noexcept {
  if (framework.InitExtensionModule(record, instance) == 0) {
    return 0;
  }
  void* storage = framework.AllocateObject(kLibraryRegistrationBytes);
  if (storage != nullptr) {
    framework.ConstructLibraryRegistration(storage, record, /*system_library=*/0);
  }
  return 1;
}

// Process detach: terminates `record`, for this module only.
template <typename Framework>
void DetachModule(Framework& framework, ExtensionModuleRecord& record) noexcept {
  framework.TermExtensionModule(record, /*all=*/0);
}

// The whole start-up routine as the loader drives it (the module has no static
// initialisers of its own between the early hook and AttachModule):
//   process attach: EarlyModuleHook, AttachModule; its result decides the load;
//   thread attach and detach: nothing, 1;
//   process detach: DetachModule, then EarlyModuleHook (which does nothing then); 1.
template <typename Framework>
int ModuleStartup(Framework& framework, ExtensionModuleRecord& record, ModuleHandle instance,
                  uint32_t reason) noexcept {
  if (reason == kProcessAttach) {
    return EarlyModuleHook(framework, reason) != 0 ? AttachModule(framework, record, instance) : 0;
  }
  if (reason == kProcessDetach) {
    DetachModule(framework, record);
    (void)EarlyModuleHook(framework, reason);
  }
  return 1;
}

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
class StandInFramework {
 public:
  ModuleState* CurrentModuleState() noexcept { return &state_; }
  int InitExtensionModule(ExtensionModuleRecord& record, ModuleHandle instance) noexcept {
    if (record.initialized != 0) {
      return 1;
    }
    if (instance != nullptr) {
      record.instance = instance;
      record.first_list = state_.first_list_head;
      record.second_list = state_.second_list_head;
      record.initialized = 1;
    }
    // Refused or not, the heads the early hook parked go back: a module that fails
    // to load does not leave the host's lists emptied (what it added is dropped with it).
    state_.first_list_head = state_.first_list_saved;
    state_.second_list_head = state_.second_list_saved;
    return record.initialized;
  }
  void* AllocateObject(std::size_t bytes) noexcept { return std::malloc(bytes); }
  void ConstructLibraryRegistration(void* storage, ExtensionModuleRecord& record,
                                    int system_library) noexcept {
    static_assert(sizeof(LibraryRegistration) <= kLibraryRegistrationBytes,
                  "a registration must fit the storage the module allocates for it");
    state_.registered_libraries = new (storage) LibraryRegistration{
        .next = state_.registered_libraries, .module = &record, .system_library = system_library};
  }
  void TermExtensionModule(ExtensionModuleRecord& record, int all) noexcept {
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

 private:
  ModuleState state_{};
};

// The stand-in and the record that the ELF load hooks drive (module_entry_elf.cpp),
// for the test that loads them.
StandInFramework& LoadedModuleFramework() noexcept;
ExtensionModuleRecord& LoadedModuleRecord() noexcept;

}  // namespace tarvelo
