#pragma once

#include "framesource.h"
#include "transport/memory/shmreader.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace zun {

// Follows the "Local (Memory)" segment of one port on its own thread: waits for an encoder,
// moves on to the successor of one that went, and hands JPEG frames to the sink to decode.
// Raw frames stay where they are until the reader pins one with pinRaw.
class MemoryFollower : public FrameSource {
public:
    MemoryFollower(uint16_t port, SourceContext context);
    SourceCounters counters() const override;
    // The reader's next raw frame, pinned in its slot in the lock bank.
    std::unique_ptr<PinnedFrame> pinRaw() override;

private:
    void run(std::stop_token stop, std::shared_ptr<ShmReader> reader);
    void pause(std::stop_token stop, std::chrono::milliseconds time);
    void attach(std::shared_ptr<ShmReader> reader, bool fromNewest, ShmReader::Cursor &jpegCursor);
    void detach();
    bool hasUnreadRaw() const;
    void takeCounts(ShmReader::Cursor &cursor);

    const uint16_t mPort;
    SourceContext mContext;
    mutable std::mutex mMutex; // the raw reading the reader shares with the thread
    std::shared_ptr<ShmReader> mReader;
    ShmReader::Cursor mRawCursor;
    std::atomic<uint64_t> mDropped{0};
    std::atomic<uint64_t> mRejected{0};
    std::mutex mPauseMutex;
    std::condition_variable_any mPauseWake;
    std::jthread mThread; // last: stops before what it uses goes
};

} // namespace zun
