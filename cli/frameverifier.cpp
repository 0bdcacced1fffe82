#include "frameverifier.h"

#include "barspattern.h"
#include "pixelformat.h"

#include <cmath>
#include <cstring>
#include <limits>

double psnr(const StreamFormat &format, const uint8_t *a, const uint8_t *b)
{
    const uint32_t stride = pixelformat::rowStride(format);
    const uint32_t bpp = depthBytes(format.depth);
    const int channels = format.depth == ZUN_DEPTH_GREY8 ? 1 : 3;
    double squares = 0;
    for (uint32_t y = 0; y < format.height; ++y) {
        const size_t row = size_t(y) * stride;
        for (uint32_t x = 0; x < format.width; ++x) {
            const pixelformat::Rgb p = pixelformat::load(format.depth, a + row + x * bpp);
            const pixelformat::Rgb q = pixelformat::load(format.depth, b + row + x * bpp);
            const int d[3] = {p.r - q.r, p.g - q.g, p.b - q.b};
            for (int c = 0; c < channels; ++c)
                squares += double(d[c] * d[c]);
        }
    }
    const double mean = squares / (double(format.width) * format.height * channels);
    return mean == 0 ? std::numeric_limits<double>::infinity() : 10 * std::log10(255.0 * 255.0 / mean);
}

Verdict FrameVerifier::check(const StreamFormat &format, bool compressed, uint32_t number, const uint8_t *pixels)
{
    const uint32_t size = zunGetByteSize(&format);
    mExpected.resize(size);
    barspattern::draw(format, number, mExpected.data());
    if (!compressed)
        return {std::memcmp(mExpected.data(), pixels, size) != 0, std::nullopt};
    Verdict verdict;
    verdict.psnr = psnr(format, mExpected.data(), pixels);
    const std::optional<uint32_t> shown = barspattern::readFrameNumber(format, pixels);
    const bool codeFits = barspattern::readFrameNumber(format, mExpected.data()).has_value();
    verdict.damaged = (codeFits && shown != number) || *verdict.psnr < kDamagedBelowDb;
    return verdict;
}
