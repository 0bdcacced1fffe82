#pragma once

#include "format.h"
#include "frame.h"
#include "framedestination.h"
#include "transport/networktransport.h"
#include "transport/wireheader.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

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

// Resident memory of this process, for checks that it stays bounded.
size_t residentBytes();

} // namespace zuntest
