// Segment headers a broken or hostile peer could leave on a "Local (Memory)" port: a reader
// opens only a layout whose every slot lies inside the mapping, aligned for its atomics.
// Cases the fuzz target found, kept as tests.

#include "transport/memory/shmlayout.h"
#include "transport/memory/shmreader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <new>
#include <vector>

namespace {

constexpr uint16_t kPort = 22050;
constexpr uint64_t kCapacity = 1024;
constexpr uint32_t kSlots = 3;

using Edit = std::function<void(zun::shm::SegmentHeader &)>;

// A valid image of three small slots, changed by edit, written as the port's segment.
void writeSegment(const Edit &edit)
{
    namespace shm = zun::shm;
    const uint64_t stride = shm::slotStrideFor(kCapacity);
    std::vector<uint8_t> image(shm::kSlotOffset + stride * kSlots, 0);
    auto *h = new (image.data()) shm::SegmentHeader{};
    h->magic = shm::kMagic;
    h->version = shm::kVersion;
    h->slotCount = kSlots;
    h->readerCount = shm::kMaxReaders;
    h->slotOffset = shm::kSlotOffset;
    h->slotStride = stride;
    h->slotCapacity = kCapacity;
    h->totalSize = image.size();
    h->ready.store(1);
    edit(*h);
    const std::string name = shm::segmentName(kPort);
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, image.data(), image.size()), ssize_t(image.size()));
    close(fd);
}

class SegmentImage : public ::testing::Test {
protected:
    void TearDown() override { shm_unlink(zun::shm::segmentName(kPort).c_str()); }
    bool opens(const Edit &edit)
    {
        writeSegment(edit);
        return zun::ShmReader::open(kPort) != nullptr;
    }
};

TEST_F(SegmentImage, AValidLayoutOpens)
{
    EXPECT_TRUE(opens([](auto &) {}));
}

TEST_F(SegmentImage, MisalignedSlotsAreRefused)
{
    EXPECT_FALSE(opens([](auto &h) { h.slotOffset += 3; }));
    EXPECT_FALSE(opens([](auto &h) { h.slotStride -= 1; }));
    EXPECT_FALSE(opens([](auto &h) { h.slotStride += 8; }));
}

TEST_F(SegmentImage, SlotsThatWrapPastTheMappingAreRefused)
{
    // stride x count wraps to 0 in 64 bits, so a plain sum would look in bounds.
    EXPECT_FALSE(opens([](auto &h) {
        h.slotCount = 32;
        h.slotStride = uint64_t(1) << 59;
    }));
    // An offset just short of 2^64 wraps back into the mapping.
    EXPECT_FALSE(opens([](auto &h) { h.slotOffset = ~uint64_t(0) - 63; }));
    EXPECT_FALSE(opens([](auto &h) { h.slotOffset = ~uint64_t(0) - 4095; }));
}

TEST_F(SegmentImage, SizesOutsideTheMappingAreRefused)
{
    EXPECT_FALSE(opens([](auto &h) { h.slotCount = 0; }));
    EXPECT_FALSE(opens([](auto &h) { h.slotCount = 33; }));
    EXPECT_FALSE(opens([](auto &h) { h.slotCount = kSlots + 1; }));
    EXPECT_FALSE(opens([](auto &h) { h.slotCapacity = h.slotStride; }));
    EXPECT_FALSE(opens([](auto &h) { h.slotOffset = 0; }));
    EXPECT_FALSE(opens([](auto &h) { h.magic ^= 1; }));
    EXPECT_FALSE(opens([](auto &h) { h.ready.store(0); }));
}

TEST_F(SegmentImage, VersionSaysHowJpegSlotsAreLaidOut)
{
    namespace shm = zun::shm;
    EXPECT_FALSE(opens([](auto &h) { h.version = 0; }));
    EXPECT_FALSE(opens([](auto &h) { h.version = shm::kVersion + 1; }));
    for (uint32_t version : {shm::kVersionWholeJpeg, shm::kVersion}) {
        writeSegment([version](auto &h) { h.version = version; });
        // One small JPEG slot, published after the reader opened, as a live encoder would.
        auto reader = zun::ShmReader::open(kPort);
        ASSERT_TRUE(reader) << "version " << version;
        const int fd = shm_open(shm::segmentName(kPort).c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        const size_t size = shm::kSlotOffset + shm::slotStrideFor(kCapacity);
        void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(map, MAP_FAILED);
        auto *slot = reinterpret_cast<shm::SlotHeader *>(static_cast<uint8_t *>(map) + shm::kSlotOffset);
        slot->width = 8;
        slot->height = 8;
        slot->depth = 1;
        slot->payloadSize = 100;
        slot->kindNumber = 1;
        slot->seq.store(shm::publishedSeq(1, true));
        zun::ShmReader::Cursor cursor;
        const auto pinned = reader->pinNext(cursor, true, false, zun::ShmReader::kThreadBank);
        ASSERT_TRUE(pinned);
        EXPECT_EQ(pinned->meta.jpegLayout, version == shm::kVersion ? zun::JpegLayout::kStrips
                                                                     : zun::JpegLayout::kWhole);
        reader->unpin(*pinned, zun::ShmReader::kThreadBank);
        munmap(map, size);
    }
}

} // namespace
