#pragma once

#include "frame.h"
#include "zunVidStreamLib2.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace zun {

// What a destination did with the frames it was given, since it was made.
struct DestinationCounters {
    uint64_t sent = 0;
    uint64_t dropped = 0; // not taken, given way to a newer one, or cut off by the link
    uint64_t bytes = 0;   // payload bytes of the frames sent
};

// Where an encoder's frames go: a port's shared memory, or a network link fed by a thread of
// the destination's own. The encoder's changing calls (setDestination, setFormat, reserve,
// commit) come one at a time; status, counters and the link settings from any thread.
class FrameDestination {
public:
    virtual ~FrameDestination() = default;
    // Never waits on the network; false when the address or port cannot be used, why in status.
    virtual bool setDestination(const std::string &address, uint16_t port) = 0;
    // Frames of this format come next; false when the destination was lost on the way.
    virtual bool setFormat(const StreamFormat &) { return true; }
    // Room for the next frame's payload of size bytes, to be filled and then committed; null
    // when the frame cannot go now, which counts it dropped.
    virtual uint8_t *reserve(size_t size) = 0;
    // Sends the frame whose payload fills the room reserve gave.
    virtual void commit(const FrameMeta &meta) = 0;
    virtual ZunStatus status() const = 0;
    virtual DestinationCounters counters() const = 0;
    // False where the transport paces itself (TCP) or has no link (memory).
    virtual bool setPacingRate(uint64_t) { return false; }
    virtual bool setPacingBurst(uint64_t) { return false; }
    // Percent of parity; false where the transport cannot lose pieces or percent is over 100.
    virtual bool setRedundancy(uint32_t) { return false; }
};

} // namespace zun
