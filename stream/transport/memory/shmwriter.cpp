#include "transport/memory/shmwriter.h"
#include "transport/memory/shmlayout.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>

namespace zun {

namespace {

constexpr int kOpenAttempts = 8;

// Tells the readers of a segment whose encoder died that it is being replaced.
void closeStale(ShmSegment &segment)
{
    if (segment.objectSize() < sizeof(shm::SegmentHeader) || !segment.mapAll())
        return;
    auto *header = reinterpret_cast<shm::SegmentHeader *>(segment.data());
    header->closed.store(1);
    header->notify.fetch_add(1);
    futexWakeAll(header->notify);
}

// Names of this process's live segments, removed when the process exits normally with an
// encoder still open, so /dev/shm is not left littered.
class LiveNames {
public:
    static LiveNames &instance()
    {
        // Never destroyed, so an encoder deleted late in the exit still finds it.
        static LiveNames *names = [] {
            auto *made = new LiveNames;
            std::atexit([] { instance().unlinkAll(); });
            return made;
        }();
        return *names;
    }
    void unlinkAll()
    {
        std::lock_guard lock(mMutex);
        for (const auto &name : mNames)
            shm_unlink(name.c_str());
        mNames.clear();
    }
    void add(const std::string &name)
    {
        std::lock_guard lock(mMutex);
        mNames.insert(name);
    }
    void remove(const std::string &name)
    {
        std::lock_guard lock(mMutex);
        mNames.erase(name);
    }

private:
    std::mutex mMutex;
    std::set<std::string> mNames;
};

} // namespace

std::unique_ptr<ShmWriter> ShmWriter::open(uint16_t port, uint64_t slotCapacity, uint32_t streamId,
                                           OpenResult &result)
{
    result = OpenResult::Failed;
    const std::string name = shm::segmentName(port);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        ShmSegment segment = ShmSegment::createExclusive(name);
        if (!segment.isOpen()) {
            if (errno != EEXIST)
                return nullptr;
            ShmSegment existing = ShmSegment::openExisting(name);
            if (!existing.isOpen())
                continue; // removed meanwhile
            if (!existing.tryLockExclusive()) {
                result = OpenResult::PortTaken;
                return nullptr;
            }
            // Locked and still named: its encoder is dead, so this one takes the port over.
            if (!existing.isUnlinked()) {
                closeStale(existing);
                shm_unlink(name.c_str());
            }
            continue;
        }
        // Another encoder may have opened the new object and replaced it before the lock.
        if (!segment.tryLockExclusive() || segment.isUnlinked()) {
            result = OpenResult::PortTaken;
            return nullptr;
        }
        const uint64_t stride = shm::slotStrideFor(slotCapacity);
        const uint64_t total = shm::kSlotOffset + stride * shm::kSlotCount;
        if (!segment.allocateAndMap(total)) {
            shm_unlink(name.c_str());
            return nullptr;
        }
        std::unique_ptr<ShmWriter> writer(new ShmWriter);
        writer->mName = name;
        writer->mCapacity = slotCapacity;
        auto *header = new (segment.data()) shm::SegmentHeader{};
        header->magic = shm::kMagic;
        header->version = shm::kVersion;
        header->slotCount = shm::kSlotCount;
        header->readerCount = shm::kMaxReaders;
        header->slotOffset = shm::kSlotOffset;
        header->slotStride = stride;
        header->slotCapacity = slotCapacity;
        header->totalSize = total;
        header->streamId = streamId;
        header->ownerPid = uint32_t(getpid());
        for (uint32_t i = 0; i < shm::kSlotCount; ++i)
            new (segment.data() + shm::kSlotOffset + i * stride) shm::SlotHeader{};
        header->ready.store(1, std::memory_order_release);
        writer->mHeader = header;
        writer->mSegment = std::move(segment);
        LiveNames::instance().add(name);
        result = OpenResult::Ok;
        return writer;
    }
    return nullptr;
}

