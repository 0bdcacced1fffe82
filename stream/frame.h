#pragma once

#include "bytes.h"
#include "zunVidStreamLib2.h"

#include <cstdint>
#include <vector>

namespace zun {

// How a JPEG payload is laid out: one JPEG file (what wire and segment version 1 carry), or
// a strip index and strips (version 2, what this library sends).
enum class JpegLayout : uint8_t { kWhole, kStrips };

// What travels with a frame's payload, whatever the transport.
struct FrameMeta {
    StreamFormat format{};
    bool compressed = false;
    JpegLayout jpegLayout = JpegLayout::kStrips;
    uint32_t streamId = 0;
    uint32_t frameNumber = 0;
    uint64_t sendTimeNs = 0; // CLOCK_MONOTONIC at zunEncode
};

struct EncodedFrame {
    FrameMeta meta;
    Bytes payload; // JPEG bytes or raw pixels, no transport headers
};

uint64_t monotonicNowNs();

} // namespace zun
