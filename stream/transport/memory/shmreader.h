#pragma once

#include "frame.h"
#include "transport/memory/shmsegment.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace zun {

namespace shm { struct SegmentHeader; struct SlotHeader; }

// One decoder's view of a "Local (Memory)" segment. Frames are read in place: a pinned
// slot is never overwritten, so it can be handed to the reader until it is unpinned.
// Everything read from the segment is validated before use: the writer is another process.
class ShmReader {
public:
    enum Bank : uint32_t { kLockBank = 0, kThreadBank = 1 };

    // Where a reader of one kind of frame (raw or JPEG) has got to.
    struct Cursor {
        uint64_t lastFrame = 0;
        uint32_t lastKindNumber = 0;
        bool started = true; // false: the next frame starts the drop count afresh
        uint64_t dropped = 0;
        uint64_t rejected = 0;
    };

    struct Pinned {
        uint32_t slot = 0;
        FrameMeta meta;
        uint32_t payloadSize = 0;
        const uint8_t *payload = nullptr;
    };

    // Null when the port has no ready segment or no free reader entry.
    static std::shared_ptr<ShmReader> open(uint16_t port);
    ~ShmReader();
    ShmReader(const ShmReader &) = delete;
    ShmReader &operator=(const ShmReader &) = delete;

    // The encoder has left or replaced this segment.
    bool isClosed() const;
    bool isUnlinked() const { return mSegment.isUnlinked(); }
    uint32_t streamId() const;

    // A cursor that skips what is already in the ring except the newest frame.
    Cursor cursorAtNewest() const;
    // Pins the oldest (or newest) unread frame of the kind after the cursor and moves the
    // cursor on; nullopt when there is none. Pin one slot per bank at a time.
    std::optional<Pinned> pinNext(Cursor &cursor, bool compressed, bool newest, Bank bank);
    void unpin(const Pinned &pinned, Bank bank);
    // Whether a frame of the kind waits after the cursor.
    bool hasUnread(const Cursor &cursor, bool compressed) const;

    // Counts JPEG frames published and the closing of the segment.
    uint32_t notifyCount() const;
    // Sleeps until the count moves on from `seen`, at most timeout.
    void waitForNotify(uint32_t seen, std::chrono::microseconds timeout);

private:
    ShmReader() = default;
    shm::SlotHeader &slot(uint32_t index) const;
    bool validate(const shm::SlotHeader &s, bool compressed, Pinned &pinned) const;

    ShmSegment mSegment;
    shm::SegmentHeader *mHeader = nullptr;
    uint32_t mEntry = 0;
    uint32_t mSlotCount = 0;
    uint64_t mSlotOffset = 0;
    uint64_t mSlotStride = 0;
    uint64_t mSlotCapacity = 0;
    JpegLayout mJpegLayout = JpegLayout::kStrips; // of the segment's JPEG slots, by its version
};

} // namespace zun
