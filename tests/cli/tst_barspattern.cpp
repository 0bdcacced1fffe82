// The bars pattern and the verifier: the block code reads back at every depth, raw and after the
// library's JPEG at any level, and the verifier tells the right frame from a wrong one.

#include "barspattern.h"
#include "frameverifier.h"
#include "streamtest.h"
#include "testpicture.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

constexpr uint32_t kPort = 23100;
constexpr uint16_t kDepths[] = {0, 1, 2, 3};

// One frame through "Local (Memory)" with the library's own JPEG coding at `level`.
std::vector<uint8_t> throughJpeg(const StreamFormat &format, const std::vector<uint8_t> &pixels, uint32_t level,
                                 uint32_t port)
{
    zuntest::Decoder decoder(port);
    zuntest::Encoder encoder(format, port, 1, level);
    EXPECT_TRUE(encoder.addressed());
    encoder.encode(pixels.data());
    const uint8_t *got = decoder.waitLock();
    if (!got)
        return {};
    std::vector<uint8_t> copy(got, got + zunGetByteSize(&format));
    EXPECT_NE(zunGetCompressedFrameSize(decoder.handle()), zunGetByteSize(&format)) << "travelled raw";
    decoder.unlock();
    return copy;
}

TEST(BarsPattern, IsAPureFunctionOfTheFrameNumberAndMoves)
{
    const StreamFormat format{96, 64, 1, 1};
    EXPECT_EQ(barspattern::frame(format, 7), barspattern::frame(format, 7));
    EXPECT_NE(barspattern::frame(format, 7), barspattern::frame(format, 8));
    // Padding bytes (a 3-byte pixel row of 95 is 285, padded to 288) stay 0 so raw frames compare whole.
    const StreamFormat odd{95, 20, 1, 1};
    const std::vector<uint8_t> pixels = barspattern::frame(odd, 3);
    for (uint32_t y = 0; y < odd.height; ++y)
        EXPECT_EQ(pixels[y * 288 + 285] | pixels[y * 288 + 286] | pixels[y * 288 + 287], 0);
}

TEST(BarsPattern, BlockCodeReadsBackRawAtEveryDepthAndSize)
{
    const StreamFormat sizes[] = {{640, 480, 0, 1}, {1920, 1080, 0, 1}, {64, 48, 0, 1}, {17, 9, 0, 1}, {8, 4, 0, 1}};
    for (StreamFormat format : sizes) {
        for (uint16_t depth : kDepths) {
            format.depth = depth;
            for (uint32_t number : {0u, 1u, 0x80000001u, 0xdeadbeefu, 0xffffffffu}) {
                const auto pixels = barspattern::frame(format, number);
                EXPECT_EQ(barspattern::readFrameNumber(format, pixels.data()), number)
                    << format.width << "x" << format.height << " depth " << depth;
            }
        }
    }
    // Too small for 8 x 4 cells: no number rather than a wrong one.
    const StreamFormat tiny{7, 3, 1, 1};
    EXPECT_FALSE(barspattern::readFrameNumber(tiny, barspattern::frame(tiny, 5).data()));
}

TEST(BarsPattern, BlockCodeAndPsnrSurviveJpegAtAnyLevel)
{
    uint32_t port = kPort;
    for (StreamFormat format : {StreamFormat{640, 480, 1, 1}, StreamFormat{160, 120, 1, 1}, StreamFormat{64, 48, 1, 1}}) {
        for (uint16_t depth : kDepths) {
            format.depth = depth;
            for (uint32_t level : {0u, 50u, 90u, 100u}) {
                const uint32_t number = 0x5a5a0000u + level;
                const auto sent = barspattern::frame(format, number);
                const auto got = throughJpeg(format, sent, level, ++port);
                ASSERT_FALSE(got.empty());
                const double score = psnr(format, sent.data(), got.data());
                std::printf("[ figures  ] %ux%u depth %u level %u: PSNR %.1f dB\n", format.width, format.height,
                            depth, level, score);
                EXPECT_EQ(barspattern::readFrameNumber(format, got.data()), number) << "level " << level;
                const Verdict verdict = FrameVerifier().check(format, true, number, got.data());
                EXPECT_FALSE(verdict.damaged) << "level " << level << " depth " << depth;
                // A JPEG frame of the next number is a wrong picture, whatever its quality.
                EXPECT_TRUE(FrameVerifier().check(format, true, number + 1, got.data()).damaged);
            }
        }
    }
}

TEST(FrameVerifier, RawFramesMustMatchExactly)
{
    const StreamFormat format{64, 48, 2, 1};
    FrameVerifier verifier;
    auto pixels = barspattern::frame(format, 41);
    EXPECT_FALSE(verifier.check(format, false, 41, pixels.data()).damaged);
    EXPECT_TRUE(verifier.check(format, false, 42, pixels.data()).damaged);
    pixels[pixels.size() / 2] ^= 1;
    EXPECT_TRUE(verifier.check(format, false, 41, pixels.data()).damaged);
}

TEST(FrameVerifier, TheWindowsLinesPictureIsDamaged)
{
    for (uint16_t depth : kDepths) {
        const StreamFormat format{320, 240, depth, 1};
        TestPicture lines(Pattern::Lines, format);
        ASSERT_TRUE(lines.isValid());
        const uint8_t *pixels = lines.frame(0);
        std::printf("[ figures  ] lines against bars at depth %u: PSNR %.1f dB\n", depth,
                    psnr(format, barspattern::frame(format, 0).data(), pixels));
        EXPECT_TRUE(FrameVerifier().check(format, true, 0, pixels).damaged) << "depth " << depth;
        EXPECT_TRUE(FrameVerifier().check(format, false, 0, pixels).damaged) << "depth " << depth;
    }
}

} // namespace
