#pragma once

#include "zunVidStreamLib2.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zun {

// A frame cut into horizontal strips, each coded as a JPEG of its own, so that the strips
// of one frame are coded on all cores at once. The payload is the strip index followed by
// the strips' JPEG files, back to back, in the order of their rows (layout in the README):
//
//   [2 strip count][2 reserved, 0] then per strip [2 rows][4 JPEG bytes], big-endian.
struct JpegStrip {
    uint32_t firstRow = 0;
    uint32_t rows = 0;
    size_t offset = 0; // of its JPEG in the payload
    size_t size = 0;
};

constexpr uint32_t kMaxJpegStrips = 64;
// Strips start on a row of a whole MCU, so that cutting does not change the chroma.
constexpr uint32_t kStripRowAlignment = 16;
// Below this many pixels a strip's own headers cost more than coding it beside others saves.
constexpr uint32_t kMinStripPixels = 256 * 1024;

constexpr size_t stripIndexSize(size_t count) { return 4 + 6 * count; }

// How many strips a frame of this size is cut into on a machine with `cores` cores: about
// two per core, so a busy core holds the frame up less, while each strip stays large.
uint32_t stripCountFor(const StreamFormat &format, unsigned cores);
// The rows of `count` (or fewer) strips that cover the frame; offsets and sizes left 0.
std::vector<JpegStrip> planStrips(const StreamFormat &format, uint32_t count);

// Writes the index of `strips` (sizes filled in) to out, stripIndexSize(strips.size()) bytes.
void writeStripIndex(std::span<const JpegStrip> strips, uint8_t *out);
// The strips of a payload, false unless every field holds: a count of 1..kMaxJpegStrips,
// reserved 0, no empty strip, rows that add up to the frame's height and JPEG sizes that
// add up to exactly the rest of the payload.
bool readStripIndex(std::span<const uint8_t> payload, const StreamFormat &format,
                    std::vector<JpegStrip> &strips);

} // namespace zun
