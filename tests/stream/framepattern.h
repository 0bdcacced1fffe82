#pragma once

// A picture that depends on its frame number everywhere, smooth enough for JPEG: a torn or
// mixed frame differs from every single frame's picture by far more than the codec's error.

#include "zunVidStreamLib2.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zuntest {

using Rgb = std::array<int, 3>;

inline int triangle(int v)
{
    v &= 511;
    return v < 256 ? v : 511 - v;
}

inline Rgb patternPixel(uint32_t frame, uint32_t x, uint32_t y)
{
    const int base = int(frame % 64) * 37;
    return {triangle(base + int(x + y)), triangle(base + int(2 * x) + 85),
            triangle(base + int(2 * y) + 170)};
}

inline uint32_t stride(const StreamFormat &format)
{
    static constexpr uint32_t bytes[] = {2, 3, 4, 1};
    return (format.width * bytes[format.depth] + 3u) & ~3u;
}

inline void writePixel(const StreamFormat &format, uint8_t *data, uint32_t x, uint32_t y, Rgb c)
{
    uint8_t *row = data + size_t(y) * stride(format);
    switch (format.depth) {
    case 0: {
        const uint16_t v = uint16_t(((c[0] >> 3) << 11) | ((c[1] >> 2) << 5) | (c[2] >> 3));
        std::memcpy(row + 2 * x, &v, 2);
        break;
    }
    case 1:
        row[3 * x] = uint8_t(c[0]);
        row[3 * x + 1] = uint8_t(c[1]);
        row[3 * x + 2] = uint8_t(c[2]);
        break;
    case 2: {
        const uint32_t v = 0xff000000u | uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | uint32_t(c[2]);
        std::memcpy(row + 4 * x, &v, 4);
        break;
    }
    default:
        row[x] = uint8_t(c[0]);
    }
}

// Channels as 8-bit values; grey repeats its one value.
inline Rgb readPixel(const StreamFormat &format, const uint8_t *data, uint32_t x, uint32_t y)
{
    const uint8_t *row = data + size_t(y) * stride(format);
    switch (format.depth) {
    case 0: {
        uint16_t v;
        std::memcpy(&v, row + 2 * x, 2);
        const int r = v >> 11, g = (v >> 5) & 0x3f, b = v & 0x1f;
        return {(r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)};
    }
    case 1: return {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case 2: {
        uint32_t v;
        std::memcpy(&v, row + 4 * x, 4);
        return {int(v >> 16 & 0xff), int(v >> 8 & 0xff), int(v & 0xff)};
    }
    default: return {row[x], row[x], row[x]};
    }
}

inline std::vector<uint8_t> makeFrame(const StreamFormat &format, uint32_t frame)
{
    std::vector<uint8_t> data(size_t(stride(format)) * format.height, 0);
    for (uint32_t y = 0; y < format.height; ++y)
        for (uint32_t x = 0; x < format.width; ++x)
            writePixel(format, data.data(), x, y, patternPixel(frame, x, y));
    return data;
}

struct Difference {
    std::array<double, 3> meanAbsError{}; // per channel over the whole picture
    double worstBandError = 0;            // mean over all channels of the worst 8-row band
    bool alphaOpaque = true;              // 32-bit: every pixel 0xff in the top byte
};

inline Difference compare(const StreamFormat &format, const uint8_t *expected, const uint8_t *actual)
{
    Difference d;
    std::array<double, 3> sum{};
    for (uint32_t band = 0; band < format.height; band += 8) {
        double bandSum = 0;
        uint32_t bandCount = 0;
        for (uint32_t y = band; y < std::min<uint32_t>(band + 8, format.height); ++y) {
            for (uint32_t x = 0; x < format.width; ++x) {
                const Rgb e = readPixel(format, expected, x, y), a = readPixel(format, actual, x, y);
                for (int c = 0; c < 3; ++c) {
                    const int diff = std::abs(e[c] - a[c]);
                    sum[c] += diff;
                    bandSum += diff;
                }
                bandCount += 3;
                if (format.depth == 2 && actual[size_t(y) * stride(format) + 4 * x + 3] != 0xff)
                    d.alphaOpaque = false;
            }
        }
        d.worstBandError = std::max(d.worstBandError, bandSum / bandCount);
    }
    for (int c = 0; c < 3; ++c)
        d.meanAbsError[c] = sum[c] / (double(format.width) * format.height);
    return d;
}

// JPEG at level 15 of this pattern stays well inside these; a frame mixed from two
// pictures does not.
constexpr double kJpegMeanErrorBound = 4.0;
constexpr double kJpegBandErrorBound = 8.0;

// Whether a received frame is exactly (raw) or closely (JPEG) the sender's picture `frame`.
inline bool frameMatches(const StreamFormat &format, bool compressed, uint32_t frame,
                         const uint8_t *actual)
{
    const std::vector<uint8_t> expected = makeFrame(format, frame);
    if (!compressed)
        return std::memcmp(expected.data(), actual, expected.size()) == 0;
    const Difference d = compare(format, expected.data(), actual);
    return d.worstBandError <= kJpegBandErrorBound && d.alphaOpaque
        && *std::max_element(d.meanAbsError.begin(), d.meanAbsError.end()) <= kJpegMeanErrorBound;
}

} // namespace zuntest
