// The C entry points' refusals: bad handles, null pointers, bad formats and protocols.
// Runs against the shared library, so a missing export fails the link.

#include "streamtest.h"
#include "zunVidStreamLib2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kPort = 20001;

TEST(Api, ByteSizePadsRowsForEveryDepth)
{
    const StreamFormat f565{5, 3, 0, 1}, f888{5, 3, 1, 1}, f32{5, 3, 2, 1}, fGrey{5, 3, 3, 1};
    EXPECT_EQ(zunGetByteSize(&f565), 12u * 3);
    EXPECT_EQ(zunGetByteSize(&f888), 16u * 3);
    EXPECT_EQ(zunGetByteSize(&f32), 20u * 3);
    EXPECT_EQ(zunGetByteSize(&fGrey), 8u * 3);
    const StreamFormat even{640, 480, 1, 1}, unknown{5, 3, 4, 1};
    EXPECT_EQ(zunGetByteSize(&even), 640u * 3 * 480);
    EXPECT_EQ(zunGetByteSize(&unknown), 0u);
    EXPECT_EQ(zunGetByteSize(nullptr), 0u);
    // Past 32 bits the size cannot be told, rather than wrapping to a small one.
    const StreamFormat largest{8192, 8192, 2, 1}, huge{65535, 65535, 2, 1}, justFits{65535, 16383, 2, 1};
    EXPECT_EQ(zunGetByteSize(&largest), 8192u * 4 * 8192);
    EXPECT_EQ(zunGetByteSize(&huge), 0u);
    EXPECT_EQ(zunGetByteSize(&justFits), 65535u * 4 * 16383);
}

TEST(Api, RefusesBadProtocolsAndFormats)
{
    const StreamFormat good{64, 48, 1, 1};
    for (uint32_t protocol : {0u, 4u, 5u, 0xffffffffu}) {
        EXPECT_EQ(zunGetEncoder(protocol, &good), 0u) << protocol;
        EXPECT_EQ(zunGetDecoder(protocol, &good), 0u) << protocol;
    }
    EXPECT_EQ(zunGetEncoder(ZUN_PROTOCOL_MEMORY, nullptr), 0u);
    EXPECT_EQ(zunGetDecoder(ZUN_PROTOCOL_MEMORY, nullptr), 0u);
    for (StreamFormat bad : {StreamFormat{0, 48, 1, 1}, StreamFormat{64, 0, 1, 1},
                             StreamFormat{8193, 48, 1, 1}, StreamFormat{64, 8193, 1, 1},
                             StreamFormat{64, 48, 4, 1}})
        EXPECT_EQ(zunGetEncoder(ZUN_PROTOCOL_MEMORY, &bad), 0u);
    const StreamFormat largest{8192, 8192, 3, 1};
    const uint32_t encoder = zunGetEncoder(ZUN_PROTOCOL_MEMORY, &largest);
    EXPECT_NE(encoder, 0u);
    const StreamFormat bad{64, 48, 7, 1};
    EXPECT_EQ(zunSetDestFormat(encoder, &bad, 0, 0), 0);
    EXPECT_EQ(zunSetDestFormat(encoder, &good, 1, 500), 1) << "levels beyond 100 are clamped";
    EXPECT_EQ(zunDeleteEncoder(encoder), 1);
}

// Every entry point that takes a handle, called with `handle`, must do nothing and fail.
void expectRefusedEverywhere(uint32_t encoderLike, uint32_t decoderLike)
{
    const StreamFormat format{64, 48, 1, 1};
    std::vector<uint8_t> pixels(zunGetByteSize(&format));
    EXPECT_EQ(zunSetDestFormat(encoderLike, &format, 0, 0), 0);
    EXPECT_EQ(zunSetDestAddress(encoderLike, "127.0.0.1", kPort), 0);
    EXPECT_EQ(zunEncode(encoderLike, pixels.data()), 0);
    EXPECT_EQ(zunDeleteEncoder(encoderLike), 0);
    EXPECT_EQ(zunSetSourceAddress(decoderLike, kPort), 0);
    EXPECT_EQ(zunSetAdaptiveBuffer(decoderLike, 1), 0);
    EXPECT_EQ(zunLockReadBuffer(decoderLike, 0), nullptr);
    EXPECT_EQ(zunUnlockReadBuffer(decoderLike), 0);
    EXPECT_EQ(zunGetRecvWidth(decoderLike), 0u);
    EXPECT_EQ(zunGetRecvHeight(decoderLike), 0u);
    EXPECT_EQ(zunGetRecvDepth(decoderLike), 0u);
    EXPECT_EQ(zunGetRecvOrientation(decoderLike), 0u);
    EXPECT_EQ(zunGetRecvFrameNumber(decoderLike), 0u);
    EXPECT_EQ(zunGetRecvSendTime(decoderLike), 0u);
    EXPECT_EQ(zunGetCompressedFrameSize(decoderLike), 0u);
    EXPECT_EQ(zunDeleteDecoder(decoderLike), 0);
}

