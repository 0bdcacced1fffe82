// UDP and TCP end to end through the C API of the shared library, in one process and
// between two, with peers that come, go and die.
#include "../stream/childprocess.h"
#include "../stream/framepattern.h"
#include "zunVidStreamLib2.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Encoder {
    uint32_t handle = 0;
    uint32_t frame = 0; // the encoder numbers the frames it takes from 0
    Encoder(uint32_t protocol, const StreamFormat &f, uint32_t compressed, const char *address, uint32_t port)
    {
        handle = zunGetEncoder(protocol, &f);
        EXPECT_NE(handle, 0u);
        EXPECT_EQ(zunSetDestFormat(handle, &f, compressed, 20), 1);
        EXPECT_EQ(zunSetDestAddress(handle, address, port), 1);
    }
    ~Encoder() { release(); }
    void release()
    {
        if (handle)
            zunDeleteEncoder(handle);
        handle = 0;
    }
    void encode(const StreamFormat &f)
    {
        const auto picture = zuntest::makeFrame(f, frame);
        if (zunEncode(handle, picture.data()))
            ++frame;
    }
};

struct Decoder {
    uint32_t handle = 0;
    Decoder(uint32_t protocol, uint32_t port)
    {
        const StreamFormat hint{64, 48, 1, 1};
        handle = zunGetDecoder(protocol, &hint);
        EXPECT_NE(handle, 0u);
        EXPECT_EQ(zunSetSourceAddress(handle, port), 1);
    }
    ~Decoder() { release(); }
    void release()
    {
        if (handle)
            zunDeleteDecoder(handle);
        handle = 0;
    }
    // Checks the frames that are ready, a few at most so a slow check cannot be outrun;
    // counts the good and the bad.
    void drain(bool compressed, const StreamFormat &expected, int &good, int &bad) const
    {
        for (int i = 0; i < 4; ++i) {
            const auto *pixels = static_cast<const uint8_t *>(zunLockReadBuffer(handle, 0));
            if (!pixels)
                return;
            const StreamFormat got{uint16_t(zunGetRecvWidth(handle)), uint16_t(zunGetRecvHeight(handle)),
                                   uint16_t(zunGetRecvDepth(handle)), 1};
            const bool sameFormat = got.width == expected.width && got.height == expected.height
                && got.depth == expected.depth;
            if (sameFormat && zuntest::frameMatches(got, compressed, zunGetRecvFrameNumber(handle), pixels))
                ++good;
            else
                ++bad;
            zunUnlockReadBuffer(handle);
        }
    }
};

// Encodes every interval until the decoder has taken enough good frames or time is up.
int stream(Encoder &encoder, const Decoder &decoder, const StreamFormat &f, bool compressed,
           int wanted, int &bad, std::chrono::milliseconds limit = 5000ms)
{
    int good = 0;
    const auto end = Clock::now() + limit;
    while (good < wanted && Clock::now() < end) {
        encoder.encode(f);
        std::this_thread::sleep_for(5ms);
        decoder.drain(compressed, f, good, bad);
    }
    return good;
}

std::string peer()
{
    return ZUNSTREAMPEER;
}

template <typename F>
Clock::duration timed(F &&f)
{
    const auto start = Clock::now();
    f();
    return Clock::now() - start;
}

class NetworkApi : public ::testing::TestWithParam<uint32_t> {
protected:
    uint32_t protocol() const { return GetParam(); }
    // Each test and protocol its own ports.
    uint32_t port(uint32_t n) const { return 21100 + 20 * (protocol() - 1) + n; }
};

std::string protocolName(const ::testing::TestParamInfo<uint32_t> &info)
{
    return info.param == ZUN_PROTOCOL_UDP ? "Udp" : "Tcp";
}

} // namespace

TEST_P(NetworkApi, EveryDepthRawAndJpegInOneProcess)
{
    for (uint16_t depth = 0; depth <= 2; ++depth) {
        for (uint32_t compressed : {0u, 1u}) {
            const StreamFormat f{320, 240, depth, 1};
            Decoder decoder(protocol(), port(0));
            Encoder encoder(protocol(), f, compressed, "127.0.0.1", port(0));
            int bad = 0;
            EXPECT_GE(stream(encoder, decoder, f, compressed, 5, bad), 5) << "depth " << depth << " jpeg " << compressed;
            EXPECT_EQ(bad, 0);
            EXPECT_GT(zunGetCompressedFrameSize(decoder.handle), 0u);
            if (!compressed)
                EXPECT_EQ(zunGetCompressedFrameSize(decoder.handle), zunGetByteSize(&f));
        }
    }
}

