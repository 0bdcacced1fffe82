// What zunGetStatus and the log say when no picture arrives: a bad address, a host that
// refuses, a taken memory port, datagrams that are not ours, a receiver that stalls, no
// route; and decoders that join a group of their choosing. Through the shared library.
#include "../stream/streamtest.h"
#include "zunVidStreamLib2.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using zuntest::Decoder;
using zuntest::Encoder;

namespace {

constexpr uint32_t kPort = 21400; // to 21449

ZunStatus statusOf(uint32_t handle)
{
    ZunStatus status{};
    EXPECT_EQ(zunGetStatus(handle, &status), 1);
    return status;
}

// Polls the status until it satisfies done or the time is up, meanwhile calling step.
ZunStatus waitForStatus(uint32_t handle, const std::function<bool(const ZunStatus &)> &done,
                        const std::function<void()> &step = [] {}, std::chrono::milliseconds timeout = 5s)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    ZunStatus status = statusOf(handle);
    while (!done(status) && std::chrono::steady_clock::now() < end) {
        step();
        std::this_thread::sleep_for(10ms);
        status = statusOf(handle);
    }
    return status;
}

bool contains(const ZunStatus &status, const std::string &part)
{
    return std::string(status.text).find(part) != std::string::npos;
}

class Protocols : public ::testing::TestWithParam<uint32_t> {
protected:
    const char *name() const { return GetParam() == ZUN_PROTOCOL_UDP ? "udp" : "tcp"; }
};

TEST_P(Protocols, BadAddressFailsWithTheAddressInItsText)
{
    const StreamFormat f{64, 48, 1, 1};
    const uint32_t encoder = zunGetEncoder(GetParam(), &f);
    EXPECT_EQ(statusOf(encoder).state, uint32_t(ZUN_STATE_IDLE));
    EXPECT_EQ(zunSetDestAddress(encoder, "hello world", kPort), 0);
    // What the sender's thread makes of the bad address must not replace what was said.
    const auto picture = zuntest::makeFrame(f, 0);
    zunEncode(encoder, picture.data());
    std::this_thread::sleep_for(150ms);
    const ZunStatus status = statusOf(encoder);
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_FAILED));
    EXPECT_EQ(status.error, EINVAL);
    EXPECT_EQ(std::string(status.text),
              std::string(name()) + " \"hello world\":" + std::to_string(kPort)
                  + ": not an IPv4 address or host name");
    // A good address afterwards clears the old problem.
    EXPECT_EQ(zunSetDestAddress(encoder, "127.0.0.1", kPort), 1);
    EXPECT_NE(statusOf(encoder).state, uint32_t(ZUN_STATE_FAILED));
    EXPECT_EQ(std::string(statusOf(encoder).text).find("hello world"), std::string::npos);
    zunDeleteEncoder(encoder);
}

TEST_P(Protocols, NameNotFoundFailsWithTheName)
{
    const StreamFormat f{64, 48, 1, 1};
    Encoder encoder(f, kPort + 1, 0, 0, GetParam());
    ASSERT_EQ(zunSetDestAddress(encoder.handle(), "no-such-host.invalid", kPort + 1), 1);
    const auto picture = zuntest::makeFrame(f, 0);
    const ZunStatus status = waitForStatus(
        encoder.handle(), [](const ZunStatus &s) { return s.state == ZUN_STATE_FAILED; },
        [&] { encoder.encode(picture.data()); });
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_FAILED));
    EXPECT_LT(status.error, 0) << "getaddrinfo's code";
    EXPECT_TRUE(contains(status, std::string(name()) + " no-such-host.invalid:")) << status.text;
}

INSTANTIATE_TEST_SUITE_P(Network, Protocols,
                         ::testing::Values(uint32_t(ZUN_PROTOCOL_UDP), uint32_t(ZUN_PROTOCOL_TCP)));