TEST(Api, ZeroUnknownDeletedAndWrongKindHandlesAreRefused)
{
    ZunStreamStats stats{};
    expectRefusedEverywhere(0, 0);
    EXPECT_EQ(zunGetStreamStats(0, &stats), 0);
    expectRefusedEverywhere(0x7fff1234u, 0x7fff1234u);

    const StreamFormat format{64, 48, 1, 1};
    const uint32_t encoder = zunGetEncoder(ZUN_PROTOCOL_MEMORY, &format);
    const uint32_t decoder = zunGetDecoder(ZUN_PROTOCOL_MEMORY, &format);
    ASSERT_NE(encoder, 0u);
    ASSERT_NE(decoder, 0u);
    EXPECT_NE(encoder, decoder);
    // An encoder passed where a decoder belongs and the other way round.
    expectRefusedEverywhere(decoder, encoder);
    EXPECT_EQ(zunGetStreamStats(encoder, &stats), 1);
    EXPECT_EQ(zunGetStreamStats(decoder, &stats), 1);

    EXPECT_EQ(zunDeleteEncoder(encoder), 1);
    EXPECT_EQ(zunDeleteDecoder(decoder), 1);
    expectRefusedEverywhere(encoder, decoder);
    EXPECT_EQ(zunGetStreamStats(encoder, &stats), 0);
    EXPECT_EQ(zunGetStreamStats(decoder, &stats), 0);
}

TEST(Api, NullPointersAndBadPortsAreRefused)
{
    const StreamFormat format{64, 48, 1, 1};
    zuntest::Encoder encoder(format, kPort);
    const uint32_t e = encoder.handle();
    ASSERT_TRUE(encoder.addressed());
    EXPECT_EQ(zunSetDestFormat(e, nullptr, 0, 0), 0);
    EXPECT_EQ(zunSetDestAddress(e, nullptr, kPort), 0);
    EXPECT_EQ(zunSetDestAddress(e, "127.0.0.1", 0), 0);
    EXPECT_EQ(zunSetDestAddress(e, "127.0.0.1", 70000), 0);
    EXPECT_EQ(zunEncode(e, nullptr), 0);
    EXPECT_EQ(zunGetStreamStats(e, nullptr), 0);

    zuntest::Decoder decoder(kPort + 1);
    EXPECT_EQ(zunSetSourceAddress(decoder.handle(), 0), 0);
    EXPECT_EQ(zunSetSourceAddress(decoder.handle(), 65536), 0);
    EXPECT_EQ(zunLockReadBuffer(decoder.handle(), 0), nullptr) << "nothing sent there";
    EXPECT_EQ(zunUnlockReadBuffer(decoder.handle()), 0) << "nothing locked";
    EXPECT_EQ(zunGetCompressedFrameSize(decoder.handle()), 0u);
}

TEST(Api, EncodeWithoutDestinationFails)
{
    const StreamFormat format{64, 48, 1, 1};
    const uint32_t encoder = zunGetEncoder(ZUN_PROTOCOL_MEMORY, &format);
    std::vector<uint8_t> pixels(zunGetByteSize(&format));
    EXPECT_EQ(zunEncode(encoder, pixels.data()), 0);
    zunDeleteEncoder(encoder);
}

// Deleting handles while other threads are inside calls on them must be safe (run under
// the sanitizers this shows use-after-free and races).
TEST(Api, DeleteRacingCallsOnOtherThreads)
{
    const StreamFormat format{32, 16, 1, 1};
    std::vector<uint8_t> pixels(zunGetByteSize(&format), 7);
    std::atomic<uint32_t> encoder{0}, decoder{0};
    std::atomic<bool> done{false};
    std::jthread callers[2] = {
        std::jthread([&] {
            while (!done)
                zunEncode(encoder.load(), pixels.data());
        }),
        std::jthread([&] {
            while (!done) {
                const uint32_t d = decoder.load();
                if (zunLockReadBuffer(d, 0)) {
                    zunGetRecvWidth(d);
                    zunUnlockReadBuffer(d);
                }
                zunGetCompressedFrameSize(d);
            }
        }),
    };
    for (int i = 0; i < 100; ++i) {
        const uint32_t e = zunGetEncoder(ZUN_PROTOCOL_MEMORY, &format);
        zunSetDestAddress(e, "", kPort + 2);
        const uint32_t d = zunGetDecoder(ZUN_PROTOCOL_MEMORY, &format);
        zunSetSourceAddress(d, kPort + 2);
        encoder = e;
        decoder = d;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        EXPECT_EQ(zunDeleteEncoder(e), 1);
        EXPECT_EQ(zunDeleteDecoder(d), 1);
    }
    done = true;
}

} // namespace
