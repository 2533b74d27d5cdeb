// Base fixture: every test starts from a fresh simulated machine and ends by
// checking that the tool closed every handle and freed every buffer it took.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "simulated_machine.h"

inline sim::Machine& FreshMachine() {
  sim::reset();
  return sim::machine();
}

class MachineTest : public testing::Test {
 protected:

  void TearDown() override {
    EXPECT_EQ(machine.openHandleCount(), 0u) << testing::PrintToString(machine.openHandleDescriptions());
    EXPECT_EQ(machine.liveBufferCount(), 0u);
    EXPECT_TRUE(machine.usageErrors.empty()) << testing::PrintToString(machine.usageErrors);
  }

  sim::Machine& machine = FreshMachine();
};

// Readable failure messages for UTF-16 text.
inline std::string Utf8(std::u16string_view text) { return sim::toUtf8(text); }
