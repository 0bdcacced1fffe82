// The read buffer behind decoded frames: FIFO order and its bound, the adaptive newest-only rule.

#include "readbuffer.h"

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

} // namespace
