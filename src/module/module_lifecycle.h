#pragma once

#include <cstddef>
#include <cstdint>

#include "module/module_framework.h"

namespace tarvelo {

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

}  // namespace tarvelo
