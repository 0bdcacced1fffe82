// The C entry points' refusals: bad handles, null pointers, bad formats and protocols.
// Runs against the shared library, so a missing export fails the link.

#include "streamtest.h"
#include "zunVidStreamLib2.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
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

TEST(Api, LibraryIsTheVersionOfItsHeader)
{
    EXPECT_EQ(zunGetVersion(), uint32_t(ZUN_VERSION_NUMBER));
    EXPECT_EQ(zunGetVersion() / 10000, uint32_t(ZUN_VERSION_MAJOR));
    EXPECT_EQ(zunGetVersion() / 100 % 100, uint32_t(ZUN_VERSION_MINOR));
    EXPECT_EQ(zunGetVersion() % 100, uint32_t(ZUN_VERSION_PATCH));
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
    EXPECT_EQ(zunSetRedundancy(encoderLike, 10), 0);
    EXPECT_EQ(zunDeleteEncoder(encoderLike), 0);
    ZunRepairStats repairs{};
    EXPECT_EQ(zunGetRepairStats(decoderLike, &repairs), 0);
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
    ZunFrameInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(zunGetRecvFrameInfo(decoderLike, &info), 0);
    EXPECT_EQ(zunGetRecvFrameInfo(decoderLike, nullptr), 0);
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
    EXPECT_EQ(zunSetRedundancy(e, 5), 0) << "memory loses no pieces";
    zuntest::Encoder udp(format, kPort, 0, 15, ZUN_PROTOCOL_UDP);
    EXPECT_EQ(zunSetRedundancy(udp.handle(), 0), 1);
    EXPECT_EQ(zunSetRedundancy(udp.handle(), 100), 1);
    EXPECT_EQ(zunSetRedundancy(udp.handle(), 101), 0);

    zuntest::Decoder decoder(kPort + 1);
    EXPECT_EQ(zunSetSourceAddress(decoder.handle(), 0), 0);
    EXPECT_EQ(zunSetSourceAddress(decoder.handle(), 65536), 0);
    EXPECT_EQ(zunLockReadBuffer(decoder.handle(), 0), nullptr) << "nothing sent there";
    EXPECT_EQ(zunUnlockReadBuffer(decoder.handle()), 0) << "nothing locked";
    EXPECT_EQ(zunGetCompressedFrameSize(decoder.handle()), 0u);
    EXPECT_EQ(zunGetRepairStats(decoder.handle(), nullptr), 0);
    ZunRepairStats repairs{7, 7};
    EXPECT_EQ(zunGetRepairStats(decoder.handle(), &repairs), 1);
    EXPECT_EQ(repairs.framesRepaired + repairs.piecesRebuilt, 0u);
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

// Aborts the test binary when a step hangs, so a deadlock fails at once and says where.
class Watchdog {
public:
    explicit Watchdog(const char *what, std::chrono::seconds limit = std::chrono::seconds(20))
        : mThread([this, what, limit](std::stop_token stop) {
              std::unique_lock lock(mMutex);
              if (!mWake.wait_for(lock, stop, limit, [] { return false; }) && !stop.stop_requested()) {
                  std::fprintf(stderr, "hung: %s\n", what);
                  std::abort();
              }
          })
    {
    }

private:
    std::mutex mMutex;
    std::condition_variable_any mWake;
    std::jthread mThread;
};

// Two threads reconfiguring one handle while a third uses it: all return, none deadlocks.
class Reconfigure : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Reconfigure, DecoderSourceChangedFromTwoThreadsAtOnce)
{
    const StreamFormat format{32, 16, 1, 1};
    const uint32_t decoder = zunGetDecoder(GetParam(), &format);
    Watchdog watchdog("zunSetSourceAddress from two threads");
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
    std::atomic<int> calls{0};
    auto loop = [&](std::function<void()> call) {
        return std::jthread([&, call] {
            while (std::chrono::steady_clock::now() < end) {
                call();
                ++calls;
            }
        });
    };
    {
        std::jthread threads[] = {
            loop([&] { EXPECT_EQ(zunSetSourceAddress(decoder, kPort + 10), 1); }),
            loop([&] { EXPECT_EQ(zunSetSourceAddress(decoder, kPort + 11), 1); }),
            loop([&] { zunSetAdaptiveBuffer(decoder, calls % 2); }),
            loop([&] {
                if (zunLockReadBuffer(decoder, 0))
                    zunUnlockReadBuffer(decoder);
            }),
        };
    }
    EXPECT_GT(calls.load(), 4);
    EXPECT_EQ(zunDeleteDecoder(decoder), 1);
}

TEST_P(Reconfigure, EncoderDestinationAndFormatChangedWhileItEncodes)
{
    const StreamFormat small{32, 16, 1, 1}, large{64, 48, 1, 1};
    std::vector<uint8_t> pixels(zunGetByteSize(&large), 3);
    const uint32_t encoder = zunGetEncoder(GetParam(), &small);
    Watchdog watchdog("zunSetDestAddress from two threads");
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
    auto loop = [&](std::function<void()> call) {
        return std::jthread([&, call] {
            while (std::chrono::steady_clock::now() < end)
                call();
        });
    };
    {
        std::jthread threads[] = {
            loop([&] { zunSetDestAddress(encoder, "127.0.0.1", kPort + 12); }),
            loop([&] { zunSetDestAddress(encoder, "127.0.0.1", kPort + 13); }),
            loop([&] {
                zunSetDestFormat(encoder, &small, 1, 50);
                zunSetDestFormat(encoder, &large, 0, 0);
            }),
            loop([&] { zunEncode(encoder, pixels.data()); }),
        };
    }
    EXPECT_EQ(zunDeleteEncoder(encoder), 1);
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, Reconfigure,
                         ::testing::Values(uint32_t(ZUN_PROTOCOL_UDP), uint32_t(ZUN_PROTOCOL_TCP),
                                           uint32_t(ZUN_PROTOCOL_MEMORY)));

// When a delete returns, the port is free again, even while another thread is inside a
// call on the deleted handle.
TEST(Api, PortIsFreeWhenDeleteReturnsDespiteACallInProgress)
{
    const StreamFormat format{320, 240, 1, 1};
    std::vector<uint8_t> pixels(zunGetByteSize(&format), 9);
    std::atomic<uint32_t> encoder{0}, decoder{0};
    std::atomic<bool> done{false};
    std::jthread callers[] = {
        std::jthread([&] {
            while (!done)
                zunEncode(encoder.load(), pixels.data());
        }),
        std::jthread([&] {
            while (!done) {
                if (zunLockReadBuffer(decoder.load(), 0))
                    zunUnlockReadBuffer(decoder.load());
                zunSetAdaptiveBuffer(decoder.load(), 0);
            }
        }),
    };
    int encodersRefused = 0, decodersRefused = 0;
    for (int i = 0; i < 40; ++i) {
        const uint32_t e = zunGetEncoder(ZUN_PROTOCOL_MEMORY, &format);
        encodersRefused += zunSetDestAddress(e, "", kPort + 14) != 1;
        encoder = e;
        const uint32_t d = zunGetDecoder(ZUN_PROTOCOL_TCP, &format);
        decodersRefused += zunSetSourceAddress(d, kPort + 15) != 1;
        decoder = d;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        EXPECT_EQ(zunDeleteEncoder(e), 1);
        EXPECT_EQ(zunDeleteDecoder(d), 1);
    }
    done = true;
    EXPECT_EQ(encodersRefused, 0) << "of 40 memory encoders";
    EXPECT_EQ(decodersRefused, 0) << "of 40 TCP decoders";
}

} // namespace
