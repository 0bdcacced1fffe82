#pragma once

// The layout of a "Local (Memory)" segment, shared by every process on the host that
// sends or receives on one port. Nothing in it is a lock: a process killed at any
// instant leaves nothing held. Slots are claimed through sequence numbers, readers pin
// slots with atomic bit masks, and a reader's liveness is an OFD record lock on the byte
// of its entry, which the kernel drops when the reader dies.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace zun::shm {

constexpr uint32_t kMagic = 0x7a756e4d; // "zunM"
// The segment version says how a JPEG slot's payload is laid out: version 2, what encoders
// write, holds a strip index and strips; version 1, still read, one JPEG file.
constexpr uint32_t kVersion = 2;
constexpr uint32_t kVersionWholeJpeg = 1;
constexpr uint32_t kSlotCount = 6;
constexpr uint32_t kMaxReaders = 32;
constexpr uint64_t kPageSize = 4096;

// Slot sequence: 0 never written; (frame << 2) | 1 while being written;
// (frame << 2) | (compressed << 1) once it holds the frame. Frames count from 1.
constexpr uint64_t writingSeq(uint64_t frame) { return (frame << 2) | 1u; }
constexpr uint64_t publishedSeq(uint64_t frame, bool compressed)
{
    return (frame << 2) | (compressed ? 2u : 0u);
}
constexpr bool isPublished(uint64_t seq) { return seq != 0 && (seq & 1u) == 0; }
constexpr bool isCompressed(uint64_t seq) { return (seq & 2u) != 0; }
constexpr uint64_t frameOf(uint64_t seq) { return seq >> 2; }

// Pin bits of one reader: bit i for a slot its reader holds locked, bit 32 + i for a slot
// its decoding thread is reading.
constexpr uint64_t pinBit(uint32_t slot, uint32_t bank) { return uint64_t(1) << (slot + 32 * bank); }

struct alignas(64) ReaderEntry {
    std::atomic<uint64_t> pins;
};

struct alignas(64) SlotHeader {
    std::atomic<uint64_t> seq;
    uint16_t width, height, depth, orientation;
    uint32_t payloadSize;
    uint32_t frameNumber; // the encoder's own count
    uint32_t kindNumber;  // count of frames of this slot's kind (raw or JPEG), for drop counting
    uint32_t streamId;
    uint64_t sendTimeNs;
};

struct SegmentHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t slotCount;
    uint32_t readerCount;
    uint64_t slotOffset;
    uint64_t slotStride;
    uint64_t slotCapacity;
    uint64_t totalSize;
    uint32_t streamId;
    uint32_t ownerPid;
    std::atomic<uint32_t> ready;  // set once the rest is written
    std::atomic<uint32_t> closed; // the encoder is gone or has replaced this segment
    // Bumped for each JPEG frame and when the segment closes: what decoding threads sleep
    // on (futex word). Raw frames are read by the reader's own lock and wake nobody.
    alignas(64) std::atomic<uint32_t> notify;
    std::atomic<uint32_t> waiters; // threads sleeping on notify
    alignas(64) ReaderEntry readers[kMaxReaders];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "shared atomics must not hide a lock");
static_assert(sizeof(SlotHeader) == 64);

constexpr uint64_t kSlotOffset = (sizeof(SegmentHeader) + kPageSize - 1) / kPageSize * kPageSize;

constexpr uint64_t slotStrideFor(uint64_t capacity)
{
    return (sizeof(SlotHeader) + capacity + kPageSize - 1) / kPageSize * kPageSize;
}

constexpr off_t readerLockOffset(uint32_t reader)
{
    return off_t(offsetof(SegmentHeader, readers) + reader * sizeof(ReaderEntry));
}

std::string segmentName(uint16_t port);

} // namespace zun::shm
