#pragma once

#include "framedestination.h"
#include "handle.h"
#include "jpegcodec.h"
#include "zunVidStreamLib2.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace zun {

// Takes frames from zunEncode, copies or compresses each at once into the room its
// destination gives (a shared-memory slot or a network link's queue), and commits it there.
class Encoder : public Handle {
public:
    // Null for a protocol that cannot send or a bad format.
    static std::shared_ptr<Encoder> make(uint32_t protocol, const StreamFormat &format);
    ~Encoder() override;

    bool setFormat(const StreamFormat &format, bool compressed, uint32_t level);
    bool setDestination(const std::string &address, uint32_t port);
    bool encode(const uint8_t *pixels);
    bool setPacingRate(uint64_t bytesPerSecond);
    bool setPacingBurst(uint64_t bytes);
    bool setRedundancy(uint32_t percent);
    ZunStreamStats stats() const;
    ZunStatus status() const;

protected:
    void release() override;

private:
    Encoder() = default;
    // The payload's size for meta, which turns raw where JPEG would not shrink the frame; 0
    // when compression failed.
    size_t compressOrRaw(const uint8_t *pixels, FrameMeta &meta);

    uint32_t mStreamId = 0;
    mutable std::mutex mMutex;
    StreamFormat mFormat{};
    bool mCompressed = false;
    int mQuality = 100;
    uint32_t mFrameNumber = 0;
    bool mHaveDestination = false;
    JpegCodec mCodec;

    // Read by stats, status and the link settings, which must not wait for a changing call;
    // gone once released.
    mutable std::mutex mDestinationMutex;
    std::unique_ptr<FrameDestination> mDestination;
    DestinationCounters mCountedWhenReleased;
    ZunStatus mStatusWhenReleased{};
};

} // namespace zun
