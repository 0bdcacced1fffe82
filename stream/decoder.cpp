#include "decoder.h"

#include "format.h"
#include "memoryfollower.h"
#include "networksource.h"
#include "transport/destinationaddress.h"
#include "transport/networktransport.h"
#include "transport/udp/udpreceiver.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace zun {

namespace {

const char *transportName(uint32_t protocol)
{
    switch (protocol) {
    case ZUN_PROTOCOL_UDP: return "udp";
    case ZUN_PROTOCOL_TCP: return "tcp";
    default: return "memory";
    }
}

const char *unitNoun(uint32_t protocol)
{
    switch (protocol) {
    case ZUN_PROTOCOL_UDP: return "datagrams";
    case ZUN_PROTOCOL_TCP: return "messages";
    default: return "slots";
    }
}

bool isMulticast(const in_addr &address)
{
    return (ntohl(address.s_addr) & 0xF0000000u) == 0xE0000000u;
}

} // namespace

Decoder::Decoder(const StreamFormat &requested) : mMonitor(requested) {}

std::shared_ptr<Decoder> Decoder::make(uint32_t protocol, const StreamFormat &requested)
{
    // Tried now so that an unknown protocol is refused here, not at the port.
    if (protocol != ZUN_PROTOCOL_MEMORY && !makeNetworkReceiver(protocol))
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
    return {[this](const FrameMeta &meta, std::span<const uint8_t> payload, std::vector<uint8_t> *raw) {
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
        mFollower = nullptr;
    }
    // Its thread stops here, outside the lock that stats takes.
    old.reset();
}

void Decoder::installSource(std::unique_ptr<FrameSource> source, MemoryFollower *follower)
{
    std::lock_guard lock(mSourceMutex);
    mSource = std::move(source);
    mFollower = follower;
}

bool Decoder::setSource(uint32_t port)
{
    if (port == 0 || port > 65535)
        return false;
    if (mProtocol != ZUN_PROTOCOL_MEMORY)
        return listenOnNetwork(uint16_t(port), makeNetworkReceiver(mProtocol));
    retireSource();
    mMonitor.start(portText("memory", uint16_t(port)), unitNoun(mProtocol));
    auto follower = std::make_unique<MemoryFollower>(uint16_t(port), context());
    MemoryFollower *raw = follower.get();
    installSource(std::move(follower), raw);
    return true;
}

bool Decoder::setSourceGroup(const std::string &group, uint32_t port)
{
    if (mProtocol != ZUN_PROTOCOL_UDP || port == 0 || port > 65535)
        return false;
    const auto parsed = DestinationAddress::parse(group);
    const auto address = parsed ? parsed->numericHost() : std::nullopt;
    if (!address || !isMulticast(*address))
        return false;
    if (parsed->interface && !UdpReceiver::isLocalAddress(*parsed->interface)) {
        retireSource();
        mMonitor.start(portText("udp", uint16_t(port)), unitNoun(mProtocol));
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &*parsed->interface, text, sizeof text);
        mMonitor.fail(ENODEV, std::string("no interface of this host has address ") + text);
        return false;
    }
    auto receiver = std::make_unique<UdpReceiver>();
    receiver->setGroup(*address, parsed->interface);
    return listenOnNetwork(uint16_t(port), std::move(receiver));
}

bool Decoder::listenOnNetwork(uint16_t port, std::unique_ptr<NetworkReceiver> receiver)
{
    // The old source goes first, so its port is free for the new one.
    retireSource();
    mMonitor.start(portText(transportName(mProtocol), port), unitNoun(mProtocol));
    if (!receiver || !receiver->listen(port)) {
        const int error = errno;
        mMonitor.fail(error, errorText(error));
        return false;
    }
    installSource(std::make_unique<NetworkSource>(std::move(receiver), context()), nullptr);
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
    if (mLockedReader)
        mLockedReader->unpin(mLockedSlot, ShmReader::kLockBank);
    mLockedReader.reset();
    mBuffer.recycle(std::move(mLockedFrame));
    mLocked = false;
}

const uint8_t *Decoder::lock()
{
    std::lock_guard lock(mMutex);
    if (mLocked)
        return mLockedFrame ? mLockedFrame->pixels.data() : mLockedSlot.payload;
    if (auto frame = mBuffer.pop()) {
        mInfo = {frame->meta, frame->carriedBytes};
        mLockedFrame = std::move(frame);
    } else if (auto raw = mFollower ? mFollower->pinRaw() : std::nullopt) {
        mInfo = {raw->slot.meta, raw->slot.payloadSize};
        mMonitor.formatSeen(raw->slot.meta.format);
        mLockedSlot = raw->slot;
        mLockedReader = std::move(raw->reader);
    } else {
        return nullptr;
    }
    mLocked = true;
    ++mDelivered;
    mBytes += mInfo.carriedBytes;
    return mLockedFrame ? mLockedFrame->pixels.data() : mLockedSlot.payload;
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
    stats.packetsRejected = counted.rejected + mUndecodable.load();
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
                         std::vector<uint8_t> *rawPayload)
{
    const uint32_t size = byteSize(meta.format);
    if (!payloadFits(meta.format, meta.compressed, payload.size())) {
        ++mUndecodable;
        return;
    }
    auto frame = mBuffer.takeSpare();
    if (!meta.compressed && rawPayload) {
        frame->pixels.swap(*rawPayload);
    } else {
        frame->pixels.resize(size);
        if (meta.compressed && !mCodec.decode(payload, meta.format, meta.jpegLayout, frame->pixels.data())) {
            ++mUndecodable;
            mBuffer.recycle(std::move(frame));
            return;
        }
        if (!meta.compressed)
            std::copy(payload.begin(), payload.end(), frame->pixels.begin());
    }
    frame->meta = meta;
    frame->carriedBytes = uint32_t(payload.size());
    mBuffer.push(std::move(frame));
    mMonitor.frameArrived();
    mMonitor.formatSeen(meta.format);
}

} // namespace zun
