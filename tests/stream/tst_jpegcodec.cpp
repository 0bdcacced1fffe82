// The JPEG codec on its own: every depth round trips close to the original, whole or in
// strips, in the announced size, and only payloads whose index and strips fit the frame
// exactly are accepted.

#include "format.h"
#include "framepattern.h"
#include "jpegcodec.h"

#include <gtest/gtest.h>

#include <turbojpeg.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encoded(zun::JpegCodec &codec, const StreamFormat &format, uint32_t frame, int quality,
              uint32_t strips)
{
    const auto pixels = zuntest::makeFrame(format, frame);
    const auto payload = codec.encode(format, pixels.data(), quality, strips);
    return {payload.begin(), payload.end()};
}

void expectClose(const StreamFormat &format, const Bytes &original, const Bytes &decoded,
                 const std::string &what)
{
    const auto d = zuntest::compare(format, original.data(), decoded.data());
    for (double e : d.meanAbsError)
        EXPECT_LE(e, zuntest::kJpegMeanErrorBound) << what;
    // Per band, so one strip in the wrong place or left out shows.
    EXPECT_LE(d.worstBandError, zuntest::kJpegBandErrorBound) << what;
    EXPECT_TRUE(d.alphaOpaque) << what << ": 32-bit frames come back as 0xffRRGGBB";
}

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
            ASSERT_TRUE(codec.decode(copy, format, zun::JpegLayout::kStrips, decoded.data()));
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
    const auto span = codec.encode(format, original.data(), 80, 1);
    const std::vector<uint8_t> jpeg(span.begin(), span.end());
    std::vector<uint8_t> out(zun::byteSize({64, 49, 1, 1}));
    // One strip without its index is the whole JPEG an old peer sends.
    const std::vector<uint8_t> whole(jpeg.begin() + zun::stripIndexSize(1), jpeg.end());
    for (auto layout : {zun::JpegLayout::kStrips, zun::JpegLayout::kWhole}) {
        const auto &payload = layout == zun::JpegLayout::kStrips ? jpeg : whole;
        EXPECT_FALSE(codec.decode(payload, {64, 49, 1, 1}, layout, out.data()));
        EXPECT_FALSE(codec.decode(payload, {63, 48, 1, 1}, layout, out.data()));
        EXPECT_TRUE(codec.decode(payload, format, layout, out.data()));
        const std::vector<uint8_t> truncated(payload.begin(), payload.begin() + payload.size() / 2);
        EXPECT_FALSE(codec.decode(truncated, format, layout, out.data()));
        std::vector<uint8_t> garbage(payload.size(), 0xa5);
        EXPECT_FALSE(codec.decode(garbage, format, layout, out.data()));
        EXPECT_FALSE(codec.decode({}, format, layout, out.data()));
    }
    EXPECT_FALSE(codec.decode(whole, format, zun::JpegLayout::kStrips, out.data()))
        << "a JPEG file is not taken for a strip index";
    EXPECT_FALSE(codec.decode(jpeg, format, zun::JpegLayout::kWhole, out.data()))
        << "a strip index is not taken for a JPEG file";
}

TEST(JpegCodec, EveryDepthRoundTripsInStrips)
{
    zun::JpegCodec codec;
    for (uint16_t depth = 0; depth <= 3; ++depth) {
        for (int quality : {85, 100}) {
            // Odd width and a height that leaves the last strip short.
            const StreamFormat format{161, 101, depth, 1};
            const auto original = zuntest::makeFrame(format, 7);
            for (uint32_t strips : {2u, 3u, 7u}) {
                const std::string what = "depth " + std::to_string(depth) + " q"
                    + std::to_string(quality) + " strips " + std::to_string(strips);
                const Bytes payload = encoded(codec, format, 7, quality, strips);
                std::vector<zun::JpegStrip> index;
                ASSERT_TRUE(zun::readStripIndex(payload, format, index)) << what;
                EXPECT_EQ(index.size(), strips) << what;
                Bytes decoded(zun::byteSize(format), 0x55);
                ASSERT_TRUE(codec.decode(payload, format, zun::JpegLayout::kStrips, decoded.data()))
                    << what;
                expectClose(format, original, decoded, what);
            }
        }
    }
}

TEST(JpegCodec, StripsCostLittleAgainstOneWholeJpeg)
{
    zun::JpegCodec codec;
    const StreamFormat format{1280, 720, zun::kDepthRgb888, 1};
    const auto original = zuntest::makeFrame(format, 3);
    const Bytes whole = encoded(codec, format, 3, 85, 1), striped = encoded(codec, format, 3, 85, 4);
    EXPECT_LE(double(striped.size()), 1.03 * double(whole.size()));
    Bytes a(zun::byteSize(format)), b(zun::byteSize(format));
    ASSERT_TRUE(codec.decode(whole, format, zun::JpegLayout::kStrips, a.data()));
    ASSERT_TRUE(codec.decode(striped, format, zun::JpegLayout::kStrips, b.data()));
    const auto dWhole = zuntest::compare(format, original.data(), a.data());
    const auto dStrips = zuntest::compare(format, original.data(), b.data());
    for (int c = 0; c < 3; ++c)
        EXPECT_LE(dStrips.meanAbsError[c], dWhole.meanAbsError[c] * 1.05 + 0.01);
}

