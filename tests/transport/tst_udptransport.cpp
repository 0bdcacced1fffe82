#include "transport/destinationaddress.h"
#include "transport/udp/datagrambatch.h"
#include "transport/udp/framecrc.h"
#include "transport/udp/pacer.h"
#include "transport/udp/socketspread.h"
#include "transport/udp/udpreceiver.h"
#include "transport/udp/udpsender.h"
#include "transporttestutil.h"
#include "fanout.h"
#include "netns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

void expectSame(const zun::EncodedFrame &got, const zun::FrameMeta &meta, const std::vector<uint8_t> &payload)
{
    EXPECT_EQ(got.meta.streamId, meta.streamId);
    EXPECT_EQ(got.meta.frameNumber, meta.frameNumber);
    EXPECT_EQ(got.meta.compressed, meta.compressed);
    EXPECT_EQ(got.meta.jpegLayout, meta.jpegLayout) << "frame " << meta.frameNumber;
    EXPECT_EQ(got.meta.sendTimeNs, meta.sendTimeNs);
    EXPECT_EQ(got.meta.format.width, meta.format.width);
    EXPECT_EQ(got.meta.format.height, meta.format.height);
    EXPECT_EQ(got.meta.format.depth, meta.format.depth);
    EXPECT_TRUE(got.payload == payload) << "payload of frame " << meta.frameNumber << " differs";
}

// Sends one frame and checks that each receiver gets exactly it.
void roundTrip(zun::UdpSender &sender, std::vector<zun::UdpReceiver *> receivers,
               const zun::FrameMeta &meta, const std::vector<uint8_t> &payload)
{
    ASSERT_TRUE(sender.send(meta, payload));
    for (auto *receiver : receivers) {
        zun::EncodedFrame got;
        ASSERT_TRUE(zuntest::receiveWithin(*receiver, got)) << "frame " << meta.frameNumber << " receiver " << (receiver == receivers[0] ? 0 : 1)
            << " rejected " << receiver->counters().packetsRejected << " incomplete "
            << receiver->counters().framesIncomplete << " held " << receiver->bytesHeld() << " overflowed " << receiver->counters().overflowed;
        expectSame(got, meta, payload);
    }
}

// Every sender is a stream of its own: streamId tells them apart.
std::vector<std::pair<zun::FrameMeta, std::vector<uint8_t>>> sampleFrames(uint32_t streamId = 1)
{
    std::vector<std::pair<zun::FrameMeta, std::vector<uint8_t>>> frames;
    uint32_t n = 1;
    for (uint16_t depth = 0; depth <= 3; ++depth) {
        const StreamFormat f{641, 479, depth, 1};
        frames.emplace_back(zuntest::meta(f, n, false, streamId), zuntest::pattern(zun::byteSize(f), n));
        ++n;
    }
    const StreamFormat hd{1920, 1080, zun::kDepthRgb888, 1};
    frames.emplace_back(zuntest::meta(hd, n, false, streamId), zuntest::pattern(zun::byteSize(hd), n));
    ++n;
    frames.emplace_back(zuntest::meta({1, 1, zun::kDepthGrey8, 1}, n, false, streamId), zuntest::pattern(4, n));
    ++n;
    // JPEG payloads travel as opaque bytes of any length up to the format's bound.
    for (uint32_t size : {1u, 333u, 200001u}) {
        frames.emplace_back(zuntest::meta({640, 480, zun::kDepthRgb888, 1}, n, true, streamId), zuntest::pattern(size, n));
        ++n;
    }
    // A whole JPEG in several pieces, as a version 1 peer sends it, stays marked so.
    frames.emplace_back(zuntest::meta({640, 480, zun::kDepthRgb888, 1}, n, true, streamId),
                        zuntest::pattern(150001, n));
    frames.back().first.jpegLayout = zun::JpegLayout::kWhole;
    return frames;
}

// A receiver on a loopback port and a sender aimed at it.
struct LoopbackPair {
    zun::UdpReceiver receiver;
    zun::UdpSender sender;
    bool connect(uint16_t port) { return receiver.listen(port) && sender.setDestination("127.0.0.1", port); }
};

bool inPrivateNamespace()
{
    return std::getenv("ZUN_TEST_NETNS") != nullptr;
}

#define REQUIRE_PRIVATE_NAMESPACE()                                                            \
    if (!inPrivateNamespace())                                                                 \
    GTEST_SKIP() << "multicast runs only in a private network namespace (tests/transport/netns.sh)"

} // namespace

TEST(UdpUnicast, EveryDepthAndJpegArriveWhole)
{
    LoopbackPair pair;
    ASSERT_TRUE(pair.connect(21010));
    auto &[receiver, sender] = pair;
    for (const auto &[meta, payload] : sampleFrames())
        roundTrip(sender, {&receiver}, meta, payload);
    EXPECT_GT(sender.pieceSize(), 60000u); // loopback takes near-64 KiB datagrams
    EXPECT_EQ(receiver.counters().packetsRejected, 0u);
    EXPECT_EQ(receiver.counters().framesIncomplete, 0u);
}

TEST(UdpUnicast, SenderBeforeReceiverAndReceiverRestarted)
{
    zun::UdpSender sender;
    ASSERT_TRUE(sender.setDestination("localhost", 21011)); // a name, looked up off this thread
    const StreamFormat f{320, 240, zun::kDepthRgb32, 1};
    const auto payload = zuntest::pattern(zun::byteSize(f), 1);
    for (uint32_t n = 1; n <= 5; ++n) {
        sender.send(zuntest::meta(f, n), payload); // nobody listens: dropped, no failure
        std::this_thread::sleep_for(20ms);
    }
    uint32_t n = 10;
    for (int round = 0; round < 2; ++round) {
        zun::UdpReceiver receiver;
        ASSERT_TRUE(receiver.listen(21011));
        // The name may still be resolving: keep sending until a frame gets through.
        zun::EncodedFrame got;
        bool arrived = false;
        for (int i = 0; i < 100 && !arrived; ++i) {
            sender.send(zuntest::meta(f, ++n), payload);
            arrived = receiver.receive(got, 20ms);
        }
        ASSERT_TRUE(arrived);
        EXPECT_EQ(got.payload, payload);
    }
}

