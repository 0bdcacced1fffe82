#pragma once

#include "frame.h"
#include "jpegcodec.h"
#include "readbuffer.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace zun {

class SourceMonitor;
class WorkerPool;

// Decodes a decoder's JPEG frames on the worker pool, straight into the buffers the reader
// locks, while the receiving thread goes back for the next frame. Frames reach the read
// buffer in the order they were handed in, whichever finishes first.
class DecodePipeline {
public:
    static constexpr size_t kInFlight = 2;

    DecodePipeline(ReadBuffer &buffer, SourceMonitor &monitor);
    // Waits for the frames in flight.
    ~DecodePipeline();
    DecodePipeline(const DecodePipeline &) = delete;
    DecodePipeline &operator=(const DecodePipeline &) = delete;

    // A JPEG payload of the frame meta describes. One in a buffer the source lets go of
    // (`owned`) is swapped out of it and decoded while this returns; one the source keeps
    // is decoded before this returns. Waits while kInFlight frames decode. One thread at a time.
    void decode(const FrameMeta &meta, std::span<const uint8_t> payload, Bytes *owned);
    // A frame that needs no decoding, delivered after those handed in before it.
    void pass(std::unique_ptr<DecodedFrame> frame);
    // Returns once every frame handed in has been delivered or refused.
    void drain();
    // Payloads whose JPEG did not decode.
    uint64_t undecodable() const { return mUndecodable.load(); }

private:
    struct Slot {
        JpegCodec codec;
        Bytes payload; // an owned payload, kept until its strips are done
        std::unique_ptr<DecodedFrame> frame;
        std::atomic<bool> failed{false};
        bool busy = false;
        bool done = false;
    };
    // A frame handed in: decoding in a slot, or ready.
    struct Entry {
        Slot *slot = nullptr;
        std::unique_ptr<DecodedFrame> ready;
    };

    Slot *freeSlot(std::unique_lock<std::mutex> &lock);
    // On the thread that decoded the slot's last strip.
    void finished(Slot &slot);
    // Under mMutex: hands the read buffer every frame at the front that is finished.
    void deliverInOrder();
    void deliver(std::unique_ptr<DecodedFrame> frame);

    ReadBuffer &mBuffer;
    SourceMonitor &mMonitor;
    std::shared_ptr<WorkerPool> mPool;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::array<Slot, kInFlight> mSlots;
    std::deque<Entry> mOrder; // oldest first
    std::atomic<uint64_t> mUndecodable{0};
};

} // namespace zun
