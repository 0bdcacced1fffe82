#pragma once

#include "frame.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace zun {

class SourceMonitor;

// What a decoder's source lost, since it was made.
struct SourceCounters {
    uint64_t dropped = 0;    // whole frames passed over
    uint64_t incomplete = 0; // abandoned with pieces missing
    uint64_t rejected = 0;   // datagrams, messages or slots that failed validation
    uint64_t repaired = 0;   // frames whole only thanks to parity
    uint64_t rebuilt = 0;    // data pieces rebuilt from parity
    uint64_t bytesReceived = 0; // off the network, whole frames or not
    uint64_t overflowed = 0;    // dropped on this host's full socket buffer

    SourceCounters &operator+=(const SourceCounters &other)
    {
        dropped += other.dropped;
        incomplete += other.incomplete;
        rejected += other.rejected;
        repaired += other.repaired;
        rebuilt += other.rebuilt;
        bytesReceived += other.bytesReceived;
        overflowed += other.overflowed;
        return *this;
    }
};

// Where a source hands its frames: metadata and payload as carried, and for a raw network
// frame the buffer itself, which may be taken instead of copied.
using FrameSink = std::function<void(const FrameMeta &, std::span<const uint8_t>, Bytes *)>;

// What a source shares with its decoder.
struct SourceContext {
    FrameSink sink;
    SourceMonitor &monitor;
    const std::atomic<bool> &adaptive;
};

// A frame the reader reads where its source keeps it, held there until this goes; it may
// outlive its source.
class PinnedFrame {
public:
    virtual ~PinnedFrame() = default;
    virtual const FrameMeta &meta() const = 0;
    virtual std::span<const uint8_t> payload() const = 0;
};

// Where a decoder's frames come from: a port followed on a thread of the source's own.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Any thread.
    virtual SourceCounters counters() const = 0;
    // The next raw frame the source keeps for the reader instead of handing it to the sink;
    // null when none waits. On the reader's calls, one at a time.
    virtual std::unique_ptr<PinnedFrame> pinRaw() { return nullptr; }
};

} // namespace zun
