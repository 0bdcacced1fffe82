// JPEG frames decoded on the worker pool while the next arrives: they reach the reader in the
// order received whichever finishes first, one that does not decode holds up none after it,
// a payload the source keeps is done with before the source takes it back; and through a TCP
// decoder, a frame the reader holds stays intact while later ones decode, and a peer that dies
// mid-frame, or a decoder deleted, with decodes in flight leaves everything whole. Run under
// ThreadSanitizer too (label library). Ports 25010-25019.

#include "decodepipeline.h"
#include "decoder.h"
#include "format.h"
#include "framepattern.h"
#include "sourcemonitor.h"
#include "transporttestutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Large, so that a JPEG frame is still decoding when a raw one handed in after it is ready.
constexpr StreamFormat kLarge{1920, 1080, 1, 1};
constexpr StreamFormat kSmall{64, 32, 1, 1};

std::vector<uint8_t> jpegOf(const StreamFormat &format, uint32_t picture)
{
    zun::JpegCodec codec;
    const auto payload = codec.encode(format, zuntest::makeFrame(format, picture).data(), 85);
    return {payload.begin(), payload.end()};
}

std::unique_ptr<zun::DecodedFrame> rawFrame(uint32_t number)
{
    auto frame = std::make_unique<zun::DecodedFrame>();
    frame->meta = zuntest::meta(kSmall, number, false);
    const auto pixels = zuntest::makeFrame(kSmall, number);
    frame->pixels.assign(pixels.begin(), pixels.end());
    return frame;
}

struct Receiving {
    zun::ReadBuffer buffer;
    zun::SourceMonitor monitor{StreamFormat{}};
    zun::DecodePipeline pipeline{buffer, monitor};

    void decode(uint32_t number, const std::vector<uint8_t> &jpeg)
    {
        zun::Bytes payload(jpeg.begin(), jpeg.end());
        pipeline.decode(zuntest::meta(kLarge, number, true), payload, &payload);
    }
    std::vector<uint32_t> numbersRead()
    {
        pipeline.drain();
        std::vector<uint32_t> numbers;
        while (auto frame = buffer.pop())
            numbers.push_back(frame->meta.frameNumber);
        return numbers;
    }
};

