// "Local (Memory)" inside one process: what arrives, in which order, on which channel,
// and how decoders follow encoders that come, go and change.

#include "framepattern.h"
#include "streamtest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zuntest::Decoder;
using zuntest::Encoder;

// Every test its own port, so CTest may run them side by side.
enum Port : uint32_t {
    kChannel = 20010, // and 20011
    kRawDepths = 20020,
    kJpegDepths = 20030,
    kLevels = 20040,
    kFifo = 20050,
    kAdaptive = 20051,
    kJpegOrder = 20052,
    kPinned = 20060,
    kEarlyDecoder = 20070,
    kRemade = 20071,
    kGrown = 20072,
    kSecond = 20080,
    kSeveral = 20090,
    kDeleteLocked = 20091,
    kLeftBehind = 20092,
    kFrameInfo = 20093,
    kMovedAway = 20094, // and 20095
};

// Twenty more frames go out with none dropped: no slot is left held.
void expectTwentyMoreSent(Encoder &encoder, const StreamFormat &format, uint64_t sentBefore)
{
    for (int i = 0; i < 20; ++i)
        encoder.encode(zuntest::makeFrame(format, 0).data());
    ZunStreamStats sent{};
    zunGetStreamStats(encoder.handle(), &sent);
    EXPECT_EQ(sent.framesDropped, 0u);
    EXPECT_EQ(sent.framesSent, sentBefore + 20);
}

TEST(Memory, FrameOnChannelNArrivesThereAndNotOnNPlusOne)
{
    const StreamFormat format{64, 48, 1, 1};
    Decoder onN(kChannel), onNext(kChannel + 1);
    Encoder encoder(format, kChannel);
    ASSERT_TRUE(encoder.addressed());
    const auto picture = zuntest::makeFrame(format, 0);
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(encoder.encode(picture.data()));
    ASSERT_NE(onN.waitLock(), nullptr);
    onN.unlock();
    EXPECT_EQ(onNext.waitLock(200ms), nullptr);
}

TEST(Memory, RawFramesArriveIdenticalInEveryDepth)
{
    for (uint16_t depth = 0; depth <= 3; ++depth) {
        const StreamFormat format{33, 17, depth, 1}; // odd width: padded rows
        Decoder decoder(kRawDepths + depth);
        Encoder encoder(format, kRawDepths + depth);
        ASSERT_TRUE(encoder.addressed());
        const auto picture = zuntest::makeFrame(format, 3);
        ASSERT_TRUE(encoder.encode(picture.data()));
        const uint8_t *pixels = decoder.waitLock();
        ASSERT_NE(pixels, nullptr) << "depth " << depth;
        EXPECT_TRUE(zuntest::sameFormat(decoder.format(), format));
        EXPECT_EQ(decoder.format().orientation, 1);
        EXPECT_EQ(std::memcmp(pixels, picture.data(), picture.size()), 0) << "depth " << depth;
        EXPECT_EQ(zunGetCompressedFrameSize(decoder.handle()), zunGetByteSize(&format));
        EXPECT_EQ(decoder.frameNumber(), 0u);
        EXPECT_NE(zunGetRecvSendTime(decoder.handle()), 0u);
        decoder.unlock();
    }
}

TEST(Memory, JpegFramesArriveCloseToTheOriginalInTheirSize)
{
    // The larger frame is cut into strips wherever there are cores to share it.
    for (uint16_t n = 0; n < 8; ++n) {
        const StreamFormat format = n < 4 ? StreamFormat{97, 61, n, 1}
                                              : StreamFormat{1023, 769, uint16_t(n - 4), 1};
        Decoder decoder(kJpegDepths + n);
        Encoder encoder(format, kJpegDepths + n, 1, 15);
        ASSERT_TRUE(encoder.addressed());
        const auto picture = zuntest::makeFrame(format, 9);
        ASSERT_TRUE(encoder.encode(picture.data()));
        const uint8_t *pixels = decoder.waitLock();
        ASSERT_NE(pixels, nullptr) << "format " << n;
        EXPECT_TRUE(zuntest::sameFormat(decoder.format(), format));
        const auto d = zuntest::compare(format, picture.data(), pixels);
        for (int c = 0; c < 3; ++c)
            EXPECT_LE(d.meanAbsError[c], zuntest::kJpegMeanErrorBound)
                << "format " << n << " channel " << c;
        EXPECT_LE(d.worstBandError, zuntest::kJpegBandErrorBound);
        EXPECT_TRUE(d.alphaOpaque);
        ZunStreamStats sent{};
        zunGetStreamStats(encoder.handle(), &sent);
        const uint32_t carried = zunGetCompressedFrameSize(decoder.handle());
        EXPECT_EQ(carried, sent.bytesTransferred) << "the JPEG's size as it travelled";
        EXPECT_LT(carried, zunGetByteSize(&format));
        std::printf("%ux%u depth %u JPEG level 15: mean abs error %.2f %.2f %.2f, worst band %.2f, "
                    "%u of %u bytes\n", format.width, format.height, format.depth, d.meanAbsError[0], d.meanAbsError[1],
                    d.meanAbsError[2], d.worstBandError, carried, zunGetByteSize(&format));
        decoder.unlock();
    }
}

