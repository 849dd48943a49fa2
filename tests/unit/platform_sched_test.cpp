#include <gtest/gtest.h>
#include "platform/kernel.h"
TEST(Smoke, Builds) { EXPECT_EQ(HZ, 250); }
