#include "decoder.h"

#include "format.h"
#include "jpegcodec.h"
#include "transport/networktransport.h"

#include <algorithm>
#include <utility>

namespace zun {

namespace {
constexpr auto kAttachRetry = std::chrono::milliseconds(5);
constexpr auto kFrameWait = std::chrono::milliseconds(20);
constexpr auto kUnlinkCheck = std::chrono::milliseconds(100);
constexpr auto kDrainTime = std::chrono::seconds(1);

// Adds what a cursor counted since the last call to the decoder's totals.
void takeCounts(ShmReader::Cursor &cursor, std::atomic<uint64_t> &dropped,
                std::atomic<uint64_t> &rejected)
{
    dropped += std::exchange(cursor.dropped, 0);
    rejected += std::exchange(cursor.rejected, 0);
}
} // namespace

std::shared_ptr<Decoder> Decoder::make(uint32_t protocol)
{
    std::shared_ptr<Decoder> decoder(new Decoder);
    decoder->mProtocol = protocol;
    if (protocol != ZUN_PROTOCOL_MEMORY) {
        // Made now so that an unknown protocol is refused here, not at the port.
        decoder->mNetwork = makeNetworkReceiver(protocol);
        if (!decoder->mNetwork)
            return nullptr;
    }
    return decoder;
}

Decoder::~Decoder()
{
    stopThread();
    std::lock_guard lock(mMutex);
    releaseLocked();
}

void Decoder::stopThread()
{
    if (mThread.joinable()) {
        mThread.request_stop();
        mThread.join();
    }
}

bool Decoder::setSource(uint32_t port)
{
    if (port == 0 || port > 65535)
        return false;
    stopThread();
    {
        std::lock_guard lock(mMutex);
        mReader.reset();
        mRawCursor = {};
    }
    if (mProtocol == ZUN_PROTOCOL_MEMORY) {
        // Tried here rather than on the thread, so whether the stream was already running
        // when the reader came does not depend on when the thread gets going.
        auto reader = ShmReader::open(uint16_t(port));
        mThread = std::jthread([this, port, reader](std::stop_token stop) {
            memoryLoop(stop, uint16_t(port), reader);
        });
        return true;
    }
    // A fresh receiver, so a port change never depends on the transport re-listening.
    std::unique_ptr<NetworkReceiver> receiver = mNetwork ? std::move(mNetwork)
                                                         : makeNetworkReceiver(mProtocol);
    if (!receiver || !receiver->listen(uint16_t(port)))
        return false;
    mNetwork = std::move(receiver);
    NetworkReceiver *raw = mNetwork.get();
    mThread = std::jthread([this, raw](std::stop_token stop) { networkLoop(stop, raw); });
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
    } else if (mReader) {
        auto pinned = mReader->pinNext(mRawCursor, false, mAdaptive, ShmReader::kLockBank);
        takeCounts(mRawCursor, mDropped, mRejected);
        if (!pinned)
            return nullptr;
        mInfo = {pinned->meta, pinned->payloadSize};
        mLockedSlot = *pinned;
        mLockedReader = mReader;
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

ZunStreamStats Decoder::stats() const
{
    ZunStreamStats stats{};
    stats.framesDelivered = mDelivered.load();
    stats.framesDropped = mDropped.load() + mBuffer.dropped() + mNetworkSkipped.load();
    stats.framesIncomplete = mIncomplete.load();
    stats.packetsRejected = mRejected.load() + mNetworkRejected.load();
    stats.bytesTransferred = mBytes.load();
    return stats;
}

ZunRepairStats Decoder::repairStats() const
{
    return {mRepaired.load(), mRebuilt.load()};
}

void Decoder::pause(std::stop_token stop, std::chrono::milliseconds time)
{
    std::unique_lock lock(mPauseMutex);
    mPauseWake.wait_for(lock, stop, time, [] { return false; });
}

void Decoder::attach(std::shared_ptr<ShmReader> reader, bool fromNewest,
                     ShmReader::Cursor &jpegCursor)
{
    // A decoder that was already waiting for this encoder gets all its frames; one that
    // joins a running stream starts at its newest frame.
    jpegCursor = fromNewest ? reader->cursorAtNewest() : ShmReader::Cursor{};
    std::lock_guard lock(mMutex);
    mRawCursor = jpegCursor;
    mReader = std::move(reader);
}

bool Decoder::hasUnreadRaw() const
{
    std::lock_guard lock(mMutex);
    return mReader && mReader->hasUnread(mRawCursor, false);
}

void Decoder::detach()
{
    std::lock_guard lock(mMutex);
    mReader.reset(); // a locked slot keeps its mapping until unlocked
}

void Decoder::decodeInto(const FrameMeta &meta, std::span<const uint8_t> payload,
                         std::vector<uint8_t> *rawPayload, JpegCodec &codec)
{
    const uint32_t size = byteSize(meta.format);
    if (!payloadFits(meta.format, meta.compressed, payload.size())) {
        ++mRejected;
        return;
    }
    auto frame = mBuffer.takeSpare();
    if (!meta.compressed && rawPayload) {
        frame->pixels.swap(*rawPayload);
    } else {
        frame->pixels.resize(size);
        if (meta.compressed && !codec.decode(payload, meta.format, frame->pixels.data())) {
            ++mRejected;
            mBuffer.recycle(std::move(frame));
            return;
        }
        if (!meta.compressed)
            std::copy(payload.begin(), payload.end(), frame->pixels.begin());
    }
    frame->meta = meta;
    frame->carriedBytes = uint32_t(payload.size());
    mBuffer.push(std::move(frame));
}

void Decoder::memoryLoop(std::stop_token stop, uint16_t port, std::shared_ptr<ShmReader> reader)
{
    JpegCodec codec;
    ShmReader::Cursor jpegCursor;
    if (reader)
        attach(reader, true, jpegCursor);
    auto lastUnlinkCheck = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point goneSince{};
    while (!stop.stop_requested()) {
        if (!reader) {
            reader = ShmReader::open(port);
            if (!reader) {
                pause(stop, kAttachRetry);
                continue;
            }
            attach(reader, false, jpegCursor);
        }
        const uint32_t seen = reader->notifyCount();
        const auto now = std::chrono::steady_clock::now();
        bool gone = goneSince != std::chrono::steady_clock::time_point{} || reader->isClosed();
        if (!gone && now - lastUnlinkCheck > kUnlinkCheck) {
            // An encoder killed before it could say so leaves a segment that only its
            // successor's take-over, or our own check of the name, reveals.
            lastUnlinkCheck = now;
            gone = reader->isUnlinked();
        }
        while (!stop.stop_requested()) {
            auto pinned = reader->pinNext(jpegCursor, true, mAdaptive, ShmReader::kThreadBank);
            takeCounts(jpegCursor, mDropped, mRejected);
            if (!pinned)
                break;
            decodeInto(pinned->meta, {pinned->payload, pinned->payloadSize}, nullptr, codec);
            reader->unpin(*pinned, ShmReader::kThreadBank);
        }
        if (gone) {
            if (goneSince == std::chrono::steady_clock::time_point{})
                goneSince = now;
            auto next = ShmReader::open(port);
            // Raw frames the encoder left stay readable for a while, unless a new one comes.
            if (!next && now - goneSince < kDrainTime && hasUnreadRaw()) {
                pause(stop, kAttachRetry);
                continue;
            }
            goneSince = {};
            detach();
            reader = std::move(next);
            if (reader)
                attach(reader, false, jpegCursor);
            continue;
        }
        reader->waitForNotify(seen, kFrameWait);
    }
    detach();
}

void Decoder::networkLoop(std::stop_token stop, NetworkReceiver *receiver)
{
    JpegCodec codec;
    EncodedFrame frame;
    while (!stop.stop_requested()) {
        const bool got = receiver->receive(frame, kFrameWait);
        const ReceiveCounters counters = receiver->counters();
        mNetworkRejected = counters.packetsRejected;
        mIncomplete = counters.framesIncomplete;
        mNetworkSkipped = counters.framesSkipped;
        mRepaired = counters.framesRepaired;
        mRebuilt = counters.piecesRebuilt;
        if (got)
            decodeInto(frame.meta, frame.payload, &frame.payload, codec);
    }
}

} // namespace zun
