#pragma once

#include <array>
#include <cstddef>
#include <ostream>
#include <vector>

#include "module/module.h"

namespace tarvelo::test {

// One call the module made into the framework, with its arguments.
struct FrameworkCall {
  enum class Op {
    kCurrentModuleState,
    kInitExtensionModule,
    kAllocateObject,
    kConstructLibraryRegistration,
    kTermExtensionModule,
  };
  Op op;
  const void* record = nullptr;   // init, construct, terminate
  const void* pointer = nullptr;  // init: the instance; construct: the storage
  std::size_t bytes = 0;          // allocate
  int flag = 0;                   // construct: system library; terminate: all

  friend bool operator==(const FrameworkCall&, const FrameworkCall&) = default;
};

void PrintTo(const FrameworkCall& call, std::ostream* out);

// A framework that records every call and answers as configured.
class RecordingFramework {
 public:
  ModuleState* CurrentModuleState() noexcept;
  int InitExtensionModule(ExtensionModuleRecord& record, ModuleHandle instance) noexcept;
  void* AllocateObject(std::size_t bytes) noexcept;
  void ConstructLibraryRegistration(void* storage, ExtensionModuleRecord& record,
                                    int system_library) noexcept;
  void TermExtensionModule(ExtensionModuleRecord& record, int all) noexcept;

  std::vector<FrameworkCall> calls;
  ModuleState state;
  int init_result = 1;
  bool allocation_fails = false;
  // What AllocateObject hands out.
  alignas(std::max_align_t) std::array<std::byte, 64> storage{};
};

}  // namespace tarvelo::test