TEST(DecodePipeline, FramesReachTheReaderInTheOrderHandedInWhicheverFinishesFirst)
{
    const auto jpeg = jpegOf(kLarge, 3);
    Receiving r;
    r.decode(0, jpeg);
    r.pipeline.pass(rawFrame(1));
    r.decode(2, jpeg);
    r.pipeline.pass(rawFrame(3));
    r.pipeline.drain();
    std::vector<uint32_t> numbers;
    while (auto frame = r.buffer.pop()) {
        numbers.push_back(frame->meta.frameNumber);
        const bool compressed = frame->meta.compressed;
        EXPECT_TRUE(zuntest::frameMatches(compressed ? kLarge : kSmall, compressed, compressed ? 3 : frame->meta.frameNumber,
                                          frame->pixels.data()))
            << "frame " << frame->meta.frameNumber;
    }
    EXPECT_EQ(numbers, (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(r.pipeline.undecodable(), 0u);
}

TEST(DecodePipeline, AFrameThatDoesNotDecodeIsCountedAndHoldsUpNoneAfterIt)
{
    const auto good = jpegOf(kLarge, 5);
    std::vector<uint8_t> badStrip = good;
    // The second strip's JPEG loses its start marker: its index still holds.
    std::vector<zun::JpegStrip> strips;
    ASSERT_TRUE(zun::readStripIndex(good, kLarge, strips) && strips.size() > 1);
    badStrip[strips[1].offset] = 0;
    std::vector<uint8_t> badIndex = good;
    badIndex[2] = 1; // reserved
    Receiving r;
    r.decode(0, good);
    r.decode(1, badStrip);
    r.decode(2, badIndex);
    r.pipeline.pass(rawFrame(3));
    r.decode(4, good);
    EXPECT_EQ(r.numbersRead(), (std::vector<uint32_t>{0, 3, 4}));
    EXPECT_EQ(r.pipeline.undecodable(), 2u);
}

TEST(DecodePipeline, APayloadTheSourceKeepsIsDecodedBeforeItIsHandedBack)
{
    std::vector<uint8_t> slot = jpegOf(kLarge, 7);
    Receiving r;
    r.pipeline.decode(zuntest::meta(kLarge, 0, true), slot, nullptr);
    std::fill(slot.begin(), slot.end(), uint8_t(0)); // the source reuses its slot at once
    r.pipeline.drain();
    const auto frame = r.buffer.pop();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(zuntest::frameMatches(kLarge, true, 7, frame->pixels.data()));
}

// Writes frame number's JPEG message to a decoder, or only its first bytes.
void sendFrame(const zuntest::RawTcp &peer, uint32_t number, const std::vector<uint8_t> &payload,
               size_t bytes = SIZE_MAX)
{
    auto message = zuntest::tcpMessage(zuntest::meta(kLarge, number, true), payload);
    message.resize(std::min(bytes, message.size()));
    peer.write(message);
}

// The frame numbers the decoder hands out within the time, locking each until the next.
std::vector<uint32_t> readFor(zun::Decoder &decoder, size_t frames, std::chrono::milliseconds limit = 20000ms)
{
    std::vector<uint32_t> numbers;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (numbers.size() < frames && std::chrono::steady_clock::now() < end) {
        if (const uint8_t *pixels = decoder.lock()) {
            numbers.push_back(decoder.info().meta.frameNumber);
            EXPECT_TRUE(zuntest::frameMatches(kLarge, true, numbers.back(), pixels)) << "frame " << numbers.back();
            decoder.unlock();
        } else {
            std::this_thread::sleep_for(1ms);
        }
    }
    return numbers;
}

TEST(TcpDecodeOverlap, AFrameTheReaderHoldsStaysIntactWhileTheNextOnesDecode)
{
    constexpr uint16_t kPort = 25010;
    auto decoder = zun::Decoder::make(ZUN_PROTOCOL_TCP, kLarge);
    ASSERT_TRUE(decoder && decoder->setSource(kPort));
    decoder->setAdaptive(true); // newest wins: buffers are recycled as fast as they can be
    zuntest::RawTcp peer(kPort);
    ASSERT_TRUE(peer.connected());
    sendFrame(peer, 0, jpegOf(kLarge, 0));
    const uint8_t *held = nullptr;
    for (auto end = std::chrono::steady_clock::now() + 20s; !held && std::chrono::steady_clock::now() < end;)
        if (!(held = decoder->lock()))
            std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(held);
    const std::vector<uint8_t> seen(held, held + zun::byteSize(kLarge));
    constexpr uint32_t kLater = 6;
    for (uint32_t n = 1; n <= kLater; ++n)
        sendFrame(peer, n, jpegOf(kLarge, n));
    // Every later frame is in and decoded once the newest is waiting behind the held one.
    for (auto end = std::chrono::steady_clock::now() + 20s;
         decoder->stats().framesDropped < kLater - 1 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(decoder->stats().framesDropped, kLater - 1);
    EXPECT_TRUE(std::equal(seen.begin(), seen.end(), decoder->lock())) << "the held frame changed";
    EXPECT_EQ(decoder->info().meta.frameNumber, 0u);
    decoder->unlock();
    EXPECT_EQ(readFor(*decoder, 1), (std::vector<uint32_t>{kLater}));
}

TEST(TcpDecodeOverlap, APeerDyingMidFrameOrADecoderDeletedWhileFramesDecodeLeavesThemWhole)
{
    constexpr uint16_t kPort = 25011;
    const auto jpeg = jpegOf(kLarge, 9);
    auto decoder = zun::Decoder::make(ZUN_PROTOCOL_TCP, kLarge);
    ASSERT_TRUE(decoder && decoder->setSource(kPort));
    {
        zuntest::RawTcp dying(kPort);
        ASSERT_TRUE(dying.connected());
        for (uint32_t n = 0; n < 3; ++n)
            sendFrame(dying, n, jpegOf(kLarge, n));
        sendFrame(dying, 3, jpeg, jpeg.size() / 2);
    }
    EXPECT_EQ(readFor(*decoder, 3), (std::vector<uint32_t>{0, 1, 2}));
    for (auto end = std::chrono::steady_clock::now() + 20s;
         decoder->stats().framesIncomplete == 0 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(decoder->stats().framesIncomplete, 1u);

    zuntest::RawTcp next(kPort);
    ASSERT_TRUE(next.connected());
    sendFrame(next, 9, jpeg);
    EXPECT_EQ(readFor(*decoder, 1), (std::vector<uint32_t>{9}));
    // Deleted with frames arriving and decoding: it waits for them, and nothing outlives it.
    for (uint32_t n = 10; n < 14; ++n)
        sendFrame(next, n, jpeg);
    std::this_thread::sleep_for(15ms);
    const auto start = std::chrono::steady_clock::now();
    decoder.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

} // namespace
