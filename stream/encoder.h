#pragma once

#include "handle.h"
#include "jpegcodec.h"
#include "sendqueue.h"
#include "status.h"
#include "zunVidStreamLib2.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zun {

class NetworkSender;
class ShmWriter;

// Takes frames from zunEncode, copies or compresses them at once, and hands them to the
// transport: straight into a shared-memory slot, or through a queue of two frames to its
// own sending thread for the network.
class Encoder : public Handle {
public:
    // Null for a protocol that cannot send or a bad format.
    static std::shared_ptr<Encoder> make(uint32_t protocol, const StreamFormat &format);
    ~Encoder() override;

    bool setFormat(const StreamFormat &format, bool compressed, uint32_t level);
    bool setDestination(const std::string &address, uint32_t port);
    bool encode(const uint8_t *pixels);
    // False where the transport does not pace: TCP and shared memory.
    bool setPacingRate(uint64_t bytesPerSecond);
    bool setPacingBurst(uint64_t bytes);
    // False where the protocol cannot lose pieces (TCP, memory) or percent is over 100.
    bool setRedundancy(uint32_t percent);
    ZunStreamStats stats() const;
    ZunStatus status() const;

protected:
    void release() override;

private:
    Encoder() = default;
    bool openMemory(uint16_t port);
    // The payload's size for meta, which turns raw where JPEG would not shrink the frame; 0
    // when compression failed.
    size_t compressOrRaw(const uint8_t *pixels, FrameMeta &meta);
    bool encodeToMemory(const uint8_t *pixels, FrameMeta &meta);
    bool encodeToNetwork(const uint8_t *pixels, FrameMeta &meta);
    void sendLoop(std::stop_token stop);

    uint32_t mProtocol = 0;
    uint32_t mStreamId = 0;
    mutable std::mutex mMutex;
    StreamFormat mFormat{};
    bool mCompressed = false;
    int mQuality = 100;
    uint32_t mFrameNumber = 0;
    bool mHaveDestination = false;
    uint16_t mPort = 0;
    JpegCodec mCodec;
    Status mMemoryStatus; // a network sender keeps its own

    std::unique_ptr<ShmWriter> mShm;
    // Read by stats and status, which must not wait for a changing call; gone once released.
    mutable std::mutex mNetworkMutex;
    std::unique_ptr<NetworkSender> mNetwork;
    // What the network sender last said, kept when it goes.
    uint64_t mReplacedWhenReleased = 0;
    SendQueue mQueue;

    std::atomic<uint64_t> mSent{0};
    std::atomic<uint64_t> mDropped{0};
    std::atomic<uint64_t> mBytes{0};
    std::jthread mThread; // last: stops before what it uses goes
};

} // namespace zun
