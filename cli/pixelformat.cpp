#include "pixelformat.h"

#include <cstring>

namespace pixelformat {

uint32_t rowStride(const StreamFormat &format)
{
    return format.height ? zunGetByteSize(&format) / format.height : 0;
}

void store(uint16_t depth, uint8_t *at, Rgb c)
{
    switch (depth) {
    case ZUN_DEPTH_RGB565: {
        const uint16_t word = uint16_t((c.r >> 3) << 11 | (c.g >> 2) << 5 | c.b >> 3);
        std::memcpy(at, &word, 2);
        break;
    }
    case ZUN_DEPTH_RGB888:
        at[0] = c.r;
        at[1] = c.g;
        at[2] = c.b;
        break;
    case ZUN_DEPTH_RGB32: {
        const uint32_t word = 0xff000000u | uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
        std::memcpy(at, &word, 4);
        break;
    }
    case ZUN_DEPTH_GREY8:
        at[0] = luma(c);
        break;
    default:
        break;
    }
}

Rgb load(uint16_t depth, const uint8_t *at)
{
    switch (depth) {
    case ZUN_DEPTH_RGB565: {
        uint16_t word;
        std::memcpy(&word, at, 2);
        const auto widen = [](uint32_t v, int bits) { return uint8_t(v << (8 - bits) | v >> (2 * bits - 8)); };
        return {widen(word >> 11, 5), widen((word >> 5) & 63, 6), widen(word & 31, 5)};
    }
    case ZUN_DEPTH_RGB888:
        return {at[0], at[1], at[2]};
    case ZUN_DEPTH_RGB32: {
        uint32_t word;
        std::memcpy(&word, at, 4);
        return {uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word)};
    }
    case ZUN_DEPTH_GREY8:
        return {at[0], at[0], at[0]};
    default:
        return {0, 0, 0};
    }
}

uint8_t luma(Rgb c)
{
    return uint8_t((77u * c.r + 150u * c.g + 29u * c.b + 128u) >> 8);
}

} // namespace pixelformat
