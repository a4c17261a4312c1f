// The base of every unit test: a fresh fake machine and empty removal
// records before each test, and afterwards the checks that hold for all of
// them: every handle the program was given was closed exactly once, no
// handle it never had was closed, and the shell's folder text was released.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "cleanup/removal_record.h"
#include "fake_machine.h"

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override { resetRun(); }

  // A fresh machine and a run that has recorded nothing yet.
  static void resetRun() {
    fake::resetMachine();
    uninstalledNames.clear();
    notCompletedNames.clear();
    componentsNotLookedFor = false;
    starterNotLookedFor = false;
    restartRequired = false;
  }

  void TearDown() override {
    EXPECT_THAT(machine().handleFaults(), ::testing::IsEmpty());
    EXPECT_THAT(machine().allocationFaults(), ::testing::IsEmpty());
  }

  static fake::Machine& machine() { return fake::machine(); }

  // What `run` printed on standard output.
  template <typename Run>
  static std::string captureStdout(Run&& run) {
    ::testing::internal::CaptureStdout();
    std::forward<Run>(run)();
    return ::testing::internal::GetCapturedStdout();
  }
};

// A test over the rows of one table of cases, on the fixture `Base`.
template <typename Row, typename Base = MachineTest>
class RowTest : public Base, public ::testing::WithParamInterface<Row> {};
