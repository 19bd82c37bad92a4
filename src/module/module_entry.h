#pragma once

#include "module/module_framework.h"

namespace tarvelo {

// The framework and the extension-module record that the module's load and unload
// hooks drive (DllMain on Windows; the ELF constructors and destructors on Linux).
// On both, the framework is the built-in StandInFramework: the host framework the
// module was made for does not exist there.
ModuleFramework& LoadedModuleFramework() noexcept;
ExtensionModuleRecord& LoadedModuleRecord() noexcept;

}  // namespace tarvelo