TEST(Status, RefusedTcpHostIsRetriedAndSaidSoUntilItListens)
{
    const StreamFormat f{64, 48, 1, 1};
    const uint32_t port = kPort + 2;
    Encoder encoder(f, port, 0, 0, ZUN_PROTOCOL_TCP);
    ZunStatus status = waitForStatus(encoder.handle(), [](const ZunStatus &s) { return s.error != 0; });
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_CONNECTING));
    EXPECT_EQ(status.error, ECONNREFUSED);
    EXPECT_EQ(std::string(status.text),
              "tcp 127.0.0.1:" + std::to_string(port) + ": Connection refused, retrying");

    Decoder decoder(port, false, ZUN_PROTOCOL_TCP);
    status = waitForStatus(encoder.handle(), [](const ZunStatus &s) { return s.state == ZUN_STATE_SENDING; });
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_SENDING));
    EXPECT_EQ(status.error, 0);
}

TEST(Status, SecondEncoderOnAMemoryPortSaysItIsHeld)
{
    const StreamFormat f{64, 48, 1, 1};
    const uint32_t port = kPort + 3;
    Encoder first(f, port);
    ASSERT_TRUE(first.addressed());
    EXPECT_EQ(statusOf(first.handle()).state, uint32_t(ZUN_STATE_SENDING));
    Encoder second(f, port);
    EXPECT_FALSE(second.addressed());
    const ZunStatus status = statusOf(second.handle());
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_FAILED));
    EXPECT_EQ(status.error, EBUSY);
    EXPECT_EQ(std::string(status.text), "memory port " + std::to_string(port) + ": held by another encoder");
}

TEST(Status, DatagramsNotOursAreCountedWithReasonAndSender)
{
    const uint32_t port = kPort + 4;
    Decoder decoder(port, false, ZUN_PROTOCOL_UDP);
    const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    socklen_t length = sizeof addr;
    ASSERT_EQ(::getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &length), 0);
    const uint16_t from = ntohs(addr.sin_port);
    addr.sin_port = htons(uint16_t(port));
    const std::vector<uint8_t> garbage(100, 'x');
    for (int i = 0; i < 12; ++i)
        ::sendto(sock, garbage.data(), garbage.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    const ZunStatus status = waitForStatus(decoder.handle(), [](const ZunStatus &s) { return s.error != 0; });
    ::close(sock);
    EXPECT_EQ(status.error, EBADMSG);
    EXPECT_EQ(std::string(status.text), "udp port " + std::to_string(port)
                                            + ": 12 datagrams rejected (bad magic) from 127.0.0.1:"
                                            + std::to_string(from));
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_WAITING)) << "nothing good came yet";
}

TEST(Status, UnicastToAPortNobodyListensOnSaysSo)
{
    const StreamFormat f{64, 48, 1, 1};
    Encoder encoder(f, kPort + 5, 0, 0, ZUN_PROTOCOL_UDP);
    const auto picture = zuntest::makeFrame(f, 0);
    const ZunStatus status = waitForStatus(
        encoder.handle(), [](const ZunStatus &s) { return s.error != 0; }, [&] { encoder.encode(picture.data()); });
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_SENDING));
    EXPECT_EQ(status.error, ECONNREFUSED);
    EXPECT_TRUE(contains(status, "udp 127.0.0.1:" + std::to_string(kPort + 5) + ": Connection refused"))
        << status.text;
}

// Every protocol: waiting before the first frame, receiving while frames come, stalled a
// second after the last; a format other than the one asked for is named.
class DecoderStates : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DecoderStates, WaitingReceivingStalled)
{
    const uint32_t port = kPort + 10 + GetParam();
    Decoder decoder(port, false, GetParam());
    EXPECT_EQ(statusOf(decoder.handle()).state, uint32_t(ZUN_STATE_WAITING));
    const StreamFormat f{32, 24, 0, 1};
    Encoder encoder(f, port, 0, 0, GetParam());
    const auto picture = zuntest::makeFrame(f, 0);
    ZunStatus status = waitForStatus(
        decoder.handle(), [](const ZunStatus &s) { return s.state == ZUN_STATE_RECEIVING; },
        [&] {
            encoder.encode(picture.data());
            if (zunLockReadBuffer(decoder.handle(), 0))
                zunUnlockReadBuffer(decoder.handle());
        });
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_RECEIVING));
    EXPECT_TRUE(contains(status, "frames are 32x24 at 16 bits, not the 64x48 at 24 bits asked for")) << status.text;
    status = waitForStatus(decoder.handle(), [](const ZunStatus &s) { return s.state == ZUN_STATE_STALLED; }, [] {},
                           3s);
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_STALLED));
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, DecoderStates,
                         ::testing::Values(uint32_t(ZUN_PROTOCOL_UDP), uint32_t(ZUN_PROTOCOL_TCP),
                                           uint32_t(ZUN_PROTOCOL_MEMORY)));

