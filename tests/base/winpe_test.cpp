#include "base/winpe.h"

#include <gtest/gtest.h>

#include "pe_marker.h"

namespace pl::base {
namespace {

TEST(WinPeTest, FollowsTheMiniNtKeyAtEachCall) {
  EXPECT_FALSE(IsWinPE());
  {
    test::ScopedPeMarker key;
    ASSERT_TRUE(key.created);
    EXPECT_TRUE(IsWinPE());
  }
  EXPECT_FALSE(IsWinPE());
}

}  // namespace
}  // namespace pl::base
