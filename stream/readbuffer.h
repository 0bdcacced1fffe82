#pragma once

#include "frame.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace zun {

struct DecodedFrame {
    FrameMeta meta;
    uint32_t carriedBytes = 0; // payload size as it travelled
    Bytes pixels;
};

// Frames decoded by a decoder's thread, waiting for the reader. FIFO of a few frames that
// drops the oldest when full, or (adaptive) only the newest frame, so a reader that lags
// never sees stale pictures. Buffers of frames already read are reused.
class ReadBuffer {
public:
    static constexpr size_t kFifoDepth = 4;

    void setAdaptive(bool adaptive);
    std::unique_ptr<DecodedFrame> takeSpare();
    void push(std::unique_ptr<DecodedFrame> frame);
    std::unique_ptr<DecodedFrame> pop();
    void recycle(std::unique_ptr<DecodedFrame> frame);
    uint64_t dropped() const;

private:
    mutable std::mutex mMutex;
    std::deque<std::unique_ptr<DecodedFrame>> mFrames;
    std::vector<std::unique_ptr<DecodedFrame>> mSpares;
    bool mAdaptive = false;
    uint64_t mDropped = 0;
};

} // namespace zun
