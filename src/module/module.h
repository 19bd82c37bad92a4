#pragma once

#include <cstddef>
#include <cstdint>

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

// The five framework operations the module uses. The real framework exports them
// by ordinal (644, 655, 315, 88 and 699, in the order below); where it is absent,
// StandInFramework takes its place.
class ModuleFramework {
 public:
  // The framework's state of the current module; never null.
  virtual ModuleState* CurrentModuleState() noexcept = 0;

  // Initialises `record` for the module loaded at `instance`. Non-zero on success.
  virtual int InitExtensionModule(ExtensionModuleRecord& record, ModuleHandle instance) noexcept = 0;

  // Storage for a framework object of `bytes` bytes, or null.
  virtual void* AllocateObject(std::size_t bytes) noexcept = 0;

  // Constructs a library-registration object in `storage` (from AllocateObject) for
  // `record`; `system_library` is 0 for an ordinary library. The framework owns the
  // object from then on.
  virtual void ConstructLibraryRegistration(void* storage, ExtensionModuleRecord& record,
                                            int system_library) noexcept = 0;

  // Terminates `record`: the framework lets go of the module's registrations.
  // `all` 0 releases only what belongs to this record.
  virtual void TermExtensionModule(ExtensionModuleRecord& record, int all) noexcept = 0;

 protected:
  ~ModuleFramework() = default;  // never deleted through this interface
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

// Runs before any static initialiser of the module on process attach, and once more
// after everything else on process detach. On process attach it parks each of the
// current module state's two list heads in its companion slot and empties the head,
// so that what the module's own initialisers register can be told apart from what
// was there before. It does nothing for any other reason, and returns 1 for every
// reason (a 0 would make the loader refuse the module at once).
int EarlyModuleHook(ModuleFramework& framework, uint32_t reason) noexcept;

// Process attach after the static initialisers: initialises `record` with the
// framework, then allocates and constructs the module's library registration.
// Returns 0, refusing the load, when the initialisation fails (nothing is
// allocated then); a failed allocation only skips the registration and still
// returns 1.
int AttachModule(ModuleFramework& framework, ExtensionModuleRecord& record, ModuleHandle instance) noexcept;

// Process detach: terminates `record`, for this module only.
void DetachModule(ModuleFramework& framework, ExtensionModuleRecord& record) noexcept;

// The whole start-up routine as the loader drives it (the module has no static
// initialisers of its own between the early hook and AttachModule):
//   process attach: EarlyModuleHook, AttachModule; its result decides the load;
//   thread attach and detach: nothing, 1;
//   process detach: DetachModule, then EarlyModuleHook; 1.
int ModuleStartup(ModuleFramework& framework, ExtensionModuleRecord& record, ModuleHandle instance,
                  uint32_t reason) noexcept;

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

// The stand-in and the record that the ELF load hooks drive (module_entry_elf.cpp),
// for the test that loads them.
ModuleFramework& LoadedModuleFramework() noexcept;
ExtensionModuleRecord& LoadedModuleRecord() noexcept;

}  // namespace tarvelo
