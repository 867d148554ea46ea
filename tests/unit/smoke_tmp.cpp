#include <gtest/gtest.h>
int vindralSmoke();
TEST(Smoke, Links) { EXPECT_EQ(vindralSmoke(), 1); }
