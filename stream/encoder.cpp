#include "encoder.h"

#include "format.h"
#include "transport/networktransport.h"
#include "transport/memory/shmwriter.h"

#include <cerrno>
#include <cstring>
#include <random>

namespace zun {

std::shared_ptr<Encoder> Encoder::make(uint32_t protocol, const StreamFormat &format)
{
    if (!isValidFormat(format))
        return nullptr;
    std::shared_ptr<Encoder> encoder(new Encoder);
    encoder->mProtocol = protocol;
    encoder->mFormat = format;
    if (protocol != ZUN_PROTOCOL_MEMORY) {
        encoder->mNetwork = makeNetworkSender(protocol);
        if (!encoder->mNetwork)
            return nullptr;
    }
    std::random_device random;
    encoder->mStreamId = random();
    return encoder;
}

Encoder::~Encoder()
{
    release();
}

void Encoder::release()
{
    if (mThread.joinable()) {
        mThread.request_stop();
        mThread.join();
    }
    mShm.reset();
    std::unique_ptr<NetworkSender> network;
    {
        std::lock_guard lock(mNetworkMutex);
        if (!mNetwork)
            return;
        mReplacedWhenReleased = mNetwork->framesReplaced();
        network = std::move(mNetwork);
    }
    // Its thread stops and its socket closes here, not under the lock the readers take.
}

bool Encoder::setFormat(const StreamFormat &format, bool compressed, uint32_t level)
{
    if (!isValidFormat(format))
        return false;
    std::lock_guard lock(mMutex);
    mFormat = format;
    mCompressed = compressed;
    mQuality = JpegCodec::qualityForLevel(level);
    // A segment made for smaller frames is made again; its readers follow.
    if (mShm && mShm->capacity() < maxPayloadSize(format, true)) {
        mShm.reset();
        mHaveDestination = openMemory(mPort);
    }
    return true;
}

bool Encoder::openMemory(uint16_t port)
{
    ShmWriter::OpenResult result{};
    mShm = ShmWriter::open(port, maxPayloadSize(mFormat, true), mStreamId, result);
    const int error = errno;
    const std::string where = portText("memory", port);
    mMemoryStatus.restart(ZUN_STATE_SENDING);
    if (result == ShmWriter::OpenResult::PortTaken)
        mMemoryStatus.fail(EBUSY, where + ": held by another encoder");
    else if (!mShm)
        mMemoryStatus.fail(error, where + ": " + errorText(error));
    return mShm != nullptr;
}

bool Encoder::setDestination(const std::string &address, uint32_t port)
{
    if (port == 0 || port > 65535)
        return false;
    std::lock_guard lock(mMutex);
    if (mProtocol == ZUN_PROTOCOL_MEMORY) {
        if (mShm && mPort == port)
            return true;
        mShm.reset();
        mPort = uint16_t(port);
        mHaveDestination = openMemory(mPort);
        return mHaveDestination;
    }
    if (!mNetwork->setDestination(address, uint16_t(port))) {
        mHaveDestination = false;
        return false;
    }
    mPort = uint16_t(port);
    mHaveDestination = true;
    if (!mThread.joinable())
        mThread = std::jthread([this](std::stop_token stop) { sendLoop(stop); });
    return true;
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
    return mShm ? encodeToMemory(pixels, meta) : encodeToNetwork(pixels, meta);
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

bool Encoder::encodeToMemory(const uint8_t *pixels, FrameMeta &meta)
{
    const size_t size = compressOrRaw(pixels, meta);
    if (size == 0)
        return false;
    uint8_t *slot = mShm->beginFrame();
    if (!slot) {
        ++mDropped; // every slot held by readers
        return true;
    }
    if (meta.compressed)
        mCodec.writePayload(slot);
    else
        std::memcpy(slot, pixels, size);
    mShm->publishFrame(meta, uint32_t(size));
    ++mSent;
    mBytes += size;
    return true;
}

bool Encoder::encodeToNetwork(const uint8_t *pixels, FrameMeta &meta)
{
    const size_t size = compressOrRaw(pixels, meta);
    if (size == 0)
        return false;
    EncodedFrame frame = mQueue.takeSpare();
    if (meta.compressed) {
        frame.payload.resize(size);
        mCodec.writePayload(frame.payload.data());
    } else {
        frame.payload.assign(pixels, pixels + size);
    }
    frame.meta = meta;
    if (!mQueue.push(std::move(frame)))
        ++mDropped;
    return true;
}

bool Encoder::setPacingRate(uint64_t bytesPerSecond)
{
    std::lock_guard lock(mNetworkMutex);
    return mNetwork && mNetwork->setPacingRate(bytesPerSecond);
}

bool Encoder::setPacingBurst(uint64_t bytes)
{
    std::lock_guard lock(mNetworkMutex);
    return mNetwork && mNetwork->setPacingBurst(bytes);
}

void Encoder::sendLoop(std::stop_token stop)
{
    mNetwork->setWatch({stop, [this] { return mQueue.waiting(); }});
    while (auto frame = mQueue.pop(stop)) {
        if (mNetwork->send(frame->meta, frame->payload)) {
            ++mSent;
            mBytes += frame->payload.size();
        } else {
            ++mDropped;
        }
        mQueue.recycle(std::move(*frame));
    }
}

bool Encoder::setRedundancy(uint32_t percent)
{
    std::lock_guard lock(mNetworkMutex);
    if (mProtocol != ZUN_PROTOCOL_UDP || percent > 100 || !mNetwork)
        return false;
    mNetwork->setRedundancy(percent);
    return true;
}

ZunStatus Encoder::status() const
{
    std::lock_guard lock(mNetworkMutex);
    return mNetwork ? mNetwork->status() : mMemoryStatus.snapshot();
}

ZunStreamStats Encoder::stats() const
{
    ZunStreamStats stats{};
    stats.framesSent = mSent.load();
    std::lock_guard lock(mNetworkMutex);
    stats.framesDropped = mDropped.load() + (mNetwork ? mNetwork->framesReplaced() : mReplacedWhenReleased);
    stats.bytesTransferred = mBytes.load();
    return stats;
}

} // namespace zun