// The one call gives what the separate ones give, and says which frames travelled as JPEG.
TEST(Memory, FrameInfoDescribesTheLockedFrame)
{
    const StreamFormat format{97, 61, 1, 5};
    Decoder decoder(kFrameInfo);
    Encoder encoder(format, kFrameInfo);
    ASSERT_TRUE(encoder.addressed());
    const auto picture = zuntest::makeFrame(format, 2);
    for (uint32_t jpeg : {0u, 1u}) {
        ASSERT_EQ(zunSetDestFormat(encoder.handle(), &format, jpeg, 15), 1);
        ASSERT_TRUE(encoder.encode(picture.data()));
        ASSERT_NE(decoder.waitLock(), nullptr) << "jpeg " << jpeg;
        // A caller built against a longer record of a later header: the bytes past ours stay.
        struct {
            ZunFrameInfo info;
            uint32_t later;
        } record{};
        record.info.size = sizeof record;
        record.later = 0xfeedf00d;
        ASSERT_EQ(zunGetRecvFrameInfo(decoder.handle(), &record.info), 1);
        const ZunFrameInfo &info = record.info;
        EXPECT_EQ(info.size, sizeof record);
        EXPECT_EQ(record.later, 0xfeedf00du);
        EXPECT_TRUE(zuntest::sameFormat({info.width, info.height, info.depth, info.orientation}, format));
        EXPECT_EQ(info.orientation, 5);
        EXPECT_EQ(info.frameNumber, jpeg);
        EXPECT_EQ(info.sendTimeNs, zunGetRecvSendTime(decoder.handle()));
        EXPECT_EQ(info.payloadBytes, zunGetCompressedFrameSize(decoder.handle()));
        EXPECT_EQ(info.jpeg, jpeg);
        decoder.unlock();
    }
    ZunFrameInfo shorter{};
    shorter.size = sizeof shorter - 1;
    EXPECT_EQ(zunGetRecvFrameInfo(decoder.handle(), &shorter), 0);
    EXPECT_EQ(shorter.width, 0) << "a record too short for the first version is left alone";
}

uint32_t jpegSizeAtLevel(uint32_t port, uint32_t level)
{
    const StreamFormat format{320, 240, 1, 1};
    Decoder decoder(port);
    Encoder encoder(format, port, 1, level);
    const auto picture = zuntest::makeFrame(format, 1);
    encoder.encode(picture.data());
    if (!decoder.waitLock())
        return 0;
    return zunGetCompressedFrameSize(decoder.handle());
}

TEST(Memory, JpegLevelZeroIsLargerThanLevelNinety)
{
    const uint32_t best = jpegSizeAtLevel(kLevels, 0);
    const uint32_t small = jpegSizeAtLevel(kLevels + 1, 90);
    EXPECT_GT(small, 0u);
    EXPECT_GT(best, small);
}

TEST(Memory, FifoKeepsOrderAndDropsTheOldestWhenTheReaderLags)
{
    const StreamFormat format{40, 30, 2, 1};
    Decoder decoder(kFifo);
    Encoder encoder(format, kFifo);
    std::this_thread::sleep_for(20ms);
    for (uint32_t i = 0; i < 3; ++i)
        encoder.encode(zuntest::makeFrame(format, i).data());
    for (uint32_t i = 0; i < 3; ++i) {
        const uint8_t *pixels = decoder.waitLock();
        ASSERT_NE(pixels, nullptr);
        EXPECT_EQ(decoder.frameNumber(), i);
        EXPECT_TRUE(zuntest::frameMatches(format, false, i, pixels));
        decoder.unlock();
    }
    // Far more than the buffer holds: the reader gets the last few, still in order.
    for (uint32_t i = 3; i < 23; ++i)
        encoder.encode(zuntest::makeFrame(format, i).data());
    uint32_t previous = 2, count = 0;
    while (decoder.waitLock(100ms)) {
        EXPECT_GT(decoder.frameNumber(), previous);
        previous = decoder.frameNumber();
        ++count;
        decoder.unlock();
    }
    EXPECT_EQ(previous, 22u) << "the newest frame is kept";
    EXPECT_GE(count, 3u);
    EXPECT_LT(count, 20u);
    EXPECT_EQ(decoder.stats().framesDropped, 20u - count);
}

