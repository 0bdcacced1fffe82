#include "memoryfollower.h"

#include "sourcemonitor.h"

#include <utility>

namespace zun {
namespace {
constexpr auto kAttachRetry = std::chrono::milliseconds(5);
constexpr auto kFrameWait = std::chrono::milliseconds(20);
constexpr auto kUnlinkCheck = std::chrono::milliseconds(100);
constexpr auto kDrainTime = std::chrono::seconds(1);

// Keeps the mapping while the slot is pinned, after the follower too.
class PinnedSlot : public PinnedFrame {
public:
    PinnedSlot(std::shared_ptr<ShmReader> reader, const ShmReader::Pinned &slot)
        : mReader(std::move(reader)), mSlot(slot)
    {
    }
    ~PinnedSlot() override { mReader->unpin(mSlot, ShmReader::kLockBank); }
    PinnedSlot(const PinnedSlot &) = delete;
    PinnedSlot &operator=(const PinnedSlot &) = delete;

    const FrameMeta &meta() const override { return mSlot.meta; }
    std::span<const uint8_t> payload() const override { return {mSlot.payload, mSlot.payloadSize}; }

private:
    std::shared_ptr<ShmReader> mReader;
    ShmReader::Pinned mSlot;
};

} // namespace

MemoryFollower::MemoryFollower(uint16_t port, SourceContext context)
    : mPort(port), mContext(std::move(context))
{
    // Tried here rather than on the thread, so whether the stream was already running
    // when the reader came does not depend on when the thread gets going.
    auto reader = ShmReader::open(port);
    mThread = std::jthread([this, reader](std::stop_token stop) { run(stop, reader); });
}

SourceCounters MemoryFollower::counters() const
{
    return {mDropped.load(), 0, mRejected.load()};
}

void MemoryFollower::takeCounts(ShmReader::Cursor &cursor)
{
    mDropped += std::exchange(cursor.dropped, 0);
    mRejected += std::exchange(cursor.rejected, 0);
}

std::unique_ptr<PinnedFrame> MemoryFollower::pinRaw()
{
    std::lock_guard lock(mMutex);
    if (!mReader)
        return nullptr;
    auto pinned = mReader->pinNext(mRawCursor, false, mContext.adaptive, ShmReader::kLockBank);
    takeCounts(mRawCursor);
    if (!pinned)
        return nullptr;
    return std::make_unique<PinnedSlot>(mReader, *pinned);
}

void MemoryFollower::pause(std::stop_token stop, std::chrono::milliseconds time)
{
    std::unique_lock lock(mPauseMutex);
    mPauseWake.wait_for(lock, stop, time, [] { return false; });
}

void MemoryFollower::attach(std::shared_ptr<ShmReader> reader, bool fromNewest,
                            ShmReader::Cursor &jpegCursor)
{
    // A decoder that was already waiting for this encoder gets all its frames; one that
    // joins a running stream starts at its newest frame.
    jpegCursor = fromNewest ? reader->cursorAtNewest() : ShmReader::Cursor{};
    std::lock_guard lock(mMutex);
    mRawCursor = jpegCursor;
    mReader = std::move(reader);
}

bool MemoryFollower::hasUnreadRaw() const
{
    std::lock_guard lock(mMutex);
    return mReader && mReader->hasUnread(mRawCursor, false);
}

void MemoryFollower::detach()
{
    std::lock_guard lock(mMutex);
    mReader.reset(); // a locked slot keeps its mapping until unlocked
}

void MemoryFollower::run(std::stop_token stop, std::shared_ptr<ShmReader> reader)
{
    ShmReader::Cursor jpegCursor;
    if (reader)
        attach(reader, true, jpegCursor);
    auto lastUnlinkCheck = std::chrono::steady_clock::now();
    uint64_t lastNewest = 0;
    std::chrono::steady_clock::time_point goneSince{};
    while (!stop.stop_requested()) {
        if (!reader) {
            reader = ShmReader::open(mPort);
            if (!reader) {
                pause(stop, kAttachRetry);
                continue;
            }
            attach(reader, false, jpegCursor);
        }
        const uint32_t seen = reader->notifyCount();
        // Raw frames are not announced, so the newest frame number tells that one came.
        const uint64_t newest = reader->cursorAtNewest().lastFrame;
        if (newest != lastNewest) {
            lastNewest = newest;
            mContext.monitor.frameArrived();
        }
        mContext.monitor.check(mRejected.load(), 0, [] { return std::string(); });
        const auto now = std::chrono::steady_clock::now();
        bool gone = goneSince != std::chrono::steady_clock::time_point{} || reader->isClosed();
        if (!gone && now - lastUnlinkCheck > kUnlinkCheck) {
            // An encoder killed before it could say so leaves a segment that only its
            // successor's take-over, or our own check of the name, reveals.
            lastUnlinkCheck = now;
            gone = reader->isUnlinked();
        }
        while (!stop.stop_requested()) {
            auto pinned = reader->pinNext(jpegCursor, true, mContext.adaptive, ShmReader::kThreadBank);
            takeCounts(jpegCursor);
            if (!pinned)
                break;
            mContext.sink(pinned->meta, {pinned->payload, pinned->payloadSize}, nullptr);
            reader->unpin(*pinned, ShmReader::kThreadBank);
        }
        if (gone) {
            if (goneSince == std::chrono::steady_clock::time_point{})
                goneSince = now;
            auto next = ShmReader::open(mPort);
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

} // namespace zun