TEST_P(NetworkApi, FullHdRawArrivesWhole)
{
    const StreamFormat f{1920, 1080, 1, 1};
    Decoder decoder(protocol(), port(1));
    Encoder encoder(protocol(), f, 0, "127.0.0.1", port(1));
    int bad = 0;
    EXPECT_GE(stream(encoder, decoder, f, false, 10, bad), 10);
    EXPECT_EQ(bad, 0);
    ZunStreamStats stats{};
    ASSERT_EQ(zunGetStreamStats(decoder.handle, &stats), 1);
    EXPECT_EQ(stats.packetsRejected, 0u);
    // What arrived holds the frames delivered and their headers besides.
    ZunReceiveStats received{};
    ASSERT_EQ(zunGetReceiveStats(decoder.handle, &received), 1);
    EXPECT_GT(received.bytesReceived, stats.bytesTransferred);
    EXPECT_EQ(zunGetReceiveStats(encoder.handle, &received), 0);
    EXPECT_EQ(zunGetReceiveStats(decoder.handle, nullptr), 0);
}

TEST_P(NetworkApi, TwoProcessesBothWays)
{
    const std::string p = std::to_string(protocol());
    {
        zuntest::ChildProcess receiver({peer(), "recv", "--protocol", p, "--port", std::to_string(port(2)),
                                        "--compressed", "1", "--frames", "10", "--timeout-ms", "8000"});
        ASSERT_EQ(receiver.readLine(5000ms), "ready");
        const StreamFormat f{160, 120, 2, 1};
        Encoder encoder(protocol(), f, 1, "127.0.0.1", port(2));
        int code = -1;
        const auto end = Clock::now() + 9s;
        while ((code = receiver.poll()) < 0 && Clock::now() < end) {
            encoder.encode(f);
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(code, 0) << receiver.readLine(100ms);
    }
    {
        zuntest::ChildProcess sender({peer(), "send", "--protocol", p, "--port", std::to_string(port(3)),
                                      "--width", "640", "--height", "480", "--depth", "0", "--interval-ms", "10"});
        ASSERT_EQ(sender.readLine(5000ms), "ready");
        Decoder decoder(protocol(), port(3));
        int good = 0, bad = 0;
        const auto end = Clock::now() + 5s;
        while (good < 10 && Clock::now() < end) {
            decoder.drain(false, {640, 480, 0, 1}, good, bad);
            std::this_thread::sleep_for(2ms);
        }
        EXPECT_GE(good, 10);
        EXPECT_EQ(bad, 0);
    }
}

TEST_P(NetworkApi, PeersKilledMidStreamAreOutlived)
{
    const std::string p = std::to_string(protocol());
    const StreamFormat f{1920, 1080, 2, 1};
    // A sender killed in the middle of its frames: the decoder waits for the next sender.
    {
        Decoder decoder(protocol(), port(4));
        for (int round = 0; round < 2; ++round) {
            zuntest::ChildProcess sender({peer(), "send", "--protocol", p, "--port", std::to_string(port(4)),
                                          "--width", "1920", "--height", "1080", "--depth", "2", "--interval-ms", "3"});
            ASSERT_EQ(sender.readLine(5000ms), "ready");
            int good = 0, bad = 0;
            const auto end = Clock::now() + 5s;
            while (good < 3 && Clock::now() < end) {
                decoder.drain(false, f, good, bad);
                std::this_thread::sleep_for(2ms);
            }
            EXPECT_GE(good, 3) << "round " << round;
            EXPECT_EQ(bad, 0);
            sender.kill();
        }
    }
    // A receiver killed mid-stream: the encoder goes on, and a new receiver gets frames.
    Encoder encoder(protocol(), f, 0, "127.0.0.1", port(5));
    for (int round = 0; round < 2; ++round) {
        zuntest::ChildProcess receiver({peer(), "recv", "--protocol", p, "--port", std::to_string(port(5)),
                                        "--frames", round == 0 ? "1000000" : "3", "--timeout-ms", "8000"});
        ASSERT_EQ(receiver.readLine(5000ms), "ready");
        const auto end = Clock::now() + (round == 0 ? 1s : 9s);
        while (receiver.poll() < 0 && Clock::now() < end) {
            encoder.encode(f);
            std::this_thread::sleep_for(10ms);
        }
        if (round == 0)
            receiver.kill();
        else
            EXPECT_EQ(receiver.poll(), 0);
    }
}

TEST_P(NetworkApi, BadDestinationsDropFramesAndDeleteIsPrompt)
{
    const StreamFormat f{1920, 1080, 1, 1};
    const auto picture = zuntest::makeFrame(f, 0);
    for (const char *address : {"no-such-host.invalid", "127.0.0.1", "", "1.2.3.4.5"}) {
        const uint32_t encoder = zunGetEncoder(protocol(), &f);
        ASSERT_NE(encoder, 0u);
        zunSetDestFormat(encoder, &f, 0, 0);
        zunSetDestAddress(encoder, address, port(6)); // nobody listens on this port
        for (int i = 0; i < 10; ++i)
            zunEncode(encoder, picture.data());
        std::this_thread::sleep_for(50ms);
        EXPECT_LT(timed([&] { zunDeleteEncoder(encoder); }), 150ms) << address;
    }
    // A port another program holds: the decoder is refused and nothing hangs.
    if (protocol() == ZUN_PROTOCOL_TCP) {
        const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port(7)));
        ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ::listen(blocker, 1);
        const StreamFormat hint{64, 48, 1, 1};
        const uint32_t decoder = zunGetDecoder(protocol(), &hint);
        EXPECT_EQ(zunSetSourceAddress(decoder, port(7)), 0);
        EXPECT_EQ(zunLockReadBuffer(decoder, 0), nullptr);
        EXPECT_LT(timed([&] { zunDeleteDecoder(decoder); }), 150ms);
        ::close(blocker);
    }
}