TEST(Status, TcpPortInUseFailsTheSecondDecoder)
{
    const uint32_t port = kPort + 6;
    Decoder first(port, false, ZUN_PROTOCOL_TCP);
    const StreamFormat hint{64, 48, 1, 1};
    const uint32_t second = zunGetDecoder(ZUN_PROTOCOL_TCP, &hint);
    EXPECT_EQ(zunSetSourceAddress(second, port), 0);
    const ZunStatus status = statusOf(second);
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_FAILED));
    EXPECT_EQ(status.error, EADDRINUSE);
    EXPECT_EQ(std::string(status.text), "tcp port " + std::to_string(port) + ": Address already in use");
    zunDeleteDecoder(second);
}

struct Captured {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;
    static void handler(void *user, int32_t level, const char *message)
    {
        auto *self = static_cast<Captured *>(user);
        std::lock_guard lock(self->mutex);
        self->lines.emplace_back(level, message);
    }
    std::vector<std::string> matching(const std::string &part)
    {
        std::lock_guard lock(mutex);
        std::vector<std::string> found;
        for (const auto &[level, line] : lines)
            if (line.find(part) != std::string::npos)
                found.push_back(line);
        return found;
    }
};

TEST(Log, HandlerGetsEventsAndARepeatAtMostOnceASecondWithItsCount)
{
    Captured captured;
    zunSetLogHandler(&Captured::handler, &captured);
    const StreamFormat f{64, 48, 1, 1};
    const uint32_t port = kPort + 7;
    {
        Encoder encoder(f, port, 0, 0, ZUN_PROTOCOL_TCP);
        std::this_thread::sleep_for(1500ms); // retried every 200 ms
        Decoder decoder(port, false, ZUN_PROTOCOL_TCP);
        waitForStatus(encoder.handle(), [](const ZunStatus &s) { return s.state == ZUN_STATE_SENDING; });
    }
    zunSetLogHandler(nullptr, nullptr);
    const std::string refused = "tcp 127.0.0.1:" + std::to_string(port) + ": Connection refused, retrying";
    const auto lines = captured.matching(refused);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_LE(lines.size(), 3u) << "about 8 refusals in 1.5 s";
    EXPECT_EQ(lines[0], refused);
    EXPECT_NE(lines[1].find(" times in 1 s)"), std::string::npos) << lines[1];
    EXPECT_EQ(captured.matching("tcp 127.0.0.1:" + std::to_string(port) + ": connected").size(), 1u);
    const auto before = captured.lines.size();
    Encoder after(f, kPort + 3, 0, 0, ZUN_PROTOCOL_TCP);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(captured.lines.size(), before) << "a removed handler is not called";
}

TEST(Group, RefusedForOtherProtocolsNullAndNonMulticastGroups)
{
    const StreamFormat hint{64, 48, 1, 1};
    const uint32_t udp = zunGetDecoder(ZUN_PROTOCOL_UDP, &hint);
    for (const char *bad : {"10.0.0.1", "hello", "239.1.2.3@eth0", "", "224.0.0.300"})
        EXPECT_EQ(zunSetSourceGroup(udp, bad, kPort + 8), 0) << bad;
    EXPECT_EQ(zunSetSourceGroup(udp, nullptr, kPort + 8), 0);
    EXPECT_EQ(zunSetSourceGroup(udp, "239.1.2.3", 0), 0);
    // An interface address this host does not have joins nothing.
    EXPECT_EQ(zunSetSourceGroup(udp, "239.1.2.3@192.0.2.77", kPort + 8), 0);
    EXPECT_EQ(statusOf(udp).state, uint32_t(ZUN_STATE_FAILED));
    EXPECT_TRUE(contains(statusOf(udp), "no interface of this host has address 192.0.2.77")) << statusOf(udp).text;
    EXPECT_EQ(zunSetSourceGroup(udp, "239.1.2.3", kPort + 8), 1);
    EXPECT_EQ(zunLockReadBuffer(udp, 1), nullptr) << "no flag is defined";
    zunDeleteDecoder(udp);
    for (uint32_t protocol : {uint32_t(ZUN_PROTOCOL_TCP), uint32_t(ZUN_PROTOCOL_MEMORY)}) {
        const uint32_t other = zunGetDecoder(protocol, &hint);
        EXPECT_EQ(zunSetSourceGroup(other, "239.1.2.3", kPort + 8), 0);
        zunDeleteDecoder(other);
    }
}

