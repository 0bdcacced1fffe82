// Peers killed with SIGKILL at random moments, many times over, on every transport. The
// survivor never hangs, never delivers a torn or mixed frame, and takes up a new peer on the
// same port; a killed encoder's segment is reclaimed by the next one and gone at the end.
// The moments come from a seeded generator (ZUN_ROBUST_SEED picks another seed).

#include "childprocess.h"
#include "framepattern.h"
#include "robusttest.h"
#include "streamtest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zuntest::ChildProcess;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 12;

struct Transport {
    uint32_t protocol;
    uint32_t port; // +0 senders killed, +1 receivers killed
};

class DeadPeers : public ::testing::TestWithParam<Transport> {
protected:
    uint32_t protocol() const { return GetParam().protocol; }
    std::string p() const { return std::to_string(protocol()); }
    uint32_t port(uint32_t offset) const { return GetParam().port + offset; }
    void SetUp() override
    {
        zuntest::removeSegment(port(0));
        zuntest::removeSegment(port(1));
    }
    std::mt19937 mRandom{zuntest::robustSeed()};
    int randomMs(int low, int high) { return std::uniform_int_distribution<int>(low, high)(mRandom); }
};

// One size per round, never the same twice running, so a new sender's frames are told apart.
StreamFormat roundFormat(int round)
{
    static const StreamFormat formats[] = {{640, 480, 1, 1}, {320, 240, 2, 1}, {322, 200, 0, 1}};
    return formats[round % 3];
}

TEST_P(DeadPeers, KilledSendersNeitherHangNorTearTheDecoderAndAreReplaced)
{
    zuntest::Decoder decoder(port(0), false, protocol());
    ASSERT_NE(decoder.handle(), 0u);
    zuntest::FrameChecker checker(decoder);
    int kills = 0;
    for (int round = 0; round < kRounds; ++round) {
        const StreamFormat f = roundFormat(round);
        const bool compressed = randomMs(0, 2) == 0;
        checker.setCompressed(compressed);
        ChildProcess sender(zuntest::peer({"send", "--protocol", p(), "--port", std::to_string(port(0)),
                                           "--width", std::to_string(f.width), "--height", std::to_string(f.height),
                                           "--depth", std::to_string(f.depth), "--compressed", compressed ? "1" : "0",
                                           "--interval-ms", "2"}));
        ASSERT_EQ(sender.readLine(5000ms), "ready") << "round " << round;
        // The new sender is taken up: a frame of its size arrives.
        const int before = checker.goodOf(f);
        checker.drainUntil([&] { return checker.goodOf(f) > before; }, 8s);
        ASSERT_GT(checker.goodOf(f), before) << "round " << round << ": the new sender was not taken up";
        checker.drainFor(std::chrono::milliseconds(randomMs(0, 250)));
        sender.kill();
        ++kills;
        checker.drainFor(50ms);
    }
    EXPECT_EQ(checker.bad(), 0);
    EXPECT_LT(checker.slowestLock(), 100ms);
    const auto before = Clock::now();
    decoder.reset();
    EXPECT_LT(Clock::now() - before, 1s);
    std::printf("[ figures  ] protocol %u: %d senders killed, %d frames checked whole, %d wrong\n",
                protocol(), kills, checker.good(), checker.bad());

    if (protocol() == ZUN_PROTOCOL_MEMORY) {
        // The last sender died holding the port: the next encoder reclaims its segment, and
        // once that one is deleted nothing is left.
        zuntest::Encoder next({64, 48, 1, 1}, port(0));
        EXPECT_TRUE(next.addressed());
        next.reset();
        EXPECT_FALSE(zuntest::segmentExists(port(0)));
    }
}

TEST_P(DeadPeers, KilledReceiversNeverHangTheEncoderAndANewOneGetsTheStream)
{
    const StreamFormat f{640, 480, 1, 1};
    zuntest::Encoder encoder(f, port(1), 0, 15, protocol());
    ASSERT_TRUE(encoder.addressed());
    const std::vector<std::vector<uint8_t>> pictures = zuntest::patternCycle(f);
    Clock::duration slowestEncode{0};
    uint32_t sent = 0; // the encoder numbers every frame it takes, from 0
    auto encodeFor = [&](ChildProcess &child, std::chrono::milliseconds time) {
        const auto end = Clock::now() + time;
        while (Clock::now() < end && child.poll() < 0) {
            const auto before = Clock::now();
            zunEncode(encoder.handle(), pictures[sent++ % 64].data());
            slowestEncode = std::max(slowestEncode, Clock::now() - before);
            std::this_thread::sleep_for(2ms);
        }
    };
    int kills = 0, finished = 0;
    for (int round = 0; round <= kRounds; ++round) {
        const bool last = round == kRounds;
        // Some receivers die holding a locked frame.
        const bool hold = !last && protocol() == ZUN_PROTOCOL_MEMORY && round % 3 == 1;
        const std::string frames = last ? "5" : std::to_string(randomMs(1, 30));
        ChildProcess receiver(zuntest::peer({hold ? "hold" : "recv", "--protocol", p(), "--port",
                                             std::to_string(port(1)), "--frames", frames,
                                             "--timeout-ms", "8000"}));
        ASSERT_EQ(receiver.readLine(5000ms), "ready") << "round " << round;
        encodeFor(receiver, last ? 9000ms : std::chrono::milliseconds(randomMs(0, 300)));
        const int code = receiver.poll();
        if (last) {
            EXPECT_EQ(code, 0) << "a receiver after " << kills << " killed ones got no whole stream";
        } else if (code >= 0) {
            EXPECT_EQ(code, 0) << "round " << round;
            ++finished;
        } else {
            receiver.kill();
            ++kills;
        }
    }
    EXPECT_LT(slowestEncode, 1s);
    std::printf("[ figures  ] protocol %u: %d receivers killed, %d finished whole\n", protocol(),
                kills, finished + 1);
    encoder.reset();
    EXPECT_FALSE(zuntest::segmentExists(port(1)));
}

INSTANTIATE_TEST_SUITE_P(Transports, DeadPeers,
                         ::testing::Values(Transport{ZUN_PROTOCOL_UDP, 22100},
                                           Transport{ZUN_PROTOCOL_TCP, 22110},
                                           Transport{ZUN_PROTOCOL_MEMORY, 22120}),
                         [](const auto &info) {
                             switch (info.param.protocol) {
                             case ZUN_PROTOCOL_UDP: return std::string("Udp");
                             case ZUN_PROTOCOL_TCP: return std::string("Tcp");
                             default: return std::string("Memory");
                             }
                         });

} // namespace
