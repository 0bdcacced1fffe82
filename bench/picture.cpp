#include "picture.h"

#include <cstdlib>
#include <cstring>
#include <random>

namespace bench {

namespace {

void putPixel(const StreamFormat &f, std::vector<uint8_t> &data, uint32_t stride, int x, int y,
              uint8_t r, uint8_t g, uint8_t b)
{
    if (x < 0 || y < 0 || x >= f.width || y >= f.height)
        return;
    uint8_t *p = data.data() + size_t(y) * stride;
    switch (f.depth) {
    case 0: {
        const uint16_t v = uint16_t(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
        std::memcpy(p + 2 * x, &v, 2);
        break;
    }
    case 1: p[3 * x] = r; p[3 * x + 1] = g; p[3 * x + 2] = b; break;
    case 2: {
        const uint32_t v = 0xff000000u | uint32_t(r) << 16 | uint32_t(g) << 8 | b;
        std::memcpy(p + 4 * x, &v, 4);
        break;
    }
    default: p[x] = uint8_t((r * 77 + g * 150 + b * 29) >> 8);
    }
}

} // namespace

std::vector<uint8_t> linePicture(const StreamFormat &f, int lines)
{
    const uint32_t size = zunGetByteSize(&f);
    const uint32_t stride = size / f.height;
    std::vector<uint8_t> data(size);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x)
            putPixel(f, data, stride, x, y, 128, 128, 128);
    std::minstd_rand random;
    for (int i = 0; i < lines; ++i) {
        int x0 = int(random() % f.width), y0 = int(random() % f.height);
        const int x1 = int(random() % f.width), y1 = int(random() % f.height);
        const uint8_t r = uint8_t(random()), g = uint8_t(random()), b = uint8_t(random());
        const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
        const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
        int err = dx + dy;
        for (;;) {
            putPixel(f, data, stride, x0, y0, r, g, b);
            if (x0 == x1 && y0 == y1)
                break;
            const int e2 = 2 * err;
            if (e2 >= dy) { err += dy; x0 += sx; }
            if (e2 <= dx) { err += dx; y0 += sy; }
        }
    }
    return data;
}

} // namespace bench
