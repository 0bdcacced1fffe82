#pragma once

#include "zunVidStreamLib2.h"

#include <cstddef>
#include <cstdint>

namespace zun {

enum Depth : uint16_t { kDepthRgb565 = 0, kDepthRgb888 = 1, kDepthRgb32 = 2, kDepthGrey8 = 3 };

constexpr uint32_t kMaxDimension = 8192;
// Room for JPEG markers and tables beyond the raw size; a JPEG larger than this is sent raw.
constexpr uint32_t kJpegMargin = 64 * 1024;

// 0 for an unknown depth.
uint32_t bytesPerPixel(uint16_t depth);
// Row length padded to a multiple of 4 bytes; 0 for an unknown depth.
uint32_t rowStride(const StreamFormat &format);
// Height x padded row; 0 for an unknown depth or a size past 32 bits.
uint32_t byteSize(const StreamFormat &format);
// Known depth and both sizes in 1..kMaxDimension.
bool isValidFormat(const StreamFormat &format);
// The most payload bytes a peer may announce for a frame of this format.
uint64_t maxPayloadSize(const StreamFormat &format, bool compressed);
// Whether a payload of that many bytes may carry a frame of this format: raw exactly
// byteSize, JPEG at least one byte and at most maxPayloadSize.
bool payloadFits(const StreamFormat &format, bool compressed, uint64_t payloadSize);

} // namespace zun
