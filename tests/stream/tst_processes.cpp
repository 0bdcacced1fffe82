// "Local (Memory)" between processes, with the peer program as the other side: frames cross
// both ways whole, and either side may die at any instant without harm to the other.

#include "childprocess.h"
#include "framepattern.h"
#include "streamtest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zuntest::ChildProcess;
using zuntest::Decoder;
using zuntest::Encoder;
using Clock = std::chrono::steady_clock;

enum Port : uint32_t {
    kChildSends = 20200, // + variant
    kChildReceives = 20210,
    kKilledSender = 20220,
    kKilledReaders = 20230,
    kOtherProcessHolds = 20240,
    kFullShm = 20250,
};

std::vector<std::string> peer(std::initializer_list<std::string> args)
{
    std::vector<std::string> all{ZUNSTREAMPEER};
    all.insert(all.end(), args);
    return all;
}

std::string str(long v)
{
    return std::to_string(v);
}

struct Reception {
    int good = 0;
    int bad = 0;
    uint32_t last = 0;
    bool ordered = true;
    std::chrono::nanoseconds slowestLock{0};
};

// Reads what arrives until `until` says stop, checking every frame against its picture.
template <class Until>
Reception receiveWhile(Decoder &decoder, bool compressed, Until until)
{
    Reception r;
    bool first = true;
    while (!until()) {
        const auto before = Clock::now();
        const auto *pixels = static_cast<const uint8_t *>(zunLockReadBuffer(decoder.handle(), 0));
        r.slowestLock = std::max(r.slowestLock, Clock::now() - before);
        if (!pixels) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        const uint32_t number = decoder.frameNumber();
        if (zuntest::frameMatches(decoder.format(), compressed, number, pixels))
            ++r.good;
        else
            ++r.bad;
        if (!first && number <= r.last)
            r.ordered = false;
        first = false;
        r.last = number;
        decoder.unlock();
    }
    return r;
}

struct Variant {
    int depth;
    int compressed;
};

class TwoProcesses : public testing::TestWithParam<Variant> {};

