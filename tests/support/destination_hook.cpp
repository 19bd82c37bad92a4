#include "destination_hook.h"

#include <atomic>

namespace tarvelo::test_seams {
namespace {

std::atomic<TemporaryNamedHook> g_hook{nullptr};
std::atomic<void*> g_context{nullptr};

}  // namespace

void SetTemporaryNamedHook(TemporaryNamedHook hook, void* context) noexcept {
  g_context.store(context);
  g_hook.store(hook);
}

void RunTemporaryNamedHook() noexcept {
  if (const TemporaryNamedHook hook = g_hook.load(); hook != nullptr) {
    hook(g_context.load());
  }
}

}  // namespace tarvelo::test_seams
