#pragma once

#include "vocabulary.h"

#include <cstdint>

// Reading and writing one pixel of a frame in the library's depth codes, as 8-bit R, G, B.
namespace pixelformat {

struct Rgb {
    uint8_t r, g, b;
};

uint32_t rowStride(const StreamFormat &format);
void store(uint16_t depth, uint8_t *at, Rgb colour);
Rgb load(uint16_t depth, const uint8_t *at);
uint8_t luma(Rgb colour);

} // namespace pixelformat
