#include <gtest/gtest.h>

#include "tests/support/test_support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(zyra_test::MakeBackendEnvironment());
  return RUN_ALL_TESTS();
}
