// The built Linux shared objects: the version values read back from the library
// as a host loads it, and the load hooks registering the module with the
// stand-in framework.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "TarveloVersion.h"
#include "load_hooks_probe.h"

namespace tarvelo::test {
namespace {

class LoadedObject {
 public:
  explicit LoadedObject(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
  LoadedObject(const LoadedObject&) = delete;
  LoadedObject& operator=(const LoadedObject&) = delete;
  ~LoadedObject() {
    if (handle_ != nullptr) {
      dlclose(handle_);
    }
  }
  [[nodiscard]] void* handle() const { return handle_; }
  template <typename Function>
  Function Find(const char* name) const {
    return reinterpret_cast<Function>(dlsym(handle_, name));
  }

 private:
  void* handle_;
};

TEST(SharedObjectTest, VersionValuesReadBackFromTheBuiltLibrary) {
  const LoadedObject library(TARVELO_LIBRARY_PATH);
  ASSERT_NE(library.handle(), nullptr) << dlerror();
  const auto get_record = library.Find<const TarveloVersionRecord* (*)()>("TarveloGetVersionRecord");
  const auto get_text = library.Find<const char* (*)()>("TarveloGetVersionText");
  const auto get_string = library.Find<const char* (*)(uint32_t)>("TarveloGetResourceString");
  ASSERT_NE(get_record, nullptr);
  ASSERT_NE(get_text, nullptr);
  ASSERT_NE(get_string, nullptr);
  EXPECT_STREQ(get_text(), TARVELO_EXPECTED_VERSION);
  const TarveloVersionRecord* record = get_record();
  EXPECT_EQ(record->file_type, 0x2U);
  ASSERT_GE(record->string_count, 3U);
  EXPECT_STREQ(record->strings[1].value, "TarveloImageTGA DLL");
  EXPECT_STREQ(get_string(101), "Windows sockets initialization failed.");
}

TEST(SharedObjectTest, LoadHooksRegisterTheModuleWithItsLoadAddress) {
  for (int load = 0; load < 2; ++load) {  // a second load starts from a fresh record
    const LoadedObject probe(TARVELO_PROBE_PATH);
    ASSERT_NE(probe.handle(), nullptr) << dlerror();
    const auto report_hooks = probe.Find<ProbeLoadHooksFunction>("TarveloProbeLoadHooks");
    ASSERT_NE(report_hooks, nullptr);
    LoadHooksReport report{};
    report_hooks(&report);

    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(report_hooks), &info), 0);
    EXPECT_EQ(report.record_initialized, 1);
    EXPECT_EQ(report.instance, info.dli_fbase);
    EXPECT_EQ(report.registrations, 1);
    EXPECT_EQ(report.registrations_of_this_module, 1);
    // The early hook parked the (empty) lists; initialisation put them back.
    EXPECT_EQ(report.first_list_head, nullptr);
    EXPECT_EQ(report.second_list_head, nullptr);
  }
}

}  // namespace
}  // namespace tarvelo::test
