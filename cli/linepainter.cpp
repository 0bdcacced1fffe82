#include "linepainter.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kHalfWidth = 1;

// Where, on the row through y, a <= k * x + c < b holds, intersected into [low, high).
void narrow(double k, double c, double a, double b, double &low, double &high)
{
    if (k == 0) {
        if (c < a || c >= b)
            high = low;
        return;
    }
    double from = (a - c) / k, to = (b - c) / k;
    if (k < 0)
        std::swap(from, to);
    low = std::max(low, from);
    high = std::min(high, to);
}

} // namespace

void paintLine(const StreamFormat &format, uint8_t *pixels, const RandomLine &line)
{
    const double dx = line.x2 - line.x1, dy = line.y2 - line.y1;
    const double length = std::hypot(dx, dy);
    // A line of no length is the square its ends make.
    const double ux = length > 0 ? dx / length : 1, uy = length > 0 ? dy / length : 0;
    const uint32_t stride = pixelformat::rowStride(format);
    const uint32_t bpp = depthBytes(format.depth);
    const pixelformat::Rgb colour{uint8_t(line.red), uint8_t(line.green), uint8_t(line.blue)};

    const int top = std::max(0, int(std::floor(std::min(line.y1, line.y2) - 2 * kHalfWidth)));
    const int bottom = std::min(int(format.height) - 1, int(std::ceil(std::max(line.y1, line.y2) + 2 * kHalfWidth)));
    for (int y = top; y <= bottom; ++y) {
        // Pixel centres inside the rectangle the pen sweeps: along the line from one square end
        // to the other, across it within half the width on either side.
        const double cy = y + 0.5 - line.y1;
        double low = -HUGE_VAL, high = HUGE_VAL;
        narrow(ux, cy * uy - line.x1 * ux, -kHalfWidth, length + kHalfWidth, low, high);
        narrow(-uy, cy * ux + line.x1 * uy, -kHalfWidth, kHalfWidth, low, high);
        const int first = std::max(0, int(std::ceil(low - 0.5)));
        const int last = std::min(int(format.width), int(std::ceil(high - 0.5)));
        for (int x = first; x < last; ++x)
            pixelformat::store(format.depth, pixels + size_t(y) * stride + size_t(x) * bpp, colour);
    }
}
