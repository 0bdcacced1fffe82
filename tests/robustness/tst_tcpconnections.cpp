// A TCP receiver whose every place is taken by peers that never send a frame still lets a
// new sender in, and never gives up a sender's place to such peers.

#include "format.h"
#include "transport/tcp/tcpreceiver.h"
#include "transporttestutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kPort = 22060;

int connectTo(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    return fd;
}

std::vector<uint8_t> message(uint32_t frame, const std::vector<uint8_t> &payload, const StreamFormat &f)
{
    const auto total = uint32_t(payload.size());
    return zuntest::datagram(zuntest::header(zuntest::meta(f, frame), total, 0, total), payload);
}

bool sendAll(int fd, const std::vector<uint8_t> &bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

TEST(TcpConnections, SilentPeersFillingEveryPlaceDoNotKeepASenderOut)
{
    zun::TcpReceiver receiver;
    ASSERT_TRUE(receiver.listen(kPort));
    const StreamFormat f{16, 16, zun::kDepthRgb888, 1};
    const auto payload = zuntest::pattern(zun::byteSize(f), 9);
    zun::EncodedFrame got;

    // A sender that has delivered a frame keeps its place whatever comes after it.
    const int proven = connectTo(kPort);
    ASSERT_TRUE(sendAll(proven, message(1, payload, f)));
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got));

    std::vector<int> silent;
    for (size_t i = 0; i < zun::TcpReceiver::kMaxConnections + 8; ++i) {
        silent.push_back(connectTo(kPort));
        receiver.receive(got, 1ms); // accepts
    }
    EXPECT_LE(receiver.connectionCount(), zun::TcpReceiver::kMaxConnections);

    const int newcomer = connectTo(kPort);
    ASSERT_TRUE(sendAll(newcomer, message(7, payload, f)));
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got)) << "a new sender was kept out";
    EXPECT_EQ(got.meta.frameNumber, 7u);
    EXPECT_EQ(got.payload, payload);

    ASSERT_TRUE(sendAll(proven, message(2, payload, f)));
    ASSERT_TRUE(zuntest::receiveWithin(receiver, got)) << "the first sender lost its place";
    EXPECT_EQ(got.meta.frameNumber, 2u);

    for (int fd : silent)
        close(fd);
    close(newcomer);
    close(proven);
}

} // namespace