TEST(Memory, AdaptiveHandsALaggingReaderTheNewestFrame)
{
    const StreamFormat format{40, 30, 1, 1};
    Decoder decoder(kAdaptive, true);
    Encoder encoder(format, kAdaptive);
    std::this_thread::sleep_for(20ms);
    for (uint32_t i = 0; i < 5; ++i)
        encoder.encode(zuntest::makeFrame(format, i).data());
    const uint8_t *pixels = decoder.waitLock();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(decoder.frameNumber(), 4u);
    EXPECT_TRUE(zuntest::frameMatches(format, false, 4, pixels));
    decoder.unlock();
    EXPECT_EQ(decoder.waitLock(50ms), nullptr);
    EXPECT_EQ(decoder.stats().framesDropped, 4u);
}

TEST(Memory, JpegFramesKeepOrderOrSkipToTheNewest)
{
    const StreamFormat format{64, 48, 1, 1};
    for (bool adaptive : {false, true}) {
        const uint32_t port = kJpegOrder + (adaptive ? 100 : 0);
        Decoder decoder(port, adaptive);
        Encoder encoder(format, port, 1, 15);
        std::this_thread::sleep_for(20ms);
        for (uint32_t i = 0; i < 3; ++i)
            encoder.encode(zuntest::makeFrame(format, i).data());
        std::this_thread::sleep_for(500ms); // all decoded, none read
        std::vector<uint32_t> got;
        while (const uint8_t *pixels = decoder.waitLock(100ms)) {
            got.push_back(decoder.frameNumber());
            EXPECT_TRUE(zuntest::frameMatches(format, true, got.back(), pixels));
            decoder.unlock();
        }
        if (adaptive)
            EXPECT_EQ(got, std::vector<uint32_t>{2});
        else
            EXPECT_EQ(got, (std::vector<uint32_t>{0, 1, 2}));
    }
}

TEST(Memory, LockedFrameStaysUnchangedWhileTheEncoderGoesOn)
{
    const StreamFormat format{64, 48, 1, 1};
    Decoder decoder(kPinned);
    Encoder encoder(format, kPinned);
    std::this_thread::sleep_for(20ms);
    encoder.encode(zuntest::makeFrame(format, 0).data());
    const uint8_t *locked = decoder.waitLock();
    ASSERT_NE(locked, nullptr);
    for (uint32_t i = 1; i < 40; ++i)
        encoder.encode(zuntest::makeFrame(format, i).data());
    EXPECT_EQ(zunLockReadBuffer(decoder.handle(), 0), locked) << "a second lock gives the same frame";
    EXPECT_TRUE(zuntest::frameMatches(format, false, 0, locked));
    EXPECT_EQ(decoder.frameNumber(), 0u);
    ZunStreamStats sent{};
    zunGetStreamStats(encoder.handle(), &sent);
    EXPECT_EQ(sent.framesSent, 40u) << "a pinned slot never stops the encoder";
    decoder.unlock();
    ASSERT_NE(decoder.waitLock(), nullptr);
    EXPECT_GT(decoder.frameNumber(), 30u);
    decoder.unlock();
}

TEST(Memory, DecoderStartedBeforeItsEncoderGetsItsFrames)
{
    const StreamFormat format{50, 20, 1, 1};
    Decoder decoder(kEarlyDecoder);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(zunLockReadBuffer(decoder.handle(), 0), nullptr);
    Encoder encoder(format, kEarlyDecoder);
    for (uint32_t i = 0; i < 3; ++i)
        encoder.encode(zuntest::makeFrame(format, i).data());
    const uint8_t *pixels = decoder.waitLock();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(decoder.frameNumber(), 0u) << "a waiting decoder gets the stream from its start";
    EXPECT_TRUE(zuntest::frameMatches(format, false, 0, pixels));
    decoder.unlock();
}

// Sends frames until one arrives in `format` or the time is up; true if it matched.
bool sendUntilReceived(Encoder &encoder, Decoder &decoder, const StreamFormat &format)
{
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end) {
        encoder.encodePattern(format);
        while (const uint8_t *pixels = decoder.waitLock(10ms)) {
            const bool match = zuntest::sameFormat(decoder.format(), format)
                && zuntest::frameMatches(format, false, decoder.frameNumber(), pixels);
            decoder.unlock();
            if (match)
                return true;
        }
    }
    return false;
}

TEST(Memory, DecoderFollowsAnEncoderRemadeWithAnotherSize)
{
    Decoder decoder(kRemade);
    const StreamFormat first{64, 48, 1, 1}, second{101, 77, 2, 1};
    {
        Encoder encoder(first, kRemade);
        EXPECT_TRUE(sendUntilReceived(encoder, decoder, first));
    }
    Encoder encoder(second, kRemade);
    ASSERT_TRUE(encoder.addressed());
    EXPECT_TRUE(sendUntilReceived(encoder, decoder, second));
}

