// The module's start-up logic against a framework that records every call: the
// order of the calls on attach and detach, each failure path, and the early hook.
#include <gtest/gtest.h>

#include <vector>

#include "module/module.h"
#include "recording_framework.h"

namespace tarvelo::test {
namespace {

using Op = FrameworkCall::Op;

class ModuleLifecycleTest : public ::testing::Test {
 protected:
  [[nodiscard]] FrameworkCall StateCall() const { return {.op = Op::kCurrentModuleState}; }
  [[nodiscard]] FrameworkCall InitCall() const {
    return {.op = Op::kInitExtensionModule, .record = &record_, .pointer = instance_};
  }
  [[nodiscard]] FrameworkCall AllocateCall() const {
    return {.op = Op::kAllocateObject, .bytes = kLibraryRegistrationBytes};
  }
  [[nodiscard]] FrameworkCall ConstructCall() const {
    return {.op = Op::kConstructLibraryRegistration,
            .record = &record_,
            .pointer = framework_.storage.data(),
            .flag = 0};
  }
  [[nodiscard]] FrameworkCall TerminateCall() const {
    return {.op = Op::kTermExtensionModule, .record = &record_, .flag = 0};
  }

  int Startup(uint32_t reason) { return ModuleStartup(framework_, record_, instance_, reason); }

