#pragma once

#include "handle.h"
#include "readbuffer.h"
#include "transport/memory/shmreader.h"
#include "zunVidStreamLib2.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <span>
#include <mutex>
#include <thread>

namespace zun {

class JpegCodec;
class NetworkReceiver;

// Receives and decodes on its own thread into a read buffer; the reader locks one frame at
// a time. Raw frames from shared memory are not copied: the lock pins their slot.
class Decoder : public Handle {
public:
    static std::shared_ptr<Decoder> make(uint32_t protocol);
    ~Decoder() override;

    bool setSource(uint32_t port);
    void setAdaptive(bool adaptive);
    // Never waits: the locked frame, the next one, or null.
    const uint8_t *lock();
    bool unlock();

    struct Info {
        FrameMeta meta;
        uint32_t carriedBytes = 0;
    };
    // Of the locked or last locked frame; all zero before the first.
    Info info() const;
    ZunStreamStats stats() const;
    ZunRepairStats repairStats() const;

private:
    Decoder() = default;
    void stopThread();
    void memoryLoop(std::stop_token stop, uint16_t port, std::shared_ptr<ShmReader> reader);
    void networkLoop(std::stop_token stop, NetworkReceiver *receiver);
    void decodeInto(const FrameMeta &meta, std::span<const uint8_t> payload,
                    std::vector<uint8_t> *rawPayload, JpegCodec &codec);
    void pause(std::stop_token stop, std::chrono::milliseconds time);
    void attach(std::shared_ptr<ShmReader> reader, bool fromNewest, ShmReader::Cursor &jpegCursor);
    void detach();
    bool hasUnreadRaw() const;
    void releaseLocked();

    uint32_t mProtocol = 0;
    ReadBuffer mBuffer;
    std::atomic<bool> mAdaptive{false};

    mutable std::mutex mMutex; // what the reader's calls share with the receiving thread
    bool mLocked = false;
    std::unique_ptr<DecodedFrame> mLockedFrame;
    std::shared_ptr<ShmReader> mLockedReader;
    ShmReader::Pinned mLockedSlot;
    Info mInfo;
    std::shared_ptr<ShmReader> mReader;
    ShmReader::Cursor mRawCursor;
    std::unique_ptr<NetworkReceiver> mNetwork;

    std::atomic<uint64_t> mDelivered{0};
    std::atomic<uint64_t> mBytes{0};
    std::atomic<uint64_t> mDropped{0};
    std::atomic<uint64_t> mRejected{0};
    std::atomic<uint64_t> mNetworkRejected{0};
    std::atomic<uint64_t> mIncomplete{0};
    std::atomic<uint64_t> mNetworkSkipped{0};
    std::atomic<uint64_t> mRepaired{0};
    std::atomic<uint64_t> mRebuilt{0};

    std::mutex mPauseMutex;
    std::condition_variable_any mPauseWake;
    std::jthread mThread; // last: stops before what it uses goes
};

} // namespace zun
