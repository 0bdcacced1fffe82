#include "barspattern.h"

#include "pixelformat.h"

#include <algorithm>
#include <cstring>

namespace barspattern {

namespace {

using pixelformat::Rgb;

constexpr int kCodeColumns = 8;
constexpr int kCodeRows = 4;
constexpr uint32_t kStepPerFrame = 4;
constexpr Rgb kBars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                          {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {16, 16, 16}};

// Side of one code cell: whole 8 x 8 blocks taking at most half the width and a third of the
// height, or whatever fits on a small picture; 0 when not even one pixel a cell fits.
int cellSize(const StreamFormat &format)
{
    const int fit = std::min(format.width / (2 * kCodeColumns), format.height / (3 * kCodeRows));
    if (fit >= 8)
        return fit / 8 * 8;
    return std::min(format.width / kCodeColumns, format.height / kCodeRows);
}

} // namespace

void draw(const StreamFormat &format, uint32_t number, uint8_t *pixels)
{
    const uint32_t stride = pixelformat::rowStride(format);
    const uint32_t bpp = depthBytes(format.depth);
    if (stride == 0 || bpp == 0)
        return;
    // Every row is the same bar row but for the code.
    std::vector<uint8_t> row(stride, 0);
    const uint32_t shift = uint32_t(uint64_t(number) * kStepPerFrame % format.width);
    for (uint32_t x = 0; x < format.width; ++x) {
        const uint32_t bar = uint32_t((x + shift) % format.width * 8 / format.width);
        pixelformat::store(format.depth, row.data() + x * bpp, kBars[bar]);
    }
    for (uint32_t y = 0; y < format.height; ++y)
        std::memcpy(pixels + size_t(y) * stride, row.data(), stride);

    const int cell = cellSize(format);
    if (cell == 0)
        return;
    for (int bit = 0; bit < kCodeColumns * kCodeRows; ++bit) {
        const bool one = (number >> (31 - bit)) & 1u;
        const Rgb colour = one ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
        const int x0 = bit % kCodeColumns * cell, y0 = bit / kCodeColumns * cell;
        for (int y = y0; y < y0 + cell; ++y) {
            uint8_t *at = pixels + size_t(y) * stride + size_t(x0) * bpp;
            for (int x = 0; x < cell; ++x, at += bpp)
                pixelformat::store(format.depth, at, colour);
        }
    }
}

std::vector<uint8_t> frame(const StreamFormat &format, uint32_t number)
{
    std::vector<uint8_t> pixels(zunGetByteSize(&format), 0);
    draw(format, number, pixels.data());
    return pixels;
}

std::optional<uint32_t> readFrameNumber(const StreamFormat &format, const uint8_t *pixels)
{
    const int cell = cellSize(format);
    const uint32_t bpp = depthBytes(format.depth);
    if (cell == 0 || bpp == 0)
        return std::nullopt;
    const uint32_t stride = pixelformat::rowStride(format);
    // The middle half of a cell: its edges may carry ringing from the neighbours.
    const int inset = cell / 4, span = std::max(1, cell - 2 * inset);
    uint32_t number = 0;
    for (int bit = 0; bit < kCodeColumns * kCodeRows; ++bit) {
        const int x0 = bit % kCodeColumns * cell + inset, y0 = bit / kCodeColumns * cell + inset;
        uint32_t sum = 0;
        for (int y = y0; y < y0 + span; ++y) {
            const uint8_t *at = pixels + size_t(y) * stride + size_t(x0) * bpp;
            for (int x = 0; x < span; ++x, at += bpp)
                sum += pixelformat::luma(pixelformat::load(format.depth, at));
        }
        const uint32_t mean = sum / uint32_t(span * span);
        if (mean > 64 && mean < 192)
            return std::nullopt;
        number = number << 1 | (mean >= 192 ? 1u : 0u);
    }
    return number;
}

} // namespace barspattern
