#include "recording_framework.h"

namespace tarvelo::test {

void PrintTo(const FrameworkCall& call, std::ostream* out) {
  using Op = FrameworkCall::Op;
  switch (call.op) {
    case Op::kCurrentModuleState: *out << "CurrentModuleState()"; break;
    case Op::kInitExtensionModule:
      *out << "InitExtensionModule(" << call.record << ", " << call.pointer << ")";
      break;
    case Op::kAllocateObject: *out << "AllocateObject(" << call.bytes << ")"; break;
    case Op::kConstructLibraryRegistration:
      *out << "ConstructLibraryRegistration(" << call.pointer << ", " << call.record << ", " << call.flag
           << ")";
      break;
    case Op::kTermExtensionModule:
      *out << "TermExtensionModule(" << call.record << ", " << call.flag << ")";
      break;
  }
}

ModuleState* RecordingFramework::CurrentModuleState() noexcept {
  calls.push_back({.op = FrameworkCall::Op::kCurrentModuleState});
  return &state;
}

int RecordingFramework::InitExtensionModule(ExtensionModuleRecord& record, ModuleHandle instance) noexcept {
  calls.push_back({.op = FrameworkCall::Op::kInitExtensionModule, .record = &record, .pointer = instance});
  return init_result;
}

void* RecordingFramework::AllocateObject(std::size_t bytes) noexcept {
  calls.push_back({.op = FrameworkCall::Op::kAllocateObject, .bytes = bytes});
  return allocation_fails ? nullptr : storage.data();
}

void RecordingFramework::ConstructLibraryRegistration(void* object_storage, ExtensionModuleRecord& record,
                                                      int system_library) noexcept {
  calls.push_back({.op = FrameworkCall::Op::kConstructLibraryRegistration,
                   .record = &record,
                   .pointer = object_storage,
                   .flag = system_library});
}

void RecordingFramework::TermExtensionModule(ExtensionModuleRecord& record, int all) noexcept {
  calls.push_back({.op = FrameworkCall::Op::kTermExtensionModule, .record = &record, .flag = all});
}

}  // namespace tarvelo::test
