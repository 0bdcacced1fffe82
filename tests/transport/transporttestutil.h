#pragma once

#include "format.h"
#include "frame.h"
#include "framedestination.h"
#include "transport/networktransport.h"
#include "transport/wireheader.h"

#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace zun {

// A frame's bytes against a test's own, whatever the allocator of either.
inline bool operator==(const Bytes &frame, const std::vector<uint8_t> &expected)
{
    return std::ranges::equal(frame, expected);
}

} // namespace zun

namespace zuntest {

// Bytes that differ with every seed, so a frame put together from wrong pieces shows.
std::vector<uint8_t> pattern(size_t size, uint32_t seed);
zun::FrameMeta meta(StreamFormat format, uint32_t frameNumber, bool compressed = false,
                    uint32_t streamId = 0x1234abcd);
std::vector<uint8_t> datagram(const zun::WireHeader &header, const std::vector<uint8_t> &payload);
zun::WireHeader header(const zun::FrameMeta &meta, uint32_t total, uint32_t offset, uint32_t length);

// Copies the payload into the room the destination gives and commits it; false when it gave none.
bool send(zun::FrameDestination &destination, const zun::FrameMeta &meta, std::span<const uint8_t> payload);

// Calls receive until a frame comes or the time is up.
bool receiveWithin(zun::NetworkReceiver &receiver, zun::EncodedFrame &frame,
                   std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

// Sends arbitrary bytes as one UDP datagram to 127.0.0.1.
class RawUdp {
public:
    RawUdp();
    ~RawUdp();
    void send(uint16_t port, const std::vector<uint8_t> &bytes) const;

private:
    int mFd;
};

// A bare TCP client of 127.0.0.1 that writes whatever a test wants.
class RawTcp {
public:
    explicit RawTcp(uint16_t port);
    ~RawTcp();
    RawTcp(const RawTcp &) = delete;
    RawTcp &operator=(const RawTcp &) = delete;
    bool connected() const { return mConnected; }
    void write(const std::vector<uint8_t> &bytes) const;
    // The receiver closed its end: end of stream or a reset.
    bool closedByPeer() const;

private:
    int mFd;
    bool mConnected = false;
};

// 127.0.0.1 at port.
sockaddr_in loopback(uint16_t port);
// A TCP socket listening at 127.0.0.1 that never reads: a peer whose window fills. -1 when the
// port cannot be had.
int listenerThatNeverReads(uint16_t port);

// One frame as a TCP message of the wire format: the header, then the whole payload.
std::vector<uint8_t> tcpMessage(const zun::FrameMeta &meta, const std::vector<uint8_t> &payload);

// Resident memory of this process, for checks that it stays bounded.
size_t residentBytes();

} // namespace zuntest