TEST_P(TwoProcesses, ChildSendsParentReceivesWholeFramesInOrder)
{
    const auto [depth, compressed] = GetParam();
    const uint32_t port = kChildSends + uint32_t(depth * 2 + compressed);
    zuntest::removeSegment(port); // what a crashed earlier run may have left
    Decoder decoder(port);
    ChildProcess child(peer({"send", "--protocol", "3", "--port", str(port), "--width", "160",
                             "--height", "90", "--depth", str(depth), "--compressed", str(compressed),
                             "--frames", "40", "--interval-ms", "5"}));
    ASSERT_EQ(child.readLine(5s), "ready");
    int exitCode = -2;
    const auto end = Clock::now() + 10s;
    const Reception r = receiveWhile(decoder, compressed, [&] {
        if (Clock::now() > end)
            return true;
        exitCode = child.poll();
        return exitCode != -1;
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(r.bad, 0);
    EXPECT_TRUE(r.ordered);
    EXPECT_GE(r.good, 20) << "a FIFO reader polling every millisecond keeps up with 5 ms frames";
    EXPECT_EQ(r.last, 39u) << "the last frame arrives";
}

TEST_P(TwoProcesses, ParentSendsChildReceivesWholeFrames)
{
    const auto [depth, compressed] = GetParam();
    const uint32_t port = kChildReceives + uint32_t(depth * 2 + compressed);
    ChildProcess child(peer({"recv", "--protocol", "3", "--port", str(port), "--frames", "30",
                             "--compressed", str(compressed), "--timeout-ms", "8000"}));
    ASSERT_EQ(child.readLine(5s), "ready");
    const StreamFormat format{160, 90, uint16_t(depth), 1};
    Encoder encoder(format, port, uint32_t(compressed), 15);
    ASSERT_TRUE(encoder.addressed());
    int exitCode = -1;
    for (uint32_t i = 0; exitCode == -1 && i < 2000; ++i) {
        encoder.encode(zuntest::makeFrame(format, i).data());
        std::this_thread::sleep_for(5ms);
        exitCode = child.poll();
    }
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(child.readLine(1s).rfind("received", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Memory, TwoProcesses,
                         testing::Values(Variant{1, 0}, Variant{0, 0}, Variant{2, 1}, Variant{3, 1}),
                         [](const auto &info) {
                             return "depth" + str(info.param.depth)
                                 + (info.param.compressed ? "Jpeg" : "Raw");
                         });

TEST(KilledPeers, KilledSenderNeitherHangsNorTearsAFrameAndIsReplaced)
{
    const uint32_t port = kKilledSender;
    zuntest::removeSegment(port);
    Decoder decoder(port);
    std::minstd_rand random(7);
    for (int round = 0; round < 5; ++round) {
        // Large frames sent flat out, so the kill is likely to land inside a copy.
        const int width = 320 + 16 * round, depth = round % 3;
        ChildProcess child(peer({"send", "--protocol", "3", "--port", str(port), "--width",
                                 str(width), "--height", "240", "--depth", str(depth), "--frames",
                                 "0", "--interval-ms", "0"}));
        ASSERT_EQ(child.readLine(5s), "ready") << "round " << round;
        if (round == 0) {
            Encoder rival(StreamFormat{64, 48, 1, 1}, port);
            EXPECT_FALSE(rival.addressed()) << "a live encoder in another process holds the port";
        }
        const auto killAt = Clock::now() + std::chrono::milliseconds(100 + random() % 150);
        const Reception alive = receiveWhile(decoder, false, [&] { return Clock::now() > killAt; });
        child.kill();
        const auto quietUntil = Clock::now() + 200ms;
        const Reception after = receiveWhile(decoder, false, [&] { return Clock::now() > quietUntil; });
        EXPECT_GT(alive.good, 0) << "round " << round << ": the new sender was picked up";
        EXPECT_EQ(alive.bad + after.bad, 0) << "round " << round;
        EXPECT_LT(std::max(alive.slowestLock, after.slowestLock), 500ms) << "lock returns at once";
    }
    // The port of a killed encoder is free for the next one, here in this process.
    const StreamFormat format{64, 48, 1, 1};
    Encoder encoder(format, port);
    ASSERT_TRUE(encoder.addressed());
    const auto end = Clock::now() + 3s;
    bool received = false;
    while (!received && Clock::now() < end) {
        encoder.encodePattern(format);
        if (const uint8_t *pixels = decoder.waitLock(10ms)) {
            received = zuntest::sameFormat(decoder.format(), format)
                && zuntest::frameMatches(format, false, decoder.frameNumber(), pixels);
            decoder.unlock();
        }
    }
    EXPECT_TRUE(received);
}

// Child processes that each lock the newest frame and keep it locked, one slot apiece;
// frame counts the frames encoded meanwhile. Empty, with the failure added, when one fails.
std::vector<std::unique_ptr<ChildProcess>> startHolders(Encoder &encoder, uint32_t port, const StreamFormat &format,
                                                        int count, uint32_t &frame)
{
    std::vector<std::unique_ptr<ChildProcess>> holders;
    for (int i = 0; i < count; ++i) {
        holders.push_back(std::make_unique<ChildProcess>(
            peer({"hold", "--protocol", "3", "--port", str(port), "--from", str(frame)})));
        if (const std::string ready = holders.back()->readLine(5s); ready != "ready") {
            ADD_FAILURE() << "holder " << i << " said '" << ready << "'";
            return {};
        }
        std::string line;
        const auto end = Clock::now() + 5s;
        while (line.empty() && Clock::now() < end) {
            encoder.encode(zuntest::makeFrame(format, frame++).data());
            line = holders.back()->readLine(20ms);
        }
        if (line.rfind("locked", 0) != 0) {
            ADD_FAILURE() << "holder " << i << " said '" << line << "'";
            return {};
        }
    }
    return holders;
}

TEST(KilledPeers, ReadersKilledWithFramesLockedLeaveNoPinBehind)
{
    const uint32_t port = kKilledReaders;
    zuntest::removeSegment(port);
    const StreamFormat format{64, 48, 1, 1};
    Encoder encoder(format, port);
    ASSERT_TRUE(encoder.addressed());
    // Each holder locks the newest frame and keeps it: together they hold every slot.
    uint32_t frame = 0;
    auto holders = startHolders(encoder, port, format, 6, frame);
    ASSERT_EQ(holders.size(), 6u);
    ZunStreamStats before{}, after{};
    zunGetStreamStats(encoder.handle(), &before);
    encoder.encode(zuntest::makeFrame(format, frame++).data());
    zunGetStreamStats(encoder.handle(), &after);
    EXPECT_EQ(after.framesDropped, before.framesDropped + 1) << "no slot may be overwritten while locked";

    holders.clear(); // SIGKILL, each with its frame still locked
    Decoder decoder(port, true);
    std::this_thread::sleep_for(30ms);
    zunGetStreamStats(encoder.handle(), &before);
    const uint32_t sentAt = frame;
    encoder.encode(zuntest::makeFrame(format, frame++).data());
    zunGetStreamStats(encoder.handle(), &after);
    EXPECT_EQ(after.framesSent, before.framesSent + 1) << "dead readers' slots are taken back";
    const uint8_t *pixels = decoder.waitLock();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(decoder.frameNumber(), sentAt);
    decoder.unlock();
}

// Killed holders of a few slots: their pins go the next time the encoder looks for a slot,
// not only once every slot is taken, so a reader that lags still finds the whole ring.
TEST(KilledPeers, KilledReadersPinsGoAtTheNextFrame)
{
    const uint32_t port = kKilledReaders + 1;
    zuntest::removeSegment(port);
    const StreamFormat format{64, 48, 1, 1};
    Encoder encoder(format, port);
    ASSERT_TRUE(encoder.addressed());
    uint32_t frame = 0;
    auto holders = startHolders(encoder, port, format, 5, frame);
    ASSERT_EQ(holders.size(), 5u);
    holders.clear(); // SIGKILL, each with its frame still locked
    Decoder lagging(port);
    std::this_thread::sleep_for(30ms);
    for (int i = 0; i < 10; ++i)
        encoder.encode(zuntest::makeFrame(format, frame++).data());
    int got = 0;
    while (lagging.waitLock(100ms)) {
        ++got;
        lagging.unlock();
    }
    EXPECT_EQ(got, 6) << "the ring's six slots";
}

TEST(KilledPeers, EncoderInAnotherProcessIsRefusedWhileThisOneHoldsThePort)
{
    const uint32_t port = kOtherProcessHolds;
    zuntest::removeSegment(port);
    Encoder encoder(StreamFormat{64, 48, 1, 1}, port);
    ASSERT_TRUE(encoder.addressed());
    ChildProcess child(peer({"send", "--protocol", "3", "--port", str(port), "--frames", "1"}));
    EXPECT_EQ(child.readLine(5s), "refused");
    EXPECT_EQ(child.wait(5s), 2);
}

// The same refusal told on stderr when ZUN_LOG asks for it, and not a word when unset.
TEST(KilledPeers, RefusedEncoderSaysWhyOnStderrWithZunLog)
{
    const uint32_t port = kOtherProcessHolds + 1;
    zuntest::removeSegment(port);
    Encoder encoder(StreamFormat{64, 48, 1, 1}, port);
    ASSERT_TRUE(encoder.addressed());
    const std::string send = std::string(ZUNSTREAMPEER) + " send --protocol 3 --port " + str(port) + " --frames 1 2>&1";
    for (const char *level : {"info", "error", ""}) {
        const std::string setting = *level ? std::string("ZUN_LOG=") + level : "unset ZUN_LOG;";
        ChildProcess child({"/bin/sh", "-c", setting + " exec " + send});
        std::vector<std::string> lines;
        for (std::string line = child.readLine(5s); !line.empty(); line = child.readLine(5s))
            lines.push_back(line);
        const std::vector<std::string> expected =
            *level ? std::vector<std::string>{"zunVidStreamLib2 error: memory port " + str(port)
                                                  + ": held by another encoder", "refused"}
                   : std::vector<std::string>{"refused"};
        EXPECT_EQ(lines, expected) << setting;
    }
}

// In a mount namespace of its own with a 2 MB /dev/shm, an encoder for frames that do not
// fit is refused at once instead of dying of SIGBUS at its first frame.
TEST(SharedMemory, FullShmRefusesTheEncoderCleanly)
{
    if (std::system("unshare -m --propagation private true 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot make a mount namespace here (needs root and unshare)";
    const std::string script = "mount -t tmpfs -o size=2m none /dev/shm && exec " + std::string(ZUNSTREAMPEER)
        + " send --protocol 3 --port " + str(kFullShm) + " --width 1920 --height 1080 --depth 2 --frames 3";
    ChildProcess child({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script});
    EXPECT_EQ(child.readLine(5s), "refused");
    EXPECT_EQ(child.wait(5s), 2);
}

} // namespace
