#pragma once

#include <cstddef>

namespace tarvelo {

// The host's application framework sees this library as an extension module: at
// load the module initialises a record of its own with the framework and creates a
// library-registration object; at unload it terminates the record. The framework's
// inner workings are its own; this header fixes only what the module touches.

// The loader's handle of the loaded module (its base address).
using ModuleHandle = void*;

struct LibraryRegistration;

// The framework's state of the current module. The module itself touches only the
// two list heads and their companion slots (see EarlyModuleHook); what the lists
// hold is the framework's matter. The framework also keeps its registered
// libraries here.
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
  ModuleFramework() = default;
  ModuleFramework(const ModuleFramework&) = default;
  ModuleFramework& operator=(const ModuleFramework&) = default;
  ~ModuleFramework() = default;
};

}  // namespace tarvelo
