#include "encoder.h"

#include "destinationfactory.h"
#include "format.h"

#include <cstring>
#include <random>

namespace zun {

std::shared_ptr<Encoder> Encoder::make(uint32_t protocol, const StreamFormat &format)
{
    if (!isValidFormat(format))
        return nullptr;
    std::shared_ptr<Encoder> encoder(new Encoder);
    encoder->mFormat = format;
    std::random_device random;
    encoder->mStreamId = random();
    encoder->mDestination = makeDestination(protocol, format, encoder->mStreamId);
    if (!encoder->mDestination)
        return nullptr;
    return encoder;
}

Encoder::~Encoder()
{
    release();
}

void Encoder::release()
{
    std::unique_ptr<FrameDestination> destination;
    {
        std::lock_guard lock(mDestinationMutex);
        if (!mDestination)
            return;
        mCountedWhenReleased = mDestination->counters();
        mStatusWhenReleased = mDestination->status();
        destination = std::move(mDestination);
    }
    // Its thread stops and its socket or segment closes here, not under the lock the readers take.
}

bool Encoder::setFormat(const StreamFormat &format, bool compressed, uint32_t level)
{
    if (!isValidFormat(format))
        return false;
    std::lock_guard lock(mMutex);
    mFormat = format;
    mCompressed = compressed;
    mQuality = JpegCodec::qualityForLevel(level);
    if (!mDestination->setFormat(format))
        mHaveDestination = false;
    return true;
}

bool Encoder::setDestination(const std::string &address, uint32_t port)
{
    if (port == 0 || port > 65535)
        return false;
    std::lock_guard lock(mMutex);
    mHaveDestination = mDestination->setDestination(address, uint16_t(port));
    return mHaveDestination;
}

bool Encoder::encode(const uint8_t *pixels)
{
    std::lock_guard lock(mMutex);
    if (!mHaveDestination)
        return false;
    FrameMeta meta;
    meta.sendTimeNs = monotonicNowNs();
    meta.format = mFormat;
    meta.compressed = mCompressed;
    meta.streamId = mStreamId;
    meta.frameNumber = mFrameNumber++;
    const size_t size = compressOrRaw(pixels, meta);
    if (size == 0)
        return false;
    uint8_t *room = mDestination->reserve(size);
    if (!room)
        return true; // dropped, and counted so, by the destination
    if (meta.compressed)
        mCodec.writePayload(room);
    else
        std::memcpy(room, pixels, size);
    mDestination->commit(meta);
    return true;
}

size_t Encoder::compressOrRaw(const uint8_t *pixels, FrameMeta &meta)
{
    if (meta.compressed) {
        const size_t jpegSize = mCodec.compress(meta.format, pixels, mQuality);
        if (jpegSize == 0)
            return 0;
        // A picture that does not shrink travels raw.
        if (jpegSize <= maxPayloadSize(meta.format, true))
            return jpegSize;
        meta.compressed = false;
    }
    return byteSize(meta.format);
}

bool Encoder::setPacingRate(uint64_t bytesPerSecond)
{
    std::lock_guard lock(mDestinationMutex);
    return mDestination && mDestination->setPacingRate(bytesPerSecond);
}

bool Encoder::setPacingBurst(uint64_t bytes)
{
    std::lock_guard lock(mDestinationMutex);
    return mDestination && mDestination->setPacingBurst(bytes);
}

bool Encoder::setRedundancy(uint32_t percent)
{
    std::lock_guard lock(mDestinationMutex);
    return mDestination && mDestination->setRedundancy(percent);
}

ZunStatus Encoder::status() const
{
    std::lock_guard lock(mDestinationMutex);
    return mDestination ? mDestination->status() : mStatusWhenReleased;
}

ZunStreamStats Encoder::stats() const
{
    std::lock_guard lock(mDestinationMutex);
    const DestinationCounters counted = mDestination ? mDestination->counters() : mCountedWhenReleased;
    ZunStreamStats stats{};
    stats.framesSent = counted.sent;
    stats.framesDropped = counted.dropped;
    stats.bytesTransferred = counted.bytes;
    return stats;
}

} // namespace zun
