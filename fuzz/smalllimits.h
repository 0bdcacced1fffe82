#pragma once

#include "transport/udp/framereassembler.h"

// Reassembly limits small enough that -malloc_limit_mb shows they hold.
inline zun::FrameReassembler::Limits smallLimits()
{
    zun::FrameReassembler::Limits limits;
    limits.maxBytes = size_t(8) << 20;
    limits.maxStreams = 4;
    limits.maxFramesPerStream = 3;
    limits.maxGapsPerFrame = 64;
    limits.timeoutNs = 300'000'000;
    limits.streamForgetNs = 2'000'000'000;
    return limits;
}
