#include "format.h"

#include <gtest/gtest.h>

TEST(Format, ByteSizePadsRowsToFourBytes)
{
    EXPECT_EQ(zun::byteSize({3, 2, zun::kDepthRgb565, 1}), 8u * 2);
    EXPECT_EQ(zun::byteSize({3, 2, zun::kDepthRgb888, 1}), 12u * 2);
    EXPECT_EQ(zun::byteSize({3, 2, zun::kDepthRgb32, 1}), 12u * 2);
    EXPECT_EQ(zun::byteSize({3, 2, zun::kDepthGrey8, 1}), 4u * 2);
    EXPECT_EQ(zun::byteSize({1920, 1080, zun::kDepthRgb888, 1}), 1920u * 3 * 1080);
    EXPECT_EQ(zun::byteSize({3, 2, 4, 1}), 0u);
}

TEST(Format, ValidityBoundsSizesAndDepth)
{
    EXPECT_TRUE(zun::isValidFormat({1, 1, 0, 1}));
    EXPECT_TRUE(zun::isValidFormat({8192, 8192, 2, 1}));
    EXPECT_FALSE(zun::isValidFormat({0, 1, 1, 1}));
    EXPECT_FALSE(zun::isValidFormat({1, 8193, 1, 1}));
    EXPECT_FALSE(zun::isValidFormat({16, 16, 4, 1}));
}
