#include "decoder.h"

#include "format.h"
#include "sourcefactory.h"

#include <algorithm>
#include <utility>

namespace zun {

Decoder::Decoder(const StreamFormat &requested) : mMonitor(requested) {}

std::shared_ptr<Decoder> Decoder::make(uint32_t protocol, const StreamFormat &requested)
{
    // Tried now so that an unknown protocol is refused here, not at the port.
    if (!canReceive(protocol))
        return nullptr;
    std::shared_ptr<Decoder> decoder(new Decoder(requested));
    decoder->mProtocol = protocol;
    return decoder;
}

Decoder::~Decoder()
{
    release();
}

void Decoder::release()
{
    retireSource();
    std::lock_guard lock(mMutex);
    releaseLocked();
}

SourceContext Decoder::context()
{
    return {[this](const FrameMeta &meta, std::span<const uint8_t> payload, Bytes *raw) {
                decodeInto(meta, payload, raw);
            },
            mMonitor, mAdaptive};
}

void Decoder::retireSource()
{
    std::unique_ptr<FrameSource> old;
    {
        std::lock_guard lock(mSourceMutex);
        if (!mSource)
            return;
        mRetired += mSource->counters();
        old = std::move(mSource);
    }
    // Its thread stops here, outside the lock that stats takes.
    old.reset();
}

bool Decoder::setSource(uint32_t port)
{
    if (port == 0 || port > 65535)
        return false;
    return follow({uint16_t(port), std::nullopt});
}

bool Decoder::setSourceGroup(const std::string &group, uint32_t port)
{
    if (port == 0 || port > 65535 || !canJoin(mProtocol, group))
        return false;
    return follow({uint16_t(port), group});
}

bool Decoder::follow(const SourceAddress &where)
{
    retireSource();
    auto source = openSource(mProtocol, where, context());
    if (!source)
        return false;
    std::lock_guard lock(mSourceMutex);
    mSource = std::move(source);
    return true;
}

void Decoder::setAdaptive(bool adaptive)
{
    mAdaptive = adaptive;
    mBuffer.setAdaptive(adaptive);
}

void Decoder::releaseLocked()
{
    if (!mLocked)
        return;
    mLockedPin.reset();
    mBuffer.recycle(std::move(mLockedFrame));
    mLocked = false;
}

const uint8_t *Decoder::lock()
{
    std::lock_guard lock(mMutex);
    if (!mLocked) {
        if (auto frame = mBuffer.pop()) {
            mInfo = {frame->meta, frame->carriedBytes};
            mLockedFrame = std::move(frame);
        } else if (auto pinned = mSource ? mSource->pinRaw() : nullptr) {
            mInfo = {pinned->meta(), uint32_t(pinned->payload().size())};
            mMonitor.formatSeen(pinned->meta().format);
            mLockedPin = std::move(pinned);
        } else {
            return nullptr;
        }
        mLocked = true;
        ++mDelivered;
        mBytes += mInfo.carriedBytes;
    }
    return mLockedFrame ? mLockedFrame->pixels.data() : mLockedPin->payload().data();
}

bool Decoder::unlock()
{
    std::lock_guard lock(mMutex);
    if (!mLocked)
        return false;
    releaseLocked();
    return true;
}

Decoder::Info Decoder::info() const
{
    std::lock_guard lock(mMutex);
    return mInfo;
}

SourceCounters Decoder::sourceCounters() const
{
    std::lock_guard lock(mSourceMutex);
    SourceCounters counted = mSource ? mSource->counters() : SourceCounters{};
    counted += mRetired;
    return counted;
}

ZunStreamStats Decoder::stats() const
{
    const SourceCounters counted = sourceCounters();
    ZunStreamStats stats{};
    stats.framesDelivered = mDelivered.load();
    stats.framesDropped = counted.dropped + mBuffer.dropped();
    stats.framesIncomplete = counted.incomplete;
    stats.packetsRejected = counted.rejected + mUndecodable.load() + mPipeline.undecodable();
    stats.bytesTransferred = mBytes.load();
    return stats;
}

ZunRepairStats Decoder::repairStats() const
{
    const SourceCounters counted = sourceCounters();
    return {counted.repaired, counted.rebuilt};
}

ZunReceiveStats Decoder::receiveStats() const
{
    const SourceCounters counted = sourceCounters();
    // Shared memory has no link: what arrived is what was delivered.
    return {mProtocol == ZUN_PROTOCOL_MEMORY ? mBytes.load() : counted.bytesReceived, counted.overflowed};
}

void Decoder::decodeInto(const FrameMeta &meta, std::span<const uint8_t> payload,
                         Bytes *rawPayload)
{
    if (!payloadFits(meta.format, meta.compressed, payload.size())) {
        ++mUndecodable;
        return;
    }
    if (meta.compressed) {
        mPipeline.decode(meta, payload, rawPayload);
        return;
    }
    auto frame = mBuffer.takeSpare();
    if (rawPayload) {
        frame->pixels.swap(*rawPayload);
    } else {
        frame->pixels.resize(byteSize(meta.format));
        std::copy(payload.begin(), payload.end(), frame->pixels.begin());
    }
    frame->meta = meta;
    frame->carriedBytes = uint32_t(payload.size());
    mPipeline.pass(std::move(frame));
}

} // namespace zun
