#pragma once

// A stand-in for the library's C entry points that records every call, so a test can see
// exactly which calls the window made, in which order, with which arguments.

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <string>
#include <vector>

namespace recording {

struct Call {
    std::string name;
    std::vector<int64_t> args; // integer arguments in order; pointers as 0 or 1 (null or not)
    std::string text;          // the address of zunSetDestAddress
    StreamFormat format{};     // the format a call was given, if any
};

std::vector<Call> calls();
std::vector<std::string> callNames();
// Forgets the calls and the queued frames, and restores the default results.
void reset();

// Results of the next zunGetEncoder / zunGetDecoder calls (default: 1 and 2; 0 = failure).
void setEncoderResult(uint32_t handle);
void setDecoderResult(uint32_t handle);

// A frame that zunLockReadBuffer hands out once, with its compressed size.
void queueFrame(const StreamFormat &format, std::vector<uint8_t> pixels, uint32_t compressedSize);
size_t queuedFrames();
// zunLockReadBuffer calls that found no frame; they are not recorded as calls.
uint64_t emptyPolls();

// Puts an event of the test's own (a thread ending, say) into the call list, between the calls.
void note(std::string name);
// zunGetByteSize reports this many bytes fewer than a frame needs (0 by default), as a broken
// library might.
void setByteSizeShortfall(uint32_t bytes);

} // namespace recording