TEST(JpegCodec, RefusesEveryBadStripIndexField)
{
    zun::JpegCodec codec;
    const StreamFormat format{64, 40, zun::kDepthRgb888, 1};
    const Bytes good = encoded(codec, format, 2, 85, 3); // rows 16, 16, 8
    std::vector<zun::JpegStrip> strips;
    ASSERT_TRUE(zun::readStripIndex(good, format, strips));
    ASSERT_EQ(strips.size(), 3u);
    const size_t size0 = strips[0].size;
    auto refused = [&](auto change) {
        Bytes b = good;
        change(b);
        Bytes out(zun::byteSize(format));
        return !codec.decode(b, format, zun::JpegLayout::kStrips, out.data());
    };
    EXPECT_FALSE(refused([](Bytes &) {}));
    EXPECT_TRUE(refused([](Bytes &b) { b[1] = 0; }));                 // no strip
    EXPECT_TRUE(refused([](Bytes &b) { b[0] = 1; }));                 // count beyond the limit
    EXPECT_TRUE(refused([](Bytes &b) { b[1] = 4; }));                 // more strips than listed
    EXPECT_TRUE(refused([](Bytes &b) { b[1] = 2; }));                 // fewer: rows fall short
    EXPECT_TRUE(refused([](Bytes &b) { b[3] = 1; }));                 // reserved
    EXPECT_TRUE(refused([](Bytes &b) { b[4] = b[5] = 0; }));          // a strip of no rows
    EXPECT_TRUE(refused([](Bytes &b) { b[5] += 1; }));                // rows beyond the height
    EXPECT_TRUE(refused([](Bytes &b) { b[6] = b[7] = b[8] = b[9] = 0; })); // an empty JPEG
    EXPECT_TRUE(refused([](Bytes &b) { b[9] += 1; }));                // sizes beyond the payload
    EXPECT_TRUE(refused([](Bytes &b) { b.push_back(0); }));           // bytes after the last strip
    EXPECT_TRUE(refused([](Bytes &b) { b.resize(zun::stripIndexSize(3) - 1); })); // cut index
    // Rows that add up but do not match what the JPEGs hold: 8 rows announced for a strip
    // of 16 must not be written past its place.
    EXPECT_TRUE(refused([](Bytes &b) { b[5] = 8; b[17] = 16; }));
    // Two strips' JPEGs swapped: sizes and rows still add up, but the sizes lie.
    EXPECT_TRUE(refused([&](Bytes &b) {
        std::rotate(b.begin() + zun::stripIndexSize(3), b.begin() + zun::stripIndexSize(3) + size0,
                    b.end());
    }));
}

TEST(JpegStrips, CountFollowsFrameSizeAndCores)
{
    const StreamFormat hd{1920, 1080, 1, 1}, uhd{3840, 2160, 1, 1}, vga{640, 480, 1, 1};
    EXPECT_EQ(zun::stripCountFor(hd, 2), 4u);
    EXPECT_EQ(zun::stripCountFor(uhd, 2), 4u);
    EXPECT_EQ(zun::stripCountFor(uhd, 8), 16u);
    EXPECT_EQ(zun::stripCountFor(hd, 1), 1u) << "one core gains nothing from strips";
    EXPECT_EQ(zun::stripCountFor(vga, 8), 1u) << "small frames stay whole";
    EXPECT_EQ(zun::stripCountFor({8192, 64, 1, 1}, 8), 2u) << "each strip stays large";
    EXPECT_EQ(zun::stripCountFor({8192, 8192, 1, 1}, 256), zun::kMaxJpegStrips);
    for (const StreamFormat &format : {hd, uhd, StreamFormat{100, 17, 1, 1}}) {
        for (uint32_t count : {1u, 3u, 4u, 64u}) {
            const auto strips = zun::planStrips(format, count);
            ASSERT_FALSE(strips.empty());
            EXPECT_LE(strips.size(), count);
            uint32_t row = 0;
            for (const auto &strip : strips) {
                EXPECT_EQ(strip.firstRow, row);
                EXPECT_EQ(strip.firstRow % zun::kStripRowAlignment, 0u);
                row += strip.rows;
            }
            EXPECT_EQ(row, format.height);
        }
    }
}

} // namespace