TEST_P(NetworkApi, DeleteIsPromptWhileThePeerStalls)
{
    // A TCP peer that accepts and never reads, or a half message that never finishes.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port(8)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    const StreamFormat f{1920, 1080, 2, 1};
    {
        Encoder encoder(ZUN_PROTOCOL_TCP, f, 0, "127.0.0.1", port(8));
        for (int i = 0; i < 30; ++i) {
            encoder.encode(f);
            std::this_thread::sleep_for(5ms);
        }
        // What the peer never took is counted: given up in the queue or in the transport.
        ZunStreamStats stats{};
        ASSERT_EQ(zunGetStreamStats(encoder.handle, &stats), 1);
        EXPECT_GT(stats.framesDropped, 0u);
        EXPECT_LT(timed([&] { encoder.release(); }), 150ms);
    }
    ::close(listener);

    Decoder decoder(protocol(), port(9));
    const int stalled = ::socket(AF_INET, protocol() == ZUN_PROTOCOL_TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
    addr.sin_port = htons(uint16_t(port(9)));
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const std::vector<uint8_t> half = {'Z', 'V', 'S', 'L', 1, 0, 0, 0, 1, 2, 3};
    ::send(stalled, half.data(), half.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(50ms);
    EXPECT_LT(timed([&] { decoder.release(); }), 150ms);
    ::close(stalled);
}

TEST_P(NetworkApi, PacingRateIsForUdpAndASlowFrameDoesNotHoldUpDelete)
{
    const StreamFormat f{1920, 1080, 1, 1};
    Decoder decoder(protocol(), port(10));
    Encoder encoder(protocol(), f, 0, "127.0.0.1", port(10));
    EXPECT_EQ(zunSetPacingRate(encoder.handle, 1'000'000), protocol() == ZUN_PROTOCOL_UDP ? 1 : 0);
    EXPECT_EQ(zunSetPacingRate(decoder.handle, 0), 0);
    EXPECT_EQ(zunSetPacingRate(0, 0), 0);
    const uint32_t memory = zunGetEncoder(ZUN_PROTOCOL_MEMORY, &f);
    EXPECT_EQ(zunSetPacingRate(memory, 1'000'000), 0);
    zunDeleteEncoder(memory);
    // Six seconds of sending at that rate: stopping does not wait for the rest.
    encoder.encode(f);
    std::this_thread::sleep_for(50ms);
    EXPECT_LT(timed([&] { encoder.release(); }), 150ms);
}

INSTANTIATE_TEST_SUITE_P(Protocols, NetworkApi, ::testing::Values(uint32_t(ZUN_PROTOCOL_UDP), uint32_t(ZUN_PROTOCOL_TCP)),
                         protocolName);

TEST(MulticastApi, TwoDecodersOnOnePortAndTheInterfaceSyntax)
{
    if (!std::getenv("ZUN_TEST_NETNS"))
        GTEST_SKIP() << "multicast runs only in a private network namespace (tests/transport/netns.sh)";
    const StreamFormat f{640, 480, 1, 1};
    Decoder first(ZUN_PROTOCOL_UDP, 21190), second(ZUN_PROTOCOL_UDP, 21190);
    for (const char *address : {"239.255.105.88", "239.255.105.88@127.0.0.1"}) {
        for (uint32_t compressed : {0u, 1u}) {
            Encoder encoder(ZUN_PROTOCOL_UDP, f, compressed, address, 21190);
            int good[2] = {0, 0}, bad = 0;
            const auto end = Clock::now() + 5s;
            while ((good[0] < 5 || good[1] < 5) && Clock::now() < end) {
                encoder.encode(f);
                std::this_thread::sleep_for(10ms);
                first.drain(compressed, f, good[0], bad);
                second.drain(compressed, f, good[1], bad);
            }
            EXPECT_GE(good[0], 5) << address;
            EXPECT_GE(good[1], 5) << address;
            EXPECT_EQ(bad, 0);
        }
    }
}
