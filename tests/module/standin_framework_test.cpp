// The built-in stand-in for the host framework: initialisation fills the record,
// registration links into the module state's list, termination unlinks and frees
// (LeakSanitizer builds check the frees), and a refused load leaves the host's
// lists as they were.
#include <gtest/gtest.h>

#include "module/module.h"

namespace tarvelo::test {
namespace {

int CountRegistrations(const ModuleState& state) {
  int count = 0;
  for (const LibraryRegistration* node = state.registered_libraries; node != nullptr; node = node->next) {
    ++count;
  }
  return count;
}

class StandInFrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // What the host had registered before the module was loaded.
    state().first_list_head = &host_first_;
    state().second_list_head = &host_second_;
  }
  void TearDown() override {
    // Whatever a test left registered is released, so leak checks see only faults.
    framework_.TermExtensionModule(record_, /*all=*/1);
  }

  ModuleState& state() { return *framework_.CurrentModuleState(); }

  StandInFramework framework_;
  ExtensionModuleRecord record_;
  int module_image_ = 0;
  ModuleHandle instance_ = &module_image_;
  int host_first_ = 0;
  int host_second_ = 0;
};

TEST_F(StandInFrameworkTest, AttachFillsTheRecordAndRegistersTheLibrary) {
  ASSERT_EQ(ModuleStartup(framework_, record_, instance_, kProcessAttach), 1);
  EXPECT_EQ(record_.initialized, 1);
  EXPECT_EQ(record_.instance, instance_);
  const LibraryRegistration* registration = state().registered_libraries;
  ASSERT_NE(registration, nullptr);
  EXPECT_EQ(registration->module, &record_);
  EXPECT_EQ(registration->system_library, 0);
  EXPECT_EQ(registration->next, nullptr);
}

TEST_F(StandInFrameworkTest, InitialisationHandsTheModulesOwnEntriesToTheRecordAndRestoresTheHosts) {
  EXPECT_EQ(EarlyModuleHook(framework_, kProcessAttach), 1);
  int module_entry = 0;  // what a static initialiser of the module would register
  state().first_list_head = &module_entry;
  ASSERT_EQ(framework_.InitExtensionModule(record_, instance_), 1);
  EXPECT_EQ(record_.first_list, &module_entry);
  EXPECT_EQ(record_.second_list, nullptr);
  EXPECT_EQ(state().first_list_head, &host_first_);
  EXPECT_EQ(state().second_list_head, &host_second_);
}

TEST_F(StandInFrameworkTest, AWholeLoadAndUnloadLeavesTheModuleStateAsItWas) {
  ASSERT_EQ(ModuleStartup(framework_, record_, instance_, kProcessAttach), 1);
  EXPECT_EQ(ModuleStartup(framework_, record_, instance_, kProcessDetach), 1);
  EXPECT_EQ(state().registered_libraries, nullptr);
  EXPECT_EQ(state().first_list_head, &host_first_);
  EXPECT_EQ(state().second_list_head, &host_second_);
  EXPECT_EQ(record_.initialized, 0);
}

TEST_F(StandInFrameworkTest, WithoutAnInstanceHandleTheLoadIsRefusedAndTheHostsListsSurvive) {
  EXPECT_EQ(ModuleStartup(framework_, record_, nullptr, kProcessAttach), 0);
  EXPECT_EQ(record_.initialized, 0);
  EXPECT_EQ(state().registered_libraries, nullptr);
  // The early hook emptied the lists; the refusal must not leave them so.
  EXPECT_EQ(state().first_list_head, &host_first_);
  EXPECT_EQ(state().second_list_head, &host_second_);
  // The loader's detach that follows a refused attach finds nothing to release.
  EXPECT_EQ(ModuleStartup(framework_, record_, nullptr, kProcessDetach), 1);
  EXPECT_EQ(state().first_list_head, &host_first_);
  EXPECT_EQ(record_.initialized, 0);
}

TEST_F(StandInFrameworkTest, ASecondInitialisationChangesNothing) {
  ASSERT_EQ(framework_.InitExtensionModule(record_, instance_), 1);
  int other_image = 0;
  EXPECT_EQ(framework_.InitExtensionModule(record_, &other_image), 1);
  EXPECT_EQ(record_.instance, instance_);
}

TEST_F(StandInFrameworkTest, TerminationReleasesOnlyItsOwnRegistrationsUnlessAskedForAll) {
  ExtensionModuleRecord other;
  int other_image = 0;
  ASSERT_EQ(AttachModule(framework_, record_, instance_), 1);
  ASSERT_EQ(AttachModule(framework_, other, &other_image), 1);
  ASSERT_EQ(AttachModule(framework_, record_, instance_), 1);  // a second registration of the same module
  EXPECT_EQ(CountRegistrations(state()), 3);

  framework_.TermExtensionModule(record_, /*all=*/0);
  ASSERT_EQ(CountRegistrations(state()), 1);
  EXPECT_EQ(state().registered_libraries->module, &other);
  EXPECT_EQ(other.initialized, 1);

  framework_.TermExtensionModule(record_, /*all=*/1);
  EXPECT_EQ(state().registered_libraries, nullptr);
}

TEST_F(StandInFrameworkTest, RegistrationsAreRecordedAsGiven) {
  ASSERT_EQ(framework_.InitExtensionModule(record_, instance_), 1);
  void* storage = framework_.AllocateObject(kLibraryRegistrationBytes);
  ASSERT_NE(storage, nullptr);
  framework_.ConstructLibraryRegistration(storage, record_, /*system_library=*/1);
  ASSERT_EQ(state().registered_libraries, storage);
  EXPECT_EQ(state().registered_libraries->system_library, 1);
}

}  // namespace
}  // namespace tarvelo::test
