#pragma once

#include "frame.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

namespace zun {

// Frames waiting for a destination's sending thread: at most two; when the link cannot keep
// up the oldest is dropped, so memory stays bounded. Sent frames' buffers are reused.
class SendQueue {
public:
    static constexpr size_t kDepth = 2;

    EncodedFrame takeSpare();
    // False when the oldest queued frame had to be dropped to make room.
    bool push(EncodedFrame frame);
    // Waits for a frame; nullopt once stop is requested.
    std::optional<EncodedFrame> pop(std::stop_token stop);
    void recycle(EncodedFrame frame);
    // A frame is waiting to be sent.
    bool waiting();

private:
    std::mutex mMutex;
    std::condition_variable_any mReady;
    std::deque<EncodedFrame> mFrames;
    std::vector<EncodedFrame> mSpares;
};

} // namespace zun
