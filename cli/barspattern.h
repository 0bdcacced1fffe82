#pragma once

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <optional>
#include <vector>

// A picture that is a pure function of the format and the frame number: eight colour bars that
// move four pixels a frame, and in the top left corner the frame number as a block code of 8 x 4
// black or white cells (most significant bit first), each cell a whole number of 8 x 8 JPEG
// blocks where the picture is large enough, so even the coarsest JPEG keeps it readable.
namespace barspattern {

// Draws frame `frame` into pixels, which holds zunGetByteSize(&format) bytes (padding set to 0).
void draw(const StreamFormat &format, uint32_t frame, uint8_t *pixels);
std::vector<uint8_t> frame(const StreamFormat &format, uint32_t frame);

// The frame number the block code of pixels shows; empty when a cell is neither clearly black
// nor clearly white, or when the picture is too small to carry the code.
std::optional<uint32_t> readFrameNumber(const StreamFormat &format, const uint8_t *pixels);

} // namespace barspattern
