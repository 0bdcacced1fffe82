#include "transport/memory/shmreader.h"
#include "transport/memory/shmlayout.h"

#include "format.h"

namespace zun {

namespace {
constexpr int kPinAttempts = 8;
}

std::shared_ptr<ShmReader> ShmReader::open(uint16_t port)
{
    ShmSegment segment = ShmSegment::openExisting(shm::segmentName(port));
    if (!segment.isOpen() || segment.objectSize() < shm::kSlotOffset || !segment.mapAll())
        return nullptr;
    auto *header = reinterpret_cast<shm::SegmentHeader *>(segment.data());
    if (header->ready.load(std::memory_order_acquire) != 1 || header->closed.load() != 0
        || header->magic != shm::kMagic
        || (header->version != shm::kVersion && header->version != shm::kVersionWholeJpeg))
        return nullptr;
    const JpegLayout layout = header->version == shm::kVersion ? JpegLayout::kStrips : JpegLayout::kWhole;
    // Copied once and checked against the mapping, so a later scribble cannot move reads out of it.
    const uint32_t slotCount = header->slotCount;
    const uint64_t offset = header->slotOffset, stride = header->slotStride,
                   capacity = header->slotCapacity;
    // Slot headers hold atomics: a layout that would misalign them is refused too.
    constexpr uint64_t align = alignof(shm::SlotHeader);
    if (slotCount == 0 || slotCount > 32 || offset < sizeof(shm::SegmentHeader)
        || offset % align != 0 || stride % align != 0
        || stride < sizeof(shm::SlotHeader) + capacity || capacity > (uint64_t(1) << 32)
        || offset > segment.size() || stride > (segment.size() - offset) / slotCount) // no wrap-around
        return nullptr;
    for (uint32_t entry = 0; entry < shm::kMaxReaders; ++entry) {
        if (!segment.tryLockByte(shm::readerLockOffset(entry)))
            continue;
        header->readers[entry].pins.store(0);
        std::shared_ptr<ShmReader> reader(new ShmReader);
        reader->mHeader = header;
        reader->mEntry = entry;
        reader->mSlotCount = slotCount;
        reader->mSlotOffset = offset;
        reader->mSlotStride = stride;
        reader->mSlotCapacity = capacity;
        reader->mJpegLayout = layout;
        reader->mSegment = std::move(segment);
        return reader;
    }
    return nullptr;
}

ShmReader::~ShmReader()
{
    if (mHeader)
        mHeader->readers[mEntry].pins.store(0);
}

bool ShmReader::isClosed() const
{
    return mHeader->closed.load(std::memory_order_acquire) != 0;
}

uint32_t ShmReader::streamId() const
{
    return mHeader->streamId;
}

shm::SlotHeader &ShmReader::slot(uint32_t index) const
{
    return *reinterpret_cast<shm::SlotHeader *>(mSegment.data() + mSlotOffset + index * mSlotStride);
}

ShmReader::Cursor ShmReader::cursorAtNewest() const
{
    uint64_t newest = 0;
    for (uint32_t i = 0; i < mSlotCount; ++i) {
        const uint64_t seq = slot(i).seq.load(std::memory_order_acquire);
        if (shm::isPublished(seq))
            newest = std::max(newest, shm::frameOf(seq));
    }
    Cursor cursor;
    cursor.lastFrame = newest > 0 ? newest - 1 : 0;
    cursor.started = newest == 0;
    return cursor;
}

bool ShmReader::validate(const shm::SlotHeader &s, bool compressed, Pinned &pinned) const
{
    pinned.meta.format = {s.width, s.height, s.depth, s.orientation};
    pinned.meta.compressed = compressed;
    pinned.meta.jpegLayout = mJpegLayout;
    pinned.meta.frameNumber = s.frameNumber;
    pinned.meta.streamId = s.streamId;
    pinned.meta.sendTimeNs = s.sendTimeNs;
    pinned.payloadSize = s.payloadSize;
    if (!isValidFormat(pinned.meta.format) || pinned.payloadSize > mSlotCapacity)
        return false;
    if (compressed)
        return pinned.payloadSize > 0
            && pinned.payloadSize <= maxPayloadSize(pinned.meta.format, true);
    return pinned.payloadSize == byteSize(pinned.meta.format);
}

std::optional<ShmReader::Pinned> ShmReader::pinNext(Cursor &cursor, bool compressed, bool newest,
                                                    Bank bank)
{
    auto &pins = mHeader->readers[mEntry].pins;
    for (int attempt = 0; attempt < kPinAttempts; ++attempt) {
        int chosen = -1;
        uint64_t chosenSeq = 0;
        for (uint32_t i = 0; i < mSlotCount; ++i) {
            const uint64_t seq = slot(i).seq.load(std::memory_order_acquire);
            if (!shm::isPublished(seq) || shm::isCompressed(seq) != compressed
                || shm::frameOf(seq) <= cursor.lastFrame)
                continue;
            if (chosen < 0 || (newest ? seq > chosenSeq : seq < chosenSeq)) {
                chosen = int(i);
                chosenSeq = seq;
            }
        }
        if (chosen < 0)
            return std::nullopt;
        const uint64_t bit = shm::pinBit(uint32_t(chosen), bank);
        pins.fetch_or(bit);
        auto &s = slot(uint32_t(chosen));
        if (s.seq.load() != chosenSeq) {
            pins.fetch_and(~bit);
            continue; // overwritten under us
        }
        Pinned pinned;
        pinned.slot = uint32_t(chosen);
        pinned.payload = reinterpret_cast<const uint8_t *>(&s) + sizeof(shm::SlotHeader);
        const bool valid = validate(s, compressed, pinned);
        const uint32_t kindNumber = s.kindNumber;
        if (cursor.started && kindNumber > cursor.lastKindNumber + 1)
            cursor.dropped += kindNumber - cursor.lastKindNumber - 1;
        cursor.started = true;
        cursor.lastKindNumber = kindNumber;
        cursor.lastFrame = shm::frameOf(chosenSeq);
        if (valid)
            return pinned;
        pins.fetch_and(~bit);
        ++cursor.rejected;
    }
    return std::nullopt;
}

bool ShmReader::hasUnread(const Cursor &cursor, bool compressed) const
{
    for (uint32_t i = 0; i < mSlotCount; ++i) {
        const uint64_t seq = slot(i).seq.load(std::memory_order_acquire);
        if (shm::isPublished(seq) && shm::isCompressed(seq) == compressed
            && shm::frameOf(seq) > cursor.lastFrame)
            return true;
    }
    return false;
}

void ShmReader::unpin(const Pinned &pinned, Bank bank)
{
    mHeader->readers[mEntry].pins.fetch_and(~shm::pinBit(pinned.slot, bank));
}

uint32_t ShmReader::notifyCount() const
{
    return mHeader->notify.load(std::memory_order_acquire);
}

void ShmReader::waitForNotify(uint32_t seen, std::chrono::microseconds timeout)
{
    mHeader->waiters.fetch_add(1);
    if (mHeader->notify.load() == seen)
        futexWait(mHeader->notify, seen, timeout);
    mHeader->waiters.fetch_sub(1);
}

} // namespace zun
