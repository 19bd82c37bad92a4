#include "source_check_hook.h"

#include <atomic>

namespace tarvelo::test_seams {
namespace {

std::atomic<SourceCheckedHook> g_hook{nullptr};
std::atomic<void*> g_context{nullptr};

}  // namespace

void SetSourceCheckedHook(SourceCheckedHook hook, void* context) noexcept {
  g_context.store(context);
  g_hook.store(hook);
}

void RunSourceCheckedHook() noexcept {
  if (const SourceCheckedHook hook = g_hook.load(); hook != nullptr) {
    hook(g_context.load());
  }
}

}  // namespace tarvelo::test_seams
