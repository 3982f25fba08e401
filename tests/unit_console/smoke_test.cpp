#include <gtest/gtest.h>

#include "console.h"

TEST(Smoke, BannerText) {
    Console c;
    log_write("MAIN", "x%d", 1);
    EXPECT_EQ(c.out(), "x1");
}
