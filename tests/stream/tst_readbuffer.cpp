// The read buffer behind decoded frames: FIFO order and its bound, the adaptive newest-only rule;
// and the byte buffers that frames are made of.

#include "readbuffer.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::unique_ptr<zun::DecodedFrame> frame(uint32_t number)
{
    auto f = std::make_unique<zun::DecodedFrame>();
    f->meta.frameNumber = number;
    return f;
}

TEST(ReadBuffer, FifoKeepsOrderAndDropsTheOldestWhenFull)
{
    zun::ReadBuffer buffer;
    for (uint32_t i = 0; i < 3; ++i)
        buffer.push(frame(i));
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(buffer.pop()->meta.frameNumber, i);
    EXPECT_EQ(buffer.pop(), nullptr);
    EXPECT_EQ(buffer.dropped(), 0u);

    const uint32_t pushed = zun::ReadBuffer::kFifoDepth + 3;
    for (uint32_t i = 0; i < pushed; ++i)
        buffer.push(frame(i));
    EXPECT_EQ(buffer.dropped(), 3u);
    for (uint32_t i = 3; i < pushed; ++i)
        EXPECT_EQ(buffer.pop()->meta.frameNumber, i);
    EXPECT_EQ(buffer.pop(), nullptr);
}

TEST(ReadBuffer, AdaptiveHandsALaggingReaderTheNewestFrame)
{
    zun::ReadBuffer buffer;
    buffer.setAdaptive(true);
    for (uint32_t i = 0; i < 5; ++i)
        buffer.push(frame(i));
    EXPECT_EQ(buffer.pop()->meta.frameNumber, 4u);
    EXPECT_EQ(buffer.pop(), nullptr);
    EXPECT_EQ(buffer.dropped(), 4u);
}

TEST(ReadBuffer, ReusesBuffersOfFramesRead)
{
    zun::ReadBuffer buffer;
    auto f = frame(1);
    f->pixels.resize(1000);
    const uint8_t *storage = f->pixels.data();
    buffer.recycle(std::move(f));
    auto spare = buffer.takeSpare();
    EXPECT_EQ(spare->pixels.data(), storage);
    EXPECT_NE(buffer.takeSpare(), nullptr) << "an empty pool still gives a frame";
}

// A reader that falls behind until frames drop, then reads all, over and over: after the
// first round every frame comes from the pool, so memory neither grows nor churns.
TEST(ReadBuffer, AReaderThatFallsBehindAndCatchesUpNeedsNoFreshFrames)
{
    zun::ReadBuffer buffer;
    constexpr size_t kInUse = zun::ReadBuffer::kFifoDepth + 2;
    size_t freshAfterFirstRound = 0;
    for (int round = 0; round < 20; ++round) {
        for (size_t i = 0; i < kInUse; ++i) {
            auto f = buffer.takeSpare();
            if (round > 0 && f->pixels.capacity() == 0)
                ++freshAfterFirstRound;
            f->pixels.resize(1000);
            buffer.push(std::move(f));
        }
        while (auto f = buffer.pop())
            buffer.recycle(std::move(f));
    }
    EXPECT_GT(buffer.dropped(), 0u);
    EXPECT_EQ(freshAfterFirstRound, 0u);
}

// Below and above the size from which a buffer is mapped: bytes a buffer regains after it
// shrank read as zero, though a fresh mapping is not cleared; and edits keep every byte.
TEST(FrameBytes, RegainedBytesAreZeroAndEditsKeepEveryByte)
{
    for (const size_t size : {size_t(1000), size_t(3) << 20}) {
        zun::Bytes bytes(size);
        std::fill(bytes.begin(), bytes.end(), 0xab);
        bytes.resize(10);
        bytes.resize(size);
        EXPECT_EQ(std::count(bytes.begin() + 10, bytes.end(), 0), ptrdiff_t(size - 10)) << size;
        EXPECT_EQ(std::count(bytes.begin(), bytes.begin() + 10, 0xab), 10) << size;

        zun::Bytes grown;
        for (size_t i = 0; i < size; ++i) {
            const uint8_t byte = uint8_t(i);
            grown.insert(grown.end(), &byte, &byte + 1);
        }
        grown.resize(size + 5);
        EXPECT_EQ(std::count(grown.end() - 5, grown.end(), 0), 5) << size;
        const std::vector<uint8_t> middle{1, 2, 3};
        grown.insert(grown.begin() + 7, middle.begin(), middle.end());
        ASSERT_EQ(grown.size(), size + 8);
        EXPECT_EQ(grown[6], 6);
        EXPECT_EQ(grown[8], 2);
        EXPECT_EQ(grown[10], 7);
        EXPECT_EQ(grown[size + 2], uint8_t(size - 1));

        zun::Bytes copy = grown;
        EXPECT_TRUE(copy == grown);
        const zun::Bytes moved = std::move(grown);
        EXPECT_TRUE(moved == copy);
        EXPECT_TRUE(grown.empty());
    }
}

} // namespace