ShmWriter::~ShmWriter()
{
    if (!mHeader)
        return;
    LiveNames::instance().remove(mName);
    mHeader->closed.store(1);
    mHeader->notify.fetch_add(1);
    futexWakeAll(mHeader->notify);
    // Still holding the port's lock, so the name is this segment's unless someone removed it.
    if (!mSegment.isUnlinked())
        shm_unlink(mName.c_str());
}

shm::SlotHeader &ShmWriter::slot(uint32_t index) const
{
    return *reinterpret_cast<shm::SlotHeader *>(mSegment.data() + mHeader->slotOffset
                                                + index * mHeader->slotStride);
}

bool ShmWriter::isPinned(uint32_t index) const
{
    const uint64_t bits = shm::pinBit(index, 0) | shm::pinBit(index, 1);
    for (const auto &reader : mHeader->readers) {
        if (reader.pins.load() & bits)
            return true;
    }
    return false;
}

void ShmWriter::releaseDeadReaders(uint32_t slotIndex)
{
    const uint64_t bits = shm::pinBit(slotIndex, 0) | shm::pinBit(slotIndex, 1);
    for (uint32_t i = 0; i < shm::kMaxReaders; ++i) {
        auto &reader = mHeader->readers[i];
        if ((reader.pins.load() & bits) == 0)
            continue;
        // Getting a reader's byte lock means nobody owns the entry any more.
        if (mSegment.tryLockByte(shm::readerLockOffset(i))) {
            reader.pins.store(0);
            mSegment.unlockByte(shm::readerLockOffset(i));
        }
    }
}

uint8_t *ShmWriter::beginFrame()
{
    if (mClaimed >= 0)
        return mSegment.data() + mHeader->slotOffset + mClaimed * mHeader->slotStride
            + sizeof(shm::SlotHeader);
    std::array<uint32_t, shm::kSlotCount> order{};
    for (uint32_t i = 0; i < shm::kSlotCount; ++i)
        order[i] = i;
    // Oldest first, so the ring keeps the newest frames for readers that lag.
    std::sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) {
        return shm::frameOf(slot(a).seq.load(std::memory_order_relaxed))
            < shm::frameOf(slot(b).seq.load(std::memory_order_relaxed));
    });
    for (uint32_t index : order) {
        auto &s = slot(index);
        const uint64_t before = s.seq.load(std::memory_order_relaxed);
        // Claim first, then look for pins: a reader pins first, then checks the
        // sequence, so one of the two always sees the other.
        s.seq.store(shm::writingSeq(mNextFrame));
        // A pin in the way may be a killed reader's: taken back now, so it costs no slot.
        if (isPinned(index))
            releaseDeadReaders(index);
        if (!isPinned(index)) {
            mClaimed = int(index);
            return mSegment.data() + mHeader->slotOffset + index * mHeader->slotStride
                + sizeof(shm::SlotHeader);
        }
        s.seq.store(before);
    }
    return nullptr;
}

void ShmWriter::publishFrame(const FrameMeta &meta, uint32_t payloadSize)
{
    if (mClaimed < 0)
        return;
    auto &s = slot(uint32_t(mClaimed));
    s.width = meta.format.width;
    s.height = meta.format.height;
    s.depth = meta.format.depth;
    s.orientation = meta.format.orientation;
    s.payloadSize = payloadSize;
    s.frameNumber = meta.frameNumber;
    s.kindNumber = ++mKindCount[meta.compressed ? 1 : 0];
    s.streamId = meta.streamId;
    s.sendTimeNs = meta.sendTimeNs;
    s.seq.store(shm::publishedSeq(mNextFrame++, meta.compressed), std::memory_order_release);
    mClaimed = -1;
    if (meta.compressed) {
        mHeader->notify.fetch_add(1);
        if (mHeader->waiters.load() != 0)
            futexWakeAll(mHeader->notify);
    }
}

} // namespace zun