TEST(Memory, DecoderFollowsAFormatGrownOnTheSameEncoder)
{
    Decoder decoder(kGrown);
    const StreamFormat small{32, 32, 3, 1}, large{640, 480, 2, 1};
    Encoder encoder(small, kGrown);
    EXPECT_TRUE(sendUntilReceived(encoder, decoder, small));
    ASSERT_EQ(zunSetDestFormat(encoder.handle(), &large, 0, 0), 1);
    EXPECT_TRUE(sendUntilReceived(encoder, decoder, large));
}

TEST(Memory, SecondEncoderOnAPortIsRefusedUntilTheFirstIsGone)
{
    const StreamFormat format{64, 48, 1, 1};
    Decoder decoder(kSecond);
    auto first = std::make_unique<Encoder>(format, kSecond);
    ASSERT_TRUE(first->addressed());
    Encoder second(format, kSecond);
    EXPECT_FALSE(second.addressed());
    const auto picture = zuntest::makeFrame(format, 0);
    EXPECT_FALSE(second.encode(picture.data()));
    EXPECT_TRUE(sendUntilReceived(*first, decoder, format)) << "the first one is undisturbed";
    first.reset();
    EXPECT_EQ(zunSetDestAddress(second.handle(), "127.0.0.1", kSecond), 1);
    EXPECT_TRUE(sendUntilReceived(second, decoder, format));
}

TEST(Memory, EveryDecoderOnAPortGetsEveryFrame)
{
    const StreamFormat format{64, 48, 3, 1};
    Decoder a(kSeveral), b(kSeveral, true);
    Encoder encoder(format, kSeveral);
    std::this_thread::sleep_for(20ms);
    for (uint32_t i = 0; i < 10; ++i) {
        encoder.encode(zuntest::makeFrame(format, i).data());
        for (Decoder *d : {&a, &b}) {
            const uint8_t *pixels = d->waitLock();
            ASSERT_NE(pixels, nullptr);
            EXPECT_EQ(d->frameNumber(), i);
            EXPECT_TRUE(zuntest::frameMatches(format, false, i, pixels));
            d->unlock();
        }
    }
}

TEST(Memory, FramesLeftByADeletedEncoderCanStillBeRead)
{
    const StreamFormat format{64, 48, 1, 1};
    Decoder decoder(kLeftBehind);
    {
        Encoder encoder(format, kLeftBehind);
        std::this_thread::sleep_for(50ms); // the decoder has found the encoder
        for (uint32_t i = 0; i < 3; ++i)
            encoder.encodePattern(format);
    }
    std::this_thread::sleep_for(50ms); // the decoder has seen the encoder go
    for (uint32_t i = 0; i < 3; ++i) {
        const uint8_t *pixels = decoder.waitLock(500ms);
        ASSERT_NE(pixels, nullptr) << i;
        EXPECT_EQ(decoder.frameNumber(), i);
        EXPECT_TRUE(zuntest::frameMatches(format, false, i, pixels));
        decoder.unlock();
    }
}

TEST(Memory, DeletingADecoderWithAFrameLockedReleasesIt)
{
    const StreamFormat format{64, 48, 1, 1};
    Encoder encoder(format, kDeleteLocked);
    for (int round = 0; round < 8; ++round) {
        Decoder decoder(kDeleteLocked);
        std::this_thread::sleep_for(10ms);
        encoder.encode(zuntest::makeFrame(format, 0).data());
        ASSERT_NE(decoder.waitLock(), nullptr);
    } // each leaves a pin behind unless delete releases it
    expectTwentyMoreSent(encoder, format, 8);
}

// A locked raw frame keeps its mapping, and so its pixels, after its decoder has moved to
// another port; the unlock after the move leaves no slot held.
TEST(Memory, LockedFrameOutlivesItsSourceAndIsReleasedByUnlock)
{
    const StreamFormat format{64, 48, 1, 1};
    Encoder encoder(format, kMovedAway);
    Decoder decoder(kMovedAway);
    for (uint32_t round = 0; round < 8; ++round) {
        ASSERT_EQ(zunSetSourceAddress(decoder.handle(), kMovedAway), 1);
        std::this_thread::sleep_for(10ms);
        encoder.encode(zuntest::makeFrame(format, round).data());
        const uint8_t *locked = decoder.waitLock();
        ASSERT_NE(locked, nullptr) << round;
        const uint32_t number = decoder.frameNumber(); // this round's or, joining late, the last one's
        ASSERT_EQ(zunSetSourceAddress(decoder.handle(), kMovedAway + 1), 1);
        EXPECT_TRUE(zuntest::frameMatches(format, false, number, locked)) << round;
        EXPECT_EQ(zunLockReadBuffer(decoder.handle(), 0), locked) << "the lock held across the move";
        decoder.unlock();
    }
    expectTwentyMoreSent(encoder, format, 8);
}

} // namespace