TEST(UdpUnicast, InterleavedStreamsAndReorderedPiecesArriveWhole)
{
    zun::UdpReceiver receiver;
    ASSERT_TRUE(receiver.listen(21016));
    const StreamFormat f{100, 60, zun::kDepthRgb888, 1}; // 18000 bytes: 18 pieces of 1000
    const auto a = zuntest::pattern(zun::byteSize(f), 1);
    const auto b = zuntest::pattern(zun::byteSize(f), 2);
    std::vector<std::vector<uint8_t>> datagrams;
    for (uint32_t off = 0; off < a.size(); off += 1000) {
        for (const auto *payload : {&a, &b}) {
            const auto m = zuntest::meta(f, 5, false, payload == &a ? 100 : 200);
            datagrams.push_back(zuntest::datagram(zuntest::header(m, uint32_t(a.size()), off, 1000),
                                                  {payload->begin() + off, payload->begin() + off + 1000}));
        }
    }
    std::swap(datagrams[4], datagrams[9]);
    std::swap(datagrams[20], datagrams[35]);
    datagrams.insert(datagrams.begin() + 12, datagrams[3]); // a repeat
    zuntest::RawUdp raw;
    for (const auto &d : datagrams)
        raw.send(21016, d);
    std::map<uint32_t, std::vector<uint8_t>> got;
    for (int i = 0; i < 2; ++i) {
        zun::EncodedFrame frame;
        ASSERT_TRUE(zuntest::receiveWithin(receiver, frame));
        got[frame.meta.streamId].assign(frame.payload.begin(), frame.payload.end());
    }
    EXPECT_TRUE(got[100] == a);
    EXPECT_TRUE(got[200] == b);
    EXPECT_EQ(receiver.counters().packetsRejected, 0u);
}