  RecordingFramework framework_;
  ExtensionModuleRecord record_;
  int module_image_ = 0;  // stands for the loaded module
  ModuleHandle instance_ = &module_image_;
};

TEST_F(ModuleLifecycleTest, ProcessAttachRunsTheHookThenInitialisesAllocatesAndRegisters) {
  EXPECT_EQ(Startup(kProcessAttach), 1);
  const std::vector<FrameworkCall> expected = {StateCall(), InitCall(), AllocateCall(), ConstructCall()};
  EXPECT_EQ(framework_.calls, expected);
}

TEST_F(ModuleLifecycleTest, ProcessDetachTerminatesThisModuleOnlyAndNothingElse) {
  EXPECT_EQ(Startup(kProcessDetach), 1);
  // The early hook runs again but acts only on attach: no second state lookup.
  const std::vector<FrameworkCall> expected = {TerminateCall()};
  EXPECT_EQ(framework_.calls, expected);
}

TEST_F(ModuleLifecycleTest, AWholeLoadAndUnloadCallsTheFrameworkInOrder) {
  EXPECT_EQ(Startup(kProcessAttach), 1);
  EXPECT_EQ(Startup(kThreadAttach), 1);
  EXPECT_EQ(Startup(kThreadDetach), 1);
  EXPECT_EQ(Startup(kProcessDetach), 1);
  const std::vector<FrameworkCall> expected = {StateCall(), InitCall(), AllocateCall(), ConstructCall(),
                                               TerminateCall()};
  EXPECT_EQ(framework_.calls, expected);
}

TEST_F(ModuleLifecycleTest, ThreadAttachAndDetachDoNothing) {
  framework_.state.first_list_head = &module_image_;
  for (const uint32_t reason : {kThreadAttach, kThreadDetach}) {
    EXPECT_EQ(Startup(reason), 1) << "reason " << reason;
  }
  EXPECT_TRUE(framework_.calls.empty());
  EXPECT_EQ(framework_.state.first_list_head, &module_image_);
  EXPECT_EQ(framework_.state.first_list_saved, nullptr);
}

TEST_F(ModuleLifecycleTest, FailedInitialisationRefusesTheLoadWithoutARegistration) {
  framework_.init_result = 0;
  EXPECT_EQ(Startup(kProcessAttach), 0);
  const std::vector<FrameworkCall> expected = {StateCall(), InitCall()};
  EXPECT_EQ(framework_.calls, expected);
}

TEST_F(ModuleLifecycleTest, AnyNonZeroInitialisationResultIsSuccess) {
  framework_.init_result = 7;
  EXPECT_EQ(Startup(kProcessAttach), 1);
  EXPECT_EQ(framework_.calls.size(), 4U);
}

TEST_F(ModuleLifecycleTest, FailedAllocationSkipsTheRegistrationButTheLoadSucceeds) {
  framework_.allocation_fails = true;
  EXPECT_EQ(Startup(kProcessAttach), 1);
  const std::vector<FrameworkCall> expected = {StateCall(), InitCall(), AllocateCall()};
  EXPECT_EQ(framework_.calls, expected);
}

TEST_F(ModuleLifecycleTest, TheLoadersDetachAfterARefusedAttachOnlyTerminates) {
  // Windows calls the start-up routine for detach right after a refused attach.
  framework_.init_result = 0;
  EXPECT_EQ(Startup(kProcessAttach), 0);
  framework_.calls.clear();
  EXPECT_EQ(Startup(kProcessDetach), 1);
  const std::vector<FrameworkCall> expected = {TerminateCall()};
  EXPECT_EQ(framework_.calls, expected);
}

TEST_F(ModuleLifecycleTest, AttachAndDetachStepsMatchTheStartupRoutine) {
  // The Linux load hooks call the steps one by one instead of ModuleStartup.
  EXPECT_EQ(EarlyModuleHook(framework_, kProcessAttach), 1);
  EXPECT_EQ(AttachModule(framework_, record_, instance_), 1);
  DetachModule(framework_, record_);
  EXPECT_EQ(EarlyModuleHook(framework_, kProcessDetach), 1);
  const std::vector<FrameworkCall> expected = {StateCall(), InitCall(), AllocateCall(), ConstructCall(),
                                               TerminateCall()};
  EXPECT_EQ(framework_.calls, expected);
}

TEST_F(ModuleLifecycleTest, EarlyHookParksEachListHeadInItsCompanionSlot) {
  int first = 0;
  int second = 0;
  int stale = 0;
  framework_.state = {.first_list_saved = &stale,
                      .first_list_head = &first,
                      .second_list_saved = &stale,
                      .second_list_head = &second};
  EXPECT_EQ(EarlyModuleHook(framework_, kProcessAttach), 1);
  EXPECT_EQ(framework_.state.first_list_saved, &first);
  EXPECT_EQ(framework_.state.first_list_head, nullptr);
  EXPECT_EQ(framework_.state.second_list_saved, &second);
  EXPECT_EQ(framework_.state.second_list_head, nullptr);
  const std::vector<FrameworkCall> expected = {StateCall()};
  EXPECT_EQ(framework_.calls, expected);
}

TEST_F(ModuleLifecycleTest, EarlyHookParksEmptyListsAsEmpty) {
  int stale = 0;
  framework_.state.first_list_saved = &stale;
  framework_.state.second_list_saved = &stale;
  EXPECT_EQ(EarlyModuleHook(framework_, kProcessAttach), 1);
  EXPECT_EQ(framework_.state.first_list_saved, nullptr);
  EXPECT_EQ(framework_.state.second_list_saved, nullptr);
}

TEST_F(ModuleLifecycleTest, EarlyHookDoesNothingForEveryOtherReasonAndStillSucceeds) {
  int first = 0;
  int second = 0;
  framework_.state.first_list_head = &first;
  framework_.state.second_list_head = &second;
  for (const uint32_t reason : {uint32_t{kProcessDetach}, uint32_t{kThreadAttach}, uint32_t{kThreadDetach},
                                uint32_t{4}, uint32_t{0xFFFFFFFFU}}) {
    EXPECT_EQ(EarlyModuleHook(framework_, reason), 1) << "reason " << reason;
  }
  EXPECT_TRUE(framework_.calls.empty());
  EXPECT_EQ(framework_.state.first_list_head, &first);
  EXPECT_EQ(framework_.state.second_list_head, &second);
  EXPECT_EQ(framework_.state.first_list_saved, nullptr);
  EXPECT_EQ(framework_.state.second_list_saved, nullptr);
}

TEST_F(ModuleLifecycleTest, TheRegistrationOnlyTouchesTheFrameworkNotTheListsItParked) {
  int first = 0;
  framework_.state.first_list_head = &first;
  EXPECT_EQ(Startup(kProcessAttach), 1);
  // Restoring the parked heads is the framework's initialisation's job.
  EXPECT_EQ(framework_.state.first_list_saved, &first);
  EXPECT_EQ(framework_.state.first_list_head, nullptr);
}

}  // namespace
}  // namespace tarvelo::test
