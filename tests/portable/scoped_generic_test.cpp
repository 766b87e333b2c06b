// ScopedGeneric: each owned value is freed exactly once, by whoever holds it
// last; a released value is never freed.
#include "platform/scoped_generic.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

std::vector<int> g_freed;

struct CountingTraits {
  static constexpr int InvalidValue() noexcept { return -1; }
  static void Free(int value) noexcept { g_freed.push_back(value); }
};
using Scoped = platform::ScopedGeneric<int, CountingTraits>;

class ScopedGenericTest : public ::testing::Test {
 protected:
  void SetUp() override { g_freed.clear(); }
};

}  // namespace

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(ScopedGenericTest, FreesOnceWhenItGoesAndNeverTheInvalidValue) {
  {
    Scoped empty;
    EXPECT_FALSE(empty.valid());
    EXPECT_FALSE(empty);
    Scoped held(7);
    EXPECT_TRUE(held);
    EXPECT_EQ(held.get(), 7);
  }
  EXPECT_THAT(g_freed, ElementsAre(7));
}

TEST_F(ScopedGenericTest, MovesHandOverWithoutFreeingAndAssignmentFreesTheOldValue) {
  {
    Scoped a(1);
    Scoped b(std::move(a));
    EXPECT_FALSE(a.valid());  // moved from: empty
    EXPECT_THAT(g_freed, IsEmpty());
    Scoped c(2);
    c = std::move(b);
    EXPECT_THAT(g_freed, ElementsAre(2));
    EXPECT_EQ(c.get(), 1);
    auto& self = c;
    c = std::move(self);
    EXPECT_THAT(g_freed, ElementsAre(2));
    EXPECT_EQ(c.get(), 1);
  }
  EXPECT_THAT(g_freed, ElementsAre(2, 1));
}

TEST_F(ScopedGenericTest, ResetAndReleaseHandTheValueOnOrOut) {
  Scoped s(3);
  s.reset(3);  // the same value: kept, not freed
  EXPECT_THAT(g_freed, IsEmpty());
  s.reset(4);
  EXPECT_THAT(g_freed, ElementsAre(3));
  EXPECT_EQ(s.release(), 4);
  EXPECT_FALSE(s.valid());
  s.reset();
  EXPECT_THAT(g_freed, ElementsAre(3));
}