TEST(UdpUnicast, FramesAreHandedOnAsTheyComeWhenTheReceiverKeepsUp)
{
    zun::UdpReceiver receiver({}, 10'000'000'000); // no stall of this test's thread looks like a backlog
    ASSERT_TRUE(receiver.listen(21018));
    zun::UdpSender sender;
    ASSERT_TRUE(sender.setDestination("127.0.0.1", 21018));
    const StreamFormat f{320, 240, zun::kDepthRgb888, 1};
    for (uint32_t n = 1; n <= 5; ++n)
        ASSERT_TRUE(sender.send(zuntest::meta(f, n), zuntest::pattern(zun::byteSize(f), n)));
    for (uint32_t n = 1; n <= 5; ++n) {
        zun::EncodedFrame got;
        ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
        EXPECT_EQ(got.meta.frameNumber, n);
    }
    EXPECT_EQ(receiver.counters().framesSkipped, 0u);
}

TEST(UdpUnicast, TheNextFrameLandsInTheBufferTheCallerHandsBack)
{
    // A decoder hands back the buffer it is done with as it asks for the next frame; a large
    // frame that gets a fresh buffer instead faults it in while the socket fills.
    LoopbackPair pair;
    ASSERT_TRUE(pair.connect(21019));
    auto &[receiver, sender] = pair;
    const StreamFormat f{320, 240, zun::kDepthRgb888, 1};
    zun::EncodedFrame frame;
    zun::Bytes handedBack;
    for (uint32_t n = 1; n <= 3; ++n) {
        const auto payload = zuntest::pattern(zun::byteSize(f), n);
        ASSERT_TRUE(sender.send(zuntest::meta(f, n), payload));
        frame.payload.swap(handedBack); // as the decoder swaps it for a spare of its own
        const uint8_t *const spare = frame.payload.data();
        const auto giveUp = std::chrono::steady_clock::now() + 2s;
        while (!receiver.receive(frame, 20ms))
            ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << "frame " << n;
        EXPECT_TRUE(frame.payload == payload) << "frame " << n;
        if (spare)
            EXPECT_EQ(frame.payload.data(), spare) << "frame " << n;
        handedBack.resize(frame.payload.size());
    }
}

TEST(UdpUnicast, TheKernelSpreadsAPortsDatagramsWhereItsReaderLooksForThem)
{
    constexpr size_t kSockets = 5;
    std::vector<zun::SocketFd> sockets;
    for (size_t i = 0; i < kSockets; ++i) {
        sockets.emplace_back(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
        const int on = 1;
        ASSERT_EQ(setsockopt(sockets.back().get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on), 0);
        const sockaddr_in address = zuntest::loopback(21028);
        ASSERT_EQ(::bind(sockets.back().get(), reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    }
    ASSERT_TRUE(zun::SocketSpread::attach(sockets.front().get(), kSockets));
    const auto arrivedAt = [&](const std::vector<uint8_t> &bytes) {
        zuntest::RawUdp().send(21028, bytes);
        for (int tries = 0; tries < 200; ++tries) {
            for (size_t i = 0; i < kSockets; ++i) {
                std::vector<uint8_t> got(bytes.size() + 1);
                if (::recv(sockets[i].get(), got.data(), got.size(), 0) == ssize_t(bytes.size()))
                    return i;
            }
            std::this_thread::sleep_for(1ms);
        }
        return kSockets;
    };
    const StreamFormat f{1920, 1080, zun::kDepthRgb888, 1};
    const uint32_t total = uint32_t(zun::byteSize(f));
    for (uint32_t frame : {0u, 1u, 7u, 0xFFFFFFFFu}) {
        for (uint32_t offset : {0u, 1000u, 65535u, 65536u, 3u * 65536 + 7, total - 1000}) {
            const auto header = zuntest::header(zuntest::meta(f, frame), total, offset, 1000);
            EXPECT_EQ(arrivedAt(zuntest::datagram(header, std::vector<uint8_t>(1000))),
                      zun::SocketSpread::socketFor(frame, offset, kSockets))
                << "frame " << frame << " offset " << offset;
        }
        // Parity pieces all say offset 0: they go by block and row instead, so that a frame's
        // parity, sent last, is spread as well.
        const zun::ParityLayout layout = zun::ParityLayout::choose(total, 1428, 5);
        ASSERT_GT(layout.blockCount, 6u);
        for (uint32_t block : {0u, 1u, 6u}) {
            for (uint32_t row : {0u, 3u}) {
                auto header = zuntest::header(zuntest::meta(f, frame), total, 0, 1428);
                header.parity = zun::WireHeader::Parity{layout, block, row, 0};
                EXPECT_EQ(arrivedAt(zuntest::datagram(header, std::vector<uint8_t>(1428))),
                          (frame + block + row) % kSockets)
                    << "frame " << frame << " parity block " << block << " row " << row;
            }
        }
    }
    // Too short to be a piece: the first socket's reader refuses it.
    EXPECT_EQ(arrivedAt({1, 2, 3}), 0u);
}

TEST(UdpUnicast, ReceiverThatFellBehindTakesTheNewestFrameOfEachStream)
{
    zun::UdpReceiver receiver({}, 20'000'000);
    ASSERT_TRUE(receiver.listen(21017));
    zun::UdpSender sender;
    ASSERT_TRUE(sender.setDestination("127.0.0.1", 21017));
    const StreamFormat f{320, 240, zun::kDepthRgb888, 1};
    zun::EncodedFrame got;
    for (uint32_t stream : {1u, 2u}) {
        // Frames taken at once show how quick a trip can be.
        ASSERT_TRUE(sender.send(zuntest::meta(f, 0, false, stream), zuntest::pattern(zun::byteSize(f), 0)));
        ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    }
    for (uint32_t n = 1; n <= 5; ++n) {
        ASSERT_TRUE(sender.send(zuntest::meta(f, n, false, 1), zuntest::pattern(zun::byteSize(f), n)));
        if (n == 2)
            ASSERT_TRUE(sender.send(zuntest::meta(f, 9, false, 2), zuntest::pattern(zun::byteSize(f), 9)));
    }
    std::this_thread::sleep_for(150ms); // long enough in the socket to count as a backlog
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_EQ(got.meta.streamId, 1u);
    EXPECT_EQ(got.meta.frameNumber, 5u);
    EXPECT_EQ(got.payload, zuntest::pattern(zun::byteSize(f), 5));
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_EQ(got.meta.streamId, 2u);
    EXPECT_EQ(got.meta.frameNumber, 9u);
    EXPECT_FALSE(receiver.receive(got, 20ms));
    EXPECT_EQ(receiver.counters().framesSkipped, 4u);
    EXPECT_EQ(receiver.counters().framesIncomplete, 0u);
}

TEST(UdpRobustness, MalformedDatagramsAreCountedAndTheNextGoodFrameTaken)
{
    zun::UdpReceiver receiver;
    ASSERT_TRUE(receiver.listen(21012));
    const StreamFormat f{64, 32, zun::kDepthRgb888, 1};
    const auto payload = zuntest::pattern(zun::byteSize(f), 9);
    const auto good = zuntest::datagram(zuntest::header(zuntest::meta(f, 1), zun::byteSize(f), 0,
                                                        zun::byteSize(f)), payload);
    auto altered = [&](size_t at, uint8_t value) { auto d = good; d[at] = value; return d; };
    std::vector<std::vector<uint8_t>> bad = {
        altered(0, 'X'),                                   // magic
        altered(4, 9),                                     // version
        altered(21, 7),                                    // depth 7
        altered(25, 0x7f),                                 // total larger than the format
        altered(29, 0x7f),                                 // offset past the total
        {good.begin(), good.begin() + 30},                 // truncated header
        {good.begin(), good.end() - 1},                    // shorter than its piece
        {},                                                // empty datagram
    };
    zuntest::RawUdp raw;
    for (const auto &d : bad)
        raw.send(21012, d);
    raw.send(21012, good);
    zun::EncodedFrame got;
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_EQ(got.payload, payload);
    EXPECT_EQ(receiver.counters().packetsRejected, bad.size());

    const size_t before = zuntest::residentBytes();
    std::mt19937 random(1);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> noise(random() % 1500);
        for (auto &b : noise)
            b = uint8_t(random());
        if (i % 3 == 0 && noise.size() >= 8)
            std::copy(good.begin(), good.begin() + 8, noise.begin()); // right magic, rest noise
        raw.send(21012, noise);
        if (i % 500 == 0)
            receiver.receive(got, 0ms);
    }
    auto next = good;
    next[15] = 2; // frame number 2
    raw.send(21012, next);
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_EQ(got.meta.frameNumber, 2u);
    EXPECT_EQ(got.payload, payload);
    EXPECT_GE(receiver.counters().packetsRejected, bad.size() + 2900);
    EXPECT_EQ(receiver.bytesHeld(), 0u);
    EXPECT_LT(zuntest::residentBytes(), before + (16u << 20));
}

TEST(UdpRobustness, DatagramsDroppedOnAFullReceiveBufferAreToldWithTheLoss)
{
    // Where net.core.rmem_max is small, a receiver without the right to exceed it loses raw
    // frames in the host, not on the link: the warning about incomplete frames says so.
    LoopbackPair pair;
    ASSERT_TRUE(pair.connect(21023));
    auto &[receiver, sender] = pair;
    receiver.limitReceiveBuffer(4096);
    sender.setRedundancy(0);
    const StreamFormat large{320, 240, zun::kDepthRgb888, 1}; // four datagrams on loopback
    for (uint32_t n = 1; n <= 3; ++n)
        ASSERT_TRUE(sender.send(zuntest::meta(large, n), zuntest::pattern(zun::byteSize(large), n)));
    zun::EncodedFrame got;
    while (receiver.receive(got, 50ms)) {
    }
    // The next datagram read brings the kernel's count.
    const StreamFormat small{16, 16, zun::kDepthRgb888, 1};
    ASSERT_TRUE(sender.send(zuntest::meta(small, 4), zuntest::pattern(zun::byteSize(small), 4)));
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_EQ(got.meta.frameNumber, 4u);
    const std::string detail = receiver.lossDetail();
    EXPECT_NE(detail.find(" datagrams dropped on a full receive buffer ("), std::string::npos) << detail;
    EXPECT_EQ(detail.find("; 0 datagrams"), std::string::npos) << detail;
    EXPECT_GT(receiver.counters().overflowed, 0u);
}

TEST(UdpRobustness, AReceiveBufferShortOfWhatWasAskedIsToldInTheStatus)
{
    const auto statusOf = [](uint32_t port) {
        const StreamFormat f{64, 64, zun::kDepthRgb888, 1};
        const uint32_t decoder = zunGetDecoder(ZUN_PROTOCOL_UDP, &f);
        EXPECT_EQ(zunSetSourceAddress(decoder, port), 1);
        ZunStatus status{};
        zunGetStatus(decoder, &status);
        zunDeleteDecoder(decoder);
        return std::string(status.text);
    };
    // As on a stock kernel for a process without CAP_NET_ADMIN.
    zun::UdpReceiver::setReceiveBufferCeiling(212992);
    const std::string untuned = statusOf(24590);
    zun::UdpReceiver::setReceiveBufferCeiling(0);
    EXPECT_NE(untuned.find("receive buffer 208 KiB granted of 128 MiB asked, net.core.rmem_max, on each of 16 sockets"),
              std::string::npos)
        << untuned;
    if (geteuid() == 0) {
        EXPECT_EQ(statusOf(24591), "") << "root takes the whole buffer past net.core.rmem_max";
    }
}

TEST(UdpRobustness, ABurstPastOneSocketsBufferArrivesWholeOverAPortSpreadOverSockets)
{
    // 22 pieces of 64 KiB sent while nobody reads: more than one 208 KiB socket holds.
    const StreamFormat f{800, 600, zun::kDepthRgb888, 1};
    const auto payload = zuntest::pattern(zun::byteSize(f), 1);
    zun::EncodedFrame got;
    {
        LoopbackPair single;
        ASSERT_TRUE(single.connect(21027));
        ASSERT_EQ(single.receiver.socketCount(), 1u);
        single.receiver.limitReceiveBuffer(212992);
        ASSERT_TRUE(single.sender.send(zuntest::meta(f, 1), payload));
        EXPECT_FALSE(zuntest::receiveWithin(single.receiver, got, 500ms)) << "the burst fits one socket";
        ASSERT_GT(single.receiver.counters().overflowed, 0u);
    }
    zun::UdpReceiver::setReceiveBufferCeiling(212992);
    LoopbackPair spread;
    const bool connected = spread.connect(21027);
    zun::UdpReceiver::setReceiveBufferCeiling(0);
    ASSERT_TRUE(connected);
    ASSERT_EQ(spread.receiver.socketCount(), zun::SocketSpread::kMaxSockets);
    for (uint32_t n = 1; n <= 3; ++n) {
        const uint64_t landedBefore = spread.receiver.reader().landedInPlace();
        const auto frame = zuntest::pattern(zun::byteSize(f), n);
        const zun::FrameMeta meta = zuntest::meta(f, n);
        ASSERT_TRUE(spread.sender.send(meta, frame));
        ASSERT_TRUE(zuntest::receiveWithin(spread.receiver, got)) << "frame " << n;
        expectSame(got, meta, frame);
        // Read in the kernel's turn, every piece but the frame's first lands in place, once
        // the reader knows which frame comes next.
        const size_t pieces = (frame.size() + spread.sender.pieceSize() - 1) / spread.sender.pieceSize();
        if (n > 1)
            EXPECT_EQ(spread.receiver.reader().landedInPlace() - landedBefore, pieces - 1) << "frame " << n;
        spread.receiver.receive(got, 20ms); // its parity
    }
    EXPECT_EQ(spread.receiver.counters().overflowed, 0u);
    EXPECT_EQ(spread.receiver.counters().framesIncomplete, 0u);
}

TEST(UdpRobustness, FrameWithOneDatagramMissingIsNeverDelivered)
{
    LoopbackPair pair;
    ASSERT_TRUE(pair.connect(21013));
    auto &[receiver, sender] = pair;
    const StreamFormat f{1280, 720, zun::kDepthRgb888, 1};
    sender.setRedundancy(0); // nothing to rebuild the piece from
    sender.setSkippedPiece(3);
    EXPECT_TRUE(sender.send(zuntest::meta(f, 1), zuntest::pattern(zun::byteSize(f), 1)));
    sender.setSkippedPiece(-1);
    const auto second = zuntest::pattern(zun::byteSize(f), 2);
    EXPECT_TRUE(sender.send(zuntest::meta(f, 2), second));
    zun::EncodedFrame got;
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_EQ(got.meta.frameNumber, 2u);
    EXPECT_EQ(got.payload, second);
    EXPECT_FALSE(receiver.receive(got, 50ms));
    EXPECT_EQ(receiver.counters().framesIncomplete, 1u);
}

// Takes frames on a thread of its own while the test sends, as a decoder does.
class ReceivingThread {
public:
    explicit ReceivingThread(zun::UdpReceiver &receiver)
        : mThread([this, &receiver](std::stop_token stop) {
              zun::EncodedFrame frame;
              while (!stop.stop_requested()) {
                  if (receiver.receive(frame, 20ms)) {
                      std::lock_guard lock(mMutex);
                      mFrames.push_back(std::move(frame));
                      frame = {};
                  }
              }
          })
    {
    }
    std::vector<zun::EncodedFrame> takeWithin(size_t count, std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            {
                std::lock_guard lock(mMutex);
                if (mFrames.size() >= count)
                    break;
            }
            std::this_thread::sleep_for(5ms);
        }
        std::lock_guard lock(mMutex);
        return std::move(mFrames);
    }

private:
    std::mutex mMutex;
    std::vector<zun::EncodedFrame> mFrames;
    std::jthread mThread;
};

// Sends raw 8192x8192 32-bit frames timed one a second apart and checks they all arrive
// exactly; each is eight times the receiver's socket buffer, so sent as one burst, none does.
void expectLargestFramesWhole(zun::UdpSender &sender, zun::UdpReceiver &receiver)
{
    const StreamFormat f{8192, 8192, zun::kDepthRgb32, 1};
    auto payload = zuntest::pattern(zun::byteSize(f), 7);
    ReceivingThread receiving(receiver);
    constexpr uint32_t kFrames = 3;
    for (uint32_t n = 1; n <= kFrames; ++n) {
        auto meta = zuntest::meta(f, n);
        meta.sendTimeNs = n * 1'000'000'000ull;
        payload.front() = payload.back() = uint8_t(n);
        EXPECT_TRUE(sender.send(meta, payload));
    }
    const auto frames = receiving.takeWithin(kFrames, 3000ms);
    ASSERT_EQ(frames.size(), size_t(kFrames)) << "incomplete " << receiver.counters().framesIncomplete;
    for (uint32_t n = 1; n <= kFrames; ++n) {
        payload.front() = payload.back() = uint8_t(n);
        EXPECT_EQ(frames[n - 1].meta.frameNumber, n);
        EXPECT_TRUE(frames[n - 1].payload == payload) << "frame " << n;
    }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// There the receiver clears each fresh 256 MiB frame too slowly to keep up with any rate a
// second of frames allows; the plain build checks it.
#define REQUIRE_FULL_SPEED() GTEST_SKIP() << "needs a receiver at full speed"
#else
#define REQUIRE_FULL_SPEED()
#endif

TEST(UdpPacing, LargestFramesAtOneASecondArriveWhole)
{
    REQUIRE_FULL_SPEED();
    LoopbackPair pair;
    ASSERT_TRUE(pair.connect(21016));
    auto &[receiver, sender] = pair;
    expectLargestFramesWhole(sender, receiver);
}

TEST(UdpPacing, AFixedRateSpreadsAFrameOverItsSizeOverTheRate)
{
    LoopbackPair pair;
    ASSERT_TRUE(pair.connect(21017));
    auto &[receiver, sender] = pair;
    const StreamFormat f{1280, 720, zun::kDepthRgb888, 1};
    const auto payload = zuntest::pattern(zun::byteSize(f), 3);
    const auto timedSend = [&](uint32_t n, uint64_t rate) {
        EXPECT_TRUE(sender.setPacingRate(rate));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(sender.send(zuntest::meta(f, n), payload));
        const auto took = std::chrono::steady_clock::now() - start;
        zun::EncodedFrame got;
        EXPECT_TRUE(zuntest::receiveWithin(receiver, got));
        EXPECT_TRUE(got.payload == payload);
        return std::chrono::duration<double>(took).count();
    };
    constexpr double kRate = 40e6;
    const double paced = timedSend(1, uint64_t(kRate));
    const double fast = timedSend(2, 20'000'000'000ull);
    const double expected = double(payload.size()) / kRate; // about 70 ms
    EXPECT_GT(paced, 0.8 * expected);
    EXPECT_LT(paced, 3 * expected + 0.2);
    EXPECT_LT(fast, paced / 2);
}

// Sends a frame of `count` datagrams as the pacer allows from startNs on, in steps of 50 us;
// when its last datagram went, and the most that went at once.
std::pair<uint64_t, size_t> pacedFinish(zun::Pacer &pacer, size_t count, uint64_t startNs)
{
    constexpr size_t kDatagram = 1472;
    static const std::vector<uint8_t> bytes(kDatagram);
    const std::vector<zun::Datagram> frame(count, zun::Datagram{{}, bytes});
    std::span<const zun::Datagram> rest(frame);
    size_t most = 0;
    uint64_t now = startNs, waitNs = 0;
    for (; !rest.empty(); now += 50'000) {
        const size_t due = pacer.due(rest, now, waitNs);
        for (size_t i = 0; i < due; ++i)
            pacer.sent(kDatagram);
        most = std::max(most, due * kDatagram);
        rest = rest.subspan(due);
    }
    return {now - startNs, most};
}

TEST(UdpPacing, NoMoreThanTheBurstLeavesAtOnceAndSmallFramesAreNotSpreadOverTheInterval)
{
    constexpr uint64_t kMs = 1'000'000, kInterval = 33 * kMs;
    constexpr size_t kRaw = 2000, kJpeg = 200; // about 2.9 MB and 290 KB
    zun::Pacer pacer;
    pacer.startFrame(kRaw * 1472, 0, 0);
    // The first frame too: an untuned receiver's buffer holds a burst, not a frame.
    EXPECT_LE(pacedFinish(pacer, kRaw, 0).second, zun::Pacer::kDefaultBurstBytes);
    pacer.startFrame(kRaw * 1472, kInterval, kInterval);
    const auto [raw, rawMost] = pacedFinish(pacer, kRaw, kInterval);
    EXPECT_GT(raw, 20 * kMs) << "a raw frame is spread over most of its interval";
    EXPECT_LT(raw, 30 * kMs);
    EXPECT_LE(rawMost, zun::Pacer::kDefaultBurstBytes);
    pacer.startFrame(kJpeg * 1472, 2 * kInterval, 2 * kInterval);
    EXPECT_LT(pacedFinish(pacer, kJpeg, 2 * kInterval).first, 4 * kMs) << "a small frame goes at the least rate";

    pacer.setBurst(16 << 10);
    pacer.startFrame(kRaw * 1472, 3 * kInterval, 3 * kInterval);
    EXPECT_LE(pacedFinish(pacer, kRaw, 3 * kInterval).second, size_t(16) << 10);
}

// Frames handed over faster than a fixed rate carries them: their bursts must not come on top
// of the rate, so five frames take what five frames' bytes take at that rate, less one burst.
TEST(UdpPacing, AFixedRateHoldsAcrossFramesSentBackToBack)
{
    constexpr uint64_t kRate = 5'000'000;
    constexpr size_t kCount = 600, kFrames = 5; // about 883 KB a frame
    zun::Pacer pacer;
    pacer.setFixedRate(kRate);
    uint64_t now = 0;
    for (size_t i = 0; i < kFrames; ++i) {
        pacer.startFrame(kCount * 1472, now, now);
        now += pacedFinish(pacer, kCount, now).first;
    }
    const double burst = std::max(double(zun::Pacer::kDefaultBurstBytes), kRate * zun::Pacer::kFixedBurstNs / 1e9);
    const double leastNs = (double(kFrames * kCount * 1472) - burst) / double(kRate) * 1e9;
    EXPECT_GE(double(now), 0.98 * leastNs) << "the frames went faster than the rate";
    EXPECT_LE(double(now), 1.05 * leastNs);
}

TEST(UdpPacing, OnceTheBurstIsSpentDatagramsGoInBatchesButOneByOneOnASlowLink)
{
    constexpr size_t kDatagram = 1472;
    const std::vector<uint8_t> bytes(kDatagram);
    const std::vector<zun::Datagram> frame(2000, zun::Datagram{{}, bytes}); // about 2.8 MiB
    constexpr uint64_t kMs = 1'000'000;
    uint64_t waitNs = 0;
    // Spends the burst at startNs; what is left of the frame.
    const auto spendBurst = [&](zun::Pacer &pacer, uint64_t startNs) {
        const size_t burst = pacer.due(frame, startNs, waitNs);
        for (size_t i = 0; i < burst; ++i)
            pacer.sent(kDatagram);
        return std::span(frame).subspan(burst);
    };

    zun::Pacer fast;
    fast.startFrame(frame.size() * kDatagram, 0, 0);
    fast.startFrame(frame.size() * kDatagram, 10 * kMs, 10 * kMs); // 8 ms for the frame
    auto rest = spendBurst(fast, 10 * kMs);
    // Two datagrams' time later two would be allowed, but they wait for a batch.
    const double nsPerByte = 8.0 * kMs / double(frame.size() * kDatagram);
    const uint64_t twoLater = 10 * kMs + uint64_t(2 * kDatagram * nsPerByte);
    EXPECT_EQ(fast.due(rest, twoLater, waitNs), 0u);
    const size_t batch = fast.due(rest, twoLater + waitNs, waitNs);
    const double expected = std::min(double(zun::Pacer::kDefaultBurstBytes), zun::Pacer::kBatchNs / nsPerByte);
    EXPECT_GE(double(batch * kDatagram), expected - kDatagram);
    EXPECT_LE(double(batch * kDatagram), expected + kDatagram);
    // What is left of a frame at its end is less than a batch: it goes when it is due.
    for (size_t i = 0; i < rest.size() - 3; ++i)
        fast.sent(kDatagram);
    EXPECT_EQ(fast.due(rest.last(3), 18 * kMs, waitNs), 3u);

    // At 1 MB/s a batch of half a millisecond is less than a datagram: each goes on its turn.
    zun::Pacer slow;
    slow.setFixedRate(1'000'000);
    slow.startFrame(frame.size() * kDatagram, 0, 0);
    rest = spendBurst(slow, 0);
    EXPECT_EQ(slow.due(rest, 0, waitNs), 0u);
    EXPECT_EQ(slow.due(rest, waitNs, waitNs), 1u);
}

// A frame in Ethernet-sized pieces, each header of its own, to be reordered or spoiled.
struct EthernetPieces {
    static constexpr size_t kPiece = 1472 - zun::WireHeader::kSize;
    std::vector<std::vector<uint8_t>> headers;
    std::vector<zun::Datagram> datagrams;
    EthernetPieces(const zun::FrameMeta &meta, const std::vector<uint8_t> &payload)
    {
        for (size_t offset = 0; offset < payload.size(); offset += kPiece) {
            const auto length = uint32_t(std::min(kPiece, payload.size() - offset));
            headers.push_back(zuntest::datagram(zuntest::header(meta, uint32_t(payload.size()), uint32_t(offset), length), {}));
        }
        for (size_t i = 0; i < headers.size(); ++i)
            datagrams.push_back({headers[i], std::span(payload).subspan(i * kPiece, std::min(kPiece, payload.size() - i * kPiece))});
    }
};

// Sends through segmentation offload, so a receiver with receive offload gets them coalesced.
void sendCoalesced(uint16_t port, std::span<const zun::Datagram> datagrams)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = zuntest::loopback(port);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
    zun::DatagramBatch batch;
    EXPECT_EQ(batch.send(fd, datagrams, [] {}), datagrams.size());
    EXPECT_TRUE(batch.offloading());
    ::close(fd);
}

TEST(UdpOffload, CoalescedPiecesLandInPlaceAndEachIsStillChecked)
{
    zun::UdpReceiver receiver;
    ASSERT_TRUE(receiver.listen(21018));
    const StreamFormat f{320, 240, zun::kDepthRgb888, 1};
    zun::EncodedFrame got;
    const auto first = zuntest::pattern(zun::byteSize(f), 1);
    EthernetPieces inOrder(zuntest::meta(f, 1), first);
    sendCoalesced(21018, inOrder.datagrams);
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_TRUE(got.payload == first);
    EXPECT_GT(receiver.reader().coalesced(), inOrder.datagrams.size() / 2) << "no receive offload";
    EXPECT_GT(receiver.reader().landedInPlace(), inOrder.datagrams.size() / 2) << "pieces were copied";

    // Out of order, a duplicate and a spoiled header inside one coalesced run: every piece
    // that lands in the wrong place is moved to its own, the spoiled one is refused alone.
    const auto second = zuntest::pattern(zun::byteSize(f), 2);
    EthernetPieces mixed(zuntest::meta(f, 2), second);
    std::swap(mixed.datagrams[5], mixed.datagrams[9]);
    mixed.datagrams[7] = mixed.datagrams[6];
    auto spoiled = mixed.headers[3];
    spoiled[0] = 'X';
    mixed.datagrams.insert(mixed.datagrams.begin() + 3, {spoiled, mixed.datagrams[3].payload});
    mixed.datagrams.push_back({mixed.headers[7], std::span(second).subspan(7 * EthernetPieces::kPiece, EthernetPieces::kPiece)});
    sendCoalesced(21018, mixed.datagrams);
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_EQ(got.meta.frameNumber, 2u);
    EXPECT_TRUE(got.payload == second) << "a piece was put together from the wrong bytes";
    EXPECT_EQ(receiver.counters().packetsRejected, 1u);

    // A header that claims a shorter piece than came: refused, and its frame never delivered.
    const auto third = zuntest::pattern(zun::byteSize(f), 3);
    EthernetPieces lying(zuntest::meta(f, 3), third);
    auto shorter = zuntest::datagram(zuntest::header(zuntest::meta(f, 3), uint32_t(third.size()),
                                                     uint32_t(4 * EthernetPieces::kPiece), 1000), {});
    lying.datagrams[4].header = shorter;
    sendCoalesced(21018, lying.datagrams);
    EXPECT_FALSE(zuntest::receiveWithin(receiver, got, 400ms));
    EXPECT_EQ(receiver.counters().packetsRejected, 2u);
    EXPECT_EQ(receiver.counters().framesIncomplete, 1u);
}

TEST(UdpRobustness, LostDatagramsAreRebuiltFromParity)
{
    LoopbackPair pair;
    ASSERT_TRUE(pair.connect(21024));
    auto &[receiver, sender] = pair;
    const StreamFormat f{1280, 720, zun::kDepthRgb888, 1};
    for (int skipped : {0, 3, 42}) { // first, middle and the short last piece of 43
        const uint32_t number = uint32_t(skipped) + 1;
        sender.setSkippedPiece(skipped);
        const auto payload = zuntest::pattern(zun::byteSize(f), number);
        const zun::FrameMeta meta = zuntest::meta(f, number);
        EXPECT_TRUE(sender.send(meta, payload));
        zun::EncodedFrame got;
        ASSERT_TRUE(zuntest::receiveWithin(receiver, got)) << "piece " << skipped;
        expectSame(got, meta, payload);
    }
    EXPECT_EQ((zun::byteSize(f) + sender.pieceSize() - 1) / sender.pieceSize(), 43u) << "loopback's MTU changed";
    // A frame large enough to have its parity computed as its data goes, sent with no time
    // to wait: the parity must still be whole before it leaves.
    const StreamFormat large{4096, 3072, zun::kDepthRgb32, 1}; // 48 MiB, 4 blocks
    sender.setPacingRate(100'000'000'000ull);
    sender.setSkippedPiece(767);
    const auto payload = zuntest::pattern(zun::byteSize(large), 50);
    EXPECT_TRUE(sender.send(zuntest::meta(large, 50), payload));
    zun::EncodedFrame got;
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));
    EXPECT_TRUE(got.payload == payload);
    const zun::ReceiveCounters counted = receiver.counters();
    EXPECT_EQ(counted.framesRepaired, 4u);
    EXPECT_EQ(counted.piecesRebuilt, 4u);
    EXPECT_EQ(counted.framesIncomplete, 0u);
    EXPECT_EQ(counted.packetsRejected, 0u);
}

// What goes on the wire, read with a plain socket: data pieces are version 2 datagrams as
// before, whatever the redundancy, and parity comes only as version 3 datagrams after them.
TEST(UdpRobustness, DataPiecesStayVersionTwoAndRedundancyZeroSendsNoParity)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    const sockaddr_in address = zuntest::loopback(21025);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    const timeval wait{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    zun::UdpSender sender;
    ASSERT_TRUE(sender.setDestination("127.0.0.1", 21025));
    const StreamFormat f{1280, 720, zun::kDepthRgb888, 1};
    const auto payload = zuntest::pattern(zun::byteSize(f), 1);
    for (uint32_t redundancy : {0u, 5u, 20u}) {
        SCOPED_TRACE(testing::Message() << "redundancy " << redundancy);
        sender.setRedundancy(redundancy);
        ASSERT_TRUE(sender.send(zuntest::meta(f, redundancy), payload));
        std::vector<uint8_t> datagram(65536);
        uint64_t dataBytes = 0;
        size_t parityPieces = 0;
        ssize_t n;
        while ((n = ::recv(fd, datagram.data(), datagram.size(), 0)) > 0) {
            const auto header = zun::WireHeader::read({datagram.data(), size_t(n)});
            ASSERT_TRUE(header);
            if (datagram[4] == zun::WireHeader::kVersion) {
                EXPECT_EQ(parityPieces, 0u) << "data after parity";
                EXPECT_EQ(size_t(n), zun::WireHeader::kSize + header->pieceLength);
                dataBytes += header->pieceLength;
            } else {
                ASSERT_EQ(datagram[4], zun::WireHeader::kParityVersion);
                ASSERT_TRUE(header->parity);
                EXPECT_EQ(header->parity->frameCrc, zun::frameCrc(payload));
                ++parityPieces;
            }
        }
        EXPECT_EQ(dataBytes, payload.size());
        const uint32_t pieces = uint32_t((payload.size() + sender.pieceSize() - 1) / sender.pieceSize());
        EXPECT_EQ(parityPieces, redundancy == 0 ? 0u : (pieces * redundancy + 99) / 100);
    }
    ::close(fd);
}

TEST(UdpErrors, BadAddressesDropFramesAndNothingHangs)
{
    const StreamFormat f{16, 16, zun::kDepthGrey8, 1};
    const auto payload = zuntest::pattern(zun::byteSize(f), 1);
    for (const char *address : {"", "   ", "127.0.0.1@", "239.255.105.88@eth0", "a b",
                                "no-such-host.invalid", "999.1.1.1", "239.255.105.88@10.255.255.254"}) {
        const auto start = std::chrono::steady_clock::now();
        {
            zun::UdpSender sender;
            sender.setDestination(address, 21014);
            for (uint32_t n = 0; n < 3; ++n)
                EXPECT_FALSE(sender.send(zuntest::meta(f, n), payload)) << address;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << address;
    }
    zun::UdpSender sender;
    EXPECT_FALSE(sender.setDestination("127.0.0.1", 0));
    EXPECT_FALSE(sender.send(zuntest::meta(f, 1), payload));
    EXPECT_FALSE(zun::UdpSender().send(zuntest::meta(f, 1), payload)); // no destination yet
}

// Run where no name server can be reached, so a name that is asked for fails "try again"
// and one refused before any query fails "not known".
TEST(NoNameServer, NamesThatCanNeverResolveAreRefusedWithoutAQuery)
{
    REQUIRE_PRIVATE_NAMESPACE();
    const auto lookup = [](const char *name, int *error) { return zun::DestinationAddress{name, {}}.resolve(error); };
    int error = 0;
    ASSERT_FALSE(lookup("no-such-host.example", &error));
    ASSERT_EQ(error, EAI_AGAIN) << "this namespace should have no name server: " << gai_strerror(error);
    for (const char *name : {"no-such-host.invalid", "A.B.INVALID.", "invalid", "999.1.1.1", "10.1.2.300"}) {
        error = 0;
        EXPECT_FALSE(lookup(name, &error)) << name;
        EXPECT_EQ(error, EAI_NONAME) << name << ": " << gai_strerror(error);
    }
    EXPECT_FALSE(lookup("host.notinvalid", &error));
    EXPECT_EQ(error, EAI_AGAIN) << "only the whole last label is special";
    const auto shorthand = lookup("127.1", &error);
    ASSERT_TRUE(shorthand) << "numeric shorthand still resolves";
    EXPECT_EQ(shorthand->s_addr, htonl(INADDR_LOOPBACK));
}

TEST(UdpErrors, PortInUseAndUnlistenedReceiver)
{
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(21015);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    zun::UdpReceiver receiver;
    EXPECT_FALSE(receiver.listen(21015));
    zun::EncodedFrame got;
    EXPECT_FALSE(receiver.receive(got, 10ms));
    EXPECT_FALSE(receiver.listen(0));
    ::close(blocker);
    EXPECT_TRUE(receiver.listen(21015));
}

TEST(Multicast, TwoReceiversOnOnePortBothGetEveryFrame)
{
    REQUIRE_PRIVATE_NAMESPACE();
    zun::UdpReceiver first, second;
    ASSERT_TRUE(first.listen(21020));
    ASSERT_TRUE(second.listen(21020));
    uint32_t stream = 0;
    for (const char *address : {"239.255.105.88", "239.255.105.88@127.0.0.1"}) {
        zun::UdpSender sender;
        ASSERT_TRUE(sender.setDestination(address, 21020));
        for (const auto &[meta, payload] : sampleFrames(++stream))
            roundTrip(sender, {&first, &second}, meta, payload);
    }
    EXPECT_EQ(first.counters().framesIncomplete, 0u);
    EXPECT_EQ(second.counters().framesIncomplete, 0u);
}

TEST(Multicast, APortSpreadOverSocketsHearsItsGroupOnce)
{
    REQUIRE_PRIVATE_NAMESPACE();
    // Only the socket that joined the group hears it; a group's stream is not spread.
    zun::UdpReceiver plain;
    ASSERT_TRUE(plain.listen(21029));
    zun::UdpReceiver::setReceiveBufferCeiling(212992);
    zun::UdpReceiver first, second;
    const bool listening = first.listen(21029) && second.listen(21029);
    zun::UdpReceiver::setReceiveBufferCeiling(0);
    ASSERT_TRUE(listening);
    ASSERT_EQ(first.socketCount(), zun::SocketSpread::kMaxSockets);
    ASSERT_EQ(second.socketCount(), zun::SocketSpread::kMaxSockets);
    zun::UdpSender sender;
    ASSERT_TRUE(sender.setDestination("239.255.105.88@127.0.0.1", 21029));
    const StreamFormat f{200, 100, zun::kDepthRgb888, 1};
    for (uint32_t n = 1; n <= 3; ++n)
        roundTrip(sender, {&plain, &first, &second}, zuntest::meta(f, n), zuntest::pattern(zun::byteSize(f), n));
    zun::EncodedFrame got;
    for (auto *receiver : {&plain, &first, &second}) {
        while (receiver->receive(got, 50ms)) {
        }
    }
    EXPECT_GT(plain.counters().bytesReceived, 3 * zun::byteSize(f));
    EXPECT_EQ(first.counters().bytesReceived, plain.counters().bytesReceived);
    EXPECT_EQ(second.counters().bytesReceived, plain.counters().bytesReceived);
}

TEST(Multicast, UnicastAndMulticastReachOneReceiver)
{
    REQUIRE_PRIVATE_NAMESPACE();
    zun::UdpReceiver receiver;
    ASSERT_TRUE(receiver.listen(21021));
    const StreamFormat f{200, 100, zun::kDepthRgb565, 1};
    zun::UdpSender group, direct;
    ASSERT_TRUE(group.setDestination("239.255.105.88", 21021));
    ASSERT_TRUE(direct.setDestination("127.0.0.1", 21021));
    roundTrip(group, {&receiver}, zuntest::meta(f, 1, false, 1), zuntest::pattern(zun::byteSize(f), 1));
    roundTrip(direct, {&receiver}, zuntest::meta(f, 1, false, 2), zuntest::pattern(zun::byteSize(f), 2));
}

TEST(Multicast, DatagramsFitAnEthernetSizedInterface)
{
    REQUIRE_PRIVATE_NAMESPACE();
    ASSERT_EQ(std::system("ip link set lo mtu 1500"), 0);
    zun::UdpReceiver receiver;
    ASSERT_TRUE(receiver.listen(21022));
    zun::UdpSender sender;
    ASSERT_TRUE(sender.setDestination("239.255.105.88@127.0.0.1", 21022));
    const StreamFormat f{1920, 1080, zun::kDepthRgb888, 1};
    // Parity over 19 blocks, computed while the data is paced out or, with no time to wait,
    // before the first parity piece goes, rebuilds a lost piece of the last block.
    sender.setSkippedPiece(4300);
    roundTrip(sender, {&receiver}, zuntest::meta(f, 1), zuntest::pattern(zun::byteSize(f), 1));
    sender.setPacingRate(100'000'000'000ull);
    roundTrip(sender, {&receiver}, zuntest::meta(f, 3), zuntest::pattern(zun::byteSize(f), 3));
    EXPECT_EQ(receiver.counters().piecesRebuilt, 2u);
    sender.setSkippedPiece(-1);
    sender.setPacingRate(0);
    // Data pieces leave room for the parity pieces' longer header, which fill the MTU.
    EXPECT_EQ(sender.pieceSize() + zun::WireHeader::kParitySize, 1472u);
    EXPECT_TRUE(sender.offloading()) << "the kernel cut no segments: every datagram cost a system call";
    // Where the kernel lacks segmentation offload, one datagram per message does the same.
    zun::UdpSender plain;
    plain.disableOffload();
    ASSERT_TRUE(plain.setDestination("239.255.105.88@127.0.0.1", 21022));
    roundTrip(plain, {&receiver}, zuntest::meta(f, 2, false, 2), zuntest::pattern(zun::byteSize(f), 2));
    std::system("ip link set lo mtu 65536");
}

// Between two namespaces, as between two machines: every datagram crosses a link at MTU 1500.
TEST(Veth, LargestFramesCrossAnEthernetSizedLinkWhole)
{
    REQUIRE_PRIVATE_NAMESPACE();
    REQUIRE_FULL_SPEED();
    netkit::VethPair peer;
    if (!peer.ok())
        GTEST_SKIP() << peer.problem();
    zun::UdpReceiver receiver;
    {
        netkit::InNetns inside(peer.peerNetns());
        ASSERT_TRUE(receiver.listen(21026));
    }
    zun::UdpSender sender;
    ASSERT_TRUE(sender.setDestination(netkit::VethPair::kPeer, 21026));
    expectLargestFramesWhole(sender, receiver);
    EXPECT_EQ(sender.pieceSize() + zun::WireHeader::kParitySize, 1472u) << "not at Ethernet's MTU";
}

// One sender, four receivers on machines of their own behind a bridge, each losing 1% of the
// datagrams on its side: parity brings nearly every frame to each, and one that stops reading
// for 2 s costs the others nothing and gets the stream again after.
TEST(Veth, FourMulticastReceiversBehindABridgeGetTheStreamWhileOneStalls)
{
    REQUIRE_PRIVATE_NAMESPACE();
    REQUIRE_FULL_SPEED();
    netkit::FanOutSetup setup;
    setup.receivers = 4;
    setup.port = 24560;
    const netkit::FanOutResult r = netkit::runFanOut(setup);
    if (!r.ok)
        GTEST_SKIP() << r.problem;
    ASSERT_EQ(r.receivers.size(), 4u);
    for (int i = 0; i < setup.receivers; ++i) {
        const netkit::ReceiverTally &t = r.receivers[size_t(i)];
        std::printf("[ figures  ] receiver %d%s: %llu of %llu frames, %llu repaired, %llu of %llu after the stall, "
                    "%llu datagrams overflowed\n", i, i == setup.stalledReceiver ? " (stalled)" : "",
                    (unsigned long long)t.delivered, (unsigned long long)r.sent, (unsigned long long)t.repaired,
                    (unsigned long long)t.deliveredAfterStall, (unsigned long long)r.sentAfterStall,
                    (unsigned long long)t.droppedOnFullBuffer);
        EXPECT_GT(t.repaired, 0u) << "nothing to repair: the loss rule took no datagram";
        if (i == setup.stalledReceiver)
            EXPECT_GE(t.deliveredAfterStall * 10, r.sentAfterStall * 9) << "the stalled receiver did not catch up";
        else
            EXPECT_GE(t.delivered * 100, r.sent * 99) << "receiver " << i;
    }
}
