// The JPEG codec on its own: every depth round trips close to the original, in the
// announced size, and only JPEGs of the expected size are accepted.

#include "format.h"
#include "framepattern.h"
#include "jpegcodec.h"

#include <gtest/gtest.h>

#include <turbojpeg.h>

namespace {

TEST(JpegCodec, QualityIsHundredMinusLevelWithinOneToHundred)
{
    EXPECT_EQ(zun::JpegCodec::qualityForLevel(0), 100);
    EXPECT_EQ(zun::JpegCodec::qualityForLevel(15), 85);
    EXPECT_EQ(zun::JpegCodec::qualityForLevel(100), 1);
    EXPECT_EQ(zun::JpegCodec::qualityForLevel(4000000000u), 1);
    EXPECT_EQ(zun::JpegCodec::subsamplingFor(zun::kDepthRgb888, 85), TJSAMP_420);
    EXPECT_EQ(zun::JpegCodec::subsamplingFor(zun::kDepthRgb888, 90), TJSAMP_444);
    EXPECT_EQ(zun::JpegCodec::subsamplingFor(zun::kDepthGrey8, 50), TJSAMP_GRAY);
}

TEST(JpegCodec, EveryDepthRoundTripsCloseToTheOriginal)
{
    zun::JpegCodec codec;
    for (uint16_t depth = 0; depth <= 3; ++depth) {
        for (int quality : {85, 100}) {
            const StreamFormat format{97, 61, depth, 1}; // odd width: padded rows
            const auto original = zuntest::makeFrame(format, 5);
            const auto jpeg = codec.encode(format, original.data(), quality);
            ASSERT_FALSE(jpeg.empty());
            const std::vector<uint8_t> copy(jpeg.begin(), jpeg.end());
            std::vector<uint8_t> decoded(zun::byteSize(format), 0x55);
            ASSERT_TRUE(codec.decode(copy, format, decoded.data()));
            const auto d = zuntest::compare(format, original.data(), decoded.data());
            for (double e : d.meanAbsError)
                EXPECT_LE(e, zuntest::kJpegMeanErrorBound) << "depth " << depth << " q " << quality;
            EXPECT_LE(d.worstBandError, zuntest::kJpegBandErrorBound);
            EXPECT_TRUE(d.alphaOpaque) << "32-bit frames come back as 0xffRRGGBB";
            EXPECT_TRUE(zuntest::frameMatches(format, true, 5, decoded.data()));
            EXPECT_FALSE(zuntest::frameMatches(format, true, 6, decoded.data()))
                << "the next frame's picture is told apart";
        }
    }
}

TEST(JpegCodec, RefusesJpegsOfAnotherSizeAndGarbage)
{
    zun::JpegCodec codec;
    const StreamFormat format{64, 48, 1, 1};
    const auto original = zuntest::makeFrame(format, 1);
    const auto span = codec.encode(format, original.data(), 80);
    const std::vector<uint8_t> jpeg(span.begin(), span.end());
    std::vector<uint8_t> out(zun::byteSize({64, 49, 1, 1}));
    EXPECT_FALSE(codec.decode(jpeg, {64, 49, 1, 1}, out.data()));
    EXPECT_FALSE(codec.decode(jpeg, {63, 48, 1, 1}, out.data()));
    EXPECT_TRUE(codec.decode(jpeg, format, out.data()));
    const std::vector<uint8_t> truncated(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
    EXPECT_FALSE(codec.decode(truncated, format, out.data()));
    std::vector<uint8_t> garbage(jpeg.size(), 0xa5);
    EXPECT_FALSE(codec.decode(garbage, format, out.data()));
    EXPECT_FALSE(codec.decode({}, format, out.data()));
}

} // namespace