// Counts good frames of the pattern a decoder gets while an encoder sends to address.
int framesHeard(uint32_t decoder, const char *address, uint32_t port)
{
    const StreamFormat f{64, 48, 1, 1};
    const uint32_t encoder = zunGetEncoder(ZUN_PROTOCOL_UDP, &f);
    zunSetDestFormat(encoder, &f, 0, 0);
    EXPECT_EQ(zunSetDestAddress(encoder, address, port), 1);
    int good = 0;
    for (uint32_t frame = 0; frame < 30; ++frame) {
        zunEncode(encoder, zuntest::makeFrame(f, frame).data());
        std::this_thread::sleep_for(10ms);
        while (const void *pixels = zunLockReadBuffer(decoder, 0)) {
            good += zuntest::frameMatches(f, false, zunGetRecvFrameNumber(decoder),
                                          static_cast<const uint8_t *>(pixels));
            zunUnlockReadBuffer(decoder);
        }
    }
    zunDeleteEncoder(encoder);
    return good;
}

TEST(MulticastGroup, AnotherGroupIsHeardAndTheStreamsGroupThenNot)
{
    if (!std::getenv("ZUN_TEST_NETNS"))
        GTEST_SKIP() << "multicast runs only in a private network namespace (tests/transport/netns.sh)";
    const uint32_t port = kPort + 20;
    const StreamFormat hint{64, 48, 1, 1};
    for (const char *group : {"239.1.2.3", "239.1.2.3@127.0.0.1"}) {
        const uint32_t decoder = zunGetDecoder(ZUN_PROTOCOL_UDP, &hint);
        ASSERT_EQ(zunSetSourceGroup(decoder, group, port), 1);
        EXPECT_GE(framesHeard(decoder, "239.1.2.3", port), 20) << group;
        EXPECT_EQ(framesHeard(decoder, "239.255.105.88", port), 0) << group;
        // And back: the stream's group again, the other one no more.
        ASSERT_EQ(zunSetSourceAddress(decoder, port), 1);
        EXPECT_GE(framesHeard(decoder, "239.255.105.88", port), 20) << group;
        EXPECT_EQ(framesHeard(decoder, "239.1.2.3", port), 0) << group;
        zunDeleteDecoder(decoder);
    }
}

TEST(Unroutable, MulticastWithNoRouteFailsNetworkUnreachable)
{
    if (std::string(std::getenv("ZUN_TEST_NETNS") ? std::getenv("ZUN_TEST_NETNS") : "") != "bare")
        GTEST_SKIP() << "needs a namespace without a multicast route (tests/transport/netns.sh bare)";
    const StreamFormat f{64, 48, 1, 1};
    const uint32_t encoder = zunGetEncoder(ZUN_PROTOCOL_UDP, &f);
    ASSERT_EQ(zunSetDestAddress(encoder, "239.1.2.3", ZUN_PORT_BASE), 1);
    const auto picture = zuntest::makeFrame(f, 0);
    EXPECT_EQ(zunEncode(encoder, picture.data()), 1);
    const ZunStatus status = waitForStatus(encoder, [](const ZunStatus &s) { return s.state == ZUN_STATE_FAILED; });
    EXPECT_EQ(status.state, uint32_t(ZUN_STATE_FAILED));
    EXPECT_EQ(status.error, ENETUNREACH);
    EXPECT_EQ(std::string(status.text), "udp 239.1.2.3:10588: Network is unreachable");
    zunDeleteEncoder(encoder);
}

} // namespace
