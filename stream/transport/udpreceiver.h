#pragma once

#include "framereassembler.h"
#include "networktransport.h"
#include "socketfd.h"

#include <vector>

namespace zun {

// Takes unicast datagrams to its port and multicast to the stream group on every
// interface that carries multicast, and puts frames back together.
class UdpReceiver : public NetworkReceiver {
public:
    static constexpr const char *kGroup = "239.255.105.88";

    UdpReceiver();
    explicit UdpReceiver(const FrameReassembler::Limits &limits);

    bool listen(uint16_t port) override;
    bool receive(EncodedFrame &frame, std::chrono::milliseconds timeout) override;
    ReceiveCounters counters() const override;

    size_t bytesHeld() const { return mReassembler.bytesHeld(); }

private:
    // One datagram, or false when none is waiting.
    bool readOne(EncodedFrame &frame, bool &completed);
    void joinGroup();

    SocketFd mSocket;
    FrameReassembler mReassembler;
    std::vector<uint8_t> mDatagram;
    std::vector<uint8_t> mGather;
    uint64_t mRejected = 0;
};

} // namespace zun
